// The desktop program's reads and writes of the settings and format-profile files, in one
// place. Every call opens the file, reads or writes and closes it again.
#pragma once

#include <cstdint>
#include <string>

class TUiSettings {
public:
  TUiSettings(std::string settingsIniPath, std::string formatIniPath);

  const std::string& SettingsIniPath() const { return settingsIniPath_; }
  const std::string& FormatIniPath() const { return formatIniPath_; }

  // [settings] OutPutDir / SnapOutPutDir (default: the platform's default output folder).
  std::string OutputDir() const;
  void SetOutputDir(const std::string& dir);
  std::string SnapshotDir() const;
  void SetSnapshotDir(const std::string& dir);

  // The chosen profile: [settings] FormatCode (default 1) and FormatName (default: the name
  // of profile 1, the profile Start uses when nothing was chosen).
  int32_t FormatCode() const;
  std::string FormatName() const;
  void SetFormat(int32_t code, const std::string& name);

  // [settings] volume (0..128, 64 when stored out of range) and mute (raw value, default 0).
  int32_t Volume() const;
  int32_t Mute() const;

  // [lstformat] key = group index: true = the group is shown closed (default true).
  bool GroupCollapsed(int32_t group) const;
  void SetGroupCollapsed(int32_t group, bool collapsed);

  // The extension of profile `code`'s output files ([formatInfo N] FileExt, default "mp4")
  // and the zoom mode of the user's profile parameters.
  std::string ProfileFileExt(int32_t code) const;
  std::string ProfileZoom(int32_t code) const;

private:
  std::string settingsIniPath_;
  std::string formatIniPath_;
};
