#include "app/core/settings.h"

#include <algorithm>
#include <filesystem>

#include "app/core/apppaths.h"
#include "media/errors.h"

namespace {

constexpr const char* kSettings = "settings";
constexpr const char* kGroups = "lstformat";

TProfileChoices ReadChoices(const TIniFile& ini, int32_t code) {
  const std::string s = ProfileSection(code);
  TProfileChoices c;
  c.VideoSize = ini.ReadInteger(s, "iVideoSize", 0);
  c.VideoBitRate = ini.ReadInteger(s, "iVideoBitRate", 0);
  c.FrameRate = ini.ReadInteger(s, "iFrameRate", 0);
  c.VideoEncoder = ini.ReadInteger(s, "iVideoEncoder", 0);
  c.SampleRate = ini.ReadInteger(s, "iSampleRate", 0);
  c.AudioBitRate = ini.ReadInteger(s, "iAudioBitRate", 0);
  c.Channel = ini.ReadInteger(s, "iChannel", 0);
  c.Volume = ini.ReadInteger(s, "iVolume", 0);
  c.AudioEncoder = ini.ReadInteger(s, "iAudioEncoder", 0);
  return c;
}

}  // namespace

std::optional<TThreadPriority> WorkPriority(int32_t stored) {
  switch (stored) {
    case 0: return tpIdle;
    case 1: return tpNormal;
    case 2: return tpLower;
    case 3: return tpLowest;
    default: return std::nullopt;
  }
}

TAppSettings::TAppSettings() : TAppSettings(SettingsIniPath(), FormatIniPath()) {}

TAppSettings::TAppSettings(std::string settingsPath, std::string formatPath)
    : settingsPath_(std::move(settingsPath)), formatPath_(std::move(formatPath)) {}

TSettingsValues TAppSettings::Read() const {
  const TIniFile ini = TIniFile::ReadOnce(settingsPath_);
  TSettingsValues v;
  const std::string folder = DefaultOutputDir();
  v.FormatCode = ini.ReadInteger(kSettings, "FormatCode", v.FormatCode);
  // Without a stored name, the name of the profile a conversion then uses (profile 1), so the
  // picker never names a profile that is not the one used.
  v.FormatName = ini.ReadString(kSettings, "FormatName", BuiltinProfileName(1));
  v.OutPutDir = ini.ReadString(kSettings, "OutPutDir", folder);
  v.SnapOutPutDir = ini.ReadString(kSettings, "SnapOutPutDir", folder);
  v.Volume = ini.ReadInteger(kSettings, "volume", 0);
  if (v.Volume < 0 || v.Volume > 128) v.Volume = 64;
  v.Mute = ini.ReadBool(kSettings, "mute", false);
  v.Priority = ini.ReadInteger(kSettings, "priority", 1);
  v.SnapFullSize = ini.ReadBool(kSettings, "snapFullSize", true);
  v.SnapSmallSize = ini.ReadBool(kSettings, "snapSmallSize", true);
  v.SnapBmp = ini.ReadBool(kSettings, "snapBmp", true);
  v.SnapJpg = ini.ReadBool(kSettings, "snapJpg", true);
  v.JpgCmp = ini.ReadInteger(kSettings, "jpgCmp", 30);
  if (v.JpgCmp < 1 || v.JpgCmp > 100) v.JpgCmp = 30;
  v.FilesAtOnce = std::clamp(ini.ReadInteger(kSettings, "filesAtOnce", 1), 1, kMaxFilesAtOnce);
  for (int g = 0; g < kProfileGroupCount; ++g) v.GroupClosed[size_t(g)] = ini.ReadBool(kGroups, std::to_string(g), true);
  return v;
}

void TAppSettings::WriteFormat(int32_t code, const std::string& name) {
  TIniFile(settingsPath_).WriteStrings(kSettings, {{"FormatCode", std::to_string(code)}, {"FormatName", name}});
}
void TAppSettings::WriteOutPutDir(const std::string& dir) { TIniFile(settingsPath_).WriteString(kSettings, "OutPutDir", dir); }
void TAppSettings::WriteSnapOutPutDir(const std::string& dir) {
  TIniFile(settingsPath_).WriteString(kSettings, "SnapOutPutDir", dir);
}
void TAppSettings::WriteVolume(int32_t volume) { TIniFile(settingsPath_).WriteInteger(kSettings, "volume", volume); }
void TAppSettings::WriteMute(bool mute) { TIniFile(settingsPath_).WriteInteger(kSettings, "mute", mute ? 1 : 0); }
void TAppSettings::WriteGroupClosed(int group, bool closed) {
  TIniFile(settingsPath_).WriteBool(kGroups, std::to_string(group), closed);
}

void TAppSettings::WriteFilesAtOnce(int32_t count) {
  TIniFile(settingsPath_).WriteInteger(kSettings, "filesAtOnce", std::clamp(count, 1, kMaxFilesAtOnce));
}

TAppSettings::TProfileUse TAppSettings::OpenProfileUse() const {
  return {TIniFile::ReadOnce(settingsPath_), TIniFile::ReadOnce(formatPath_)};
}

TProfileChoices TAppSettings::StoredChoices(int32_t code) const {
  return ReadChoices(TIniFile::ReadOnce(settingsPath_), code);
}

TProfileChoices TAppSettings::DefaultChoices(int32_t code) const {
  return ReadChoices(TIniFile::ReadOnce(formatPath_), code);
}

TProfileParams TAppSettings::Params(int32_t code) const {
  const TProfileUse use = OpenProfileUse();
  return ReadProfileParams(use.Settings, use.Format, code);
}

std::string TAppSettings::Zoom(int32_t code) const { return ReadProfileZoom(TIniFile::ReadOnce(settingsPath_), code); }

std::string TAppSettings::OutputExtension(int32_t code) const {
  std::string ext = ".";
  ext += TIniFile(formatPath_).ReadString(ProfileSection(code), "FileExt", "mp4");
  return ext;
}

void TAppSettings::CheckFormatFile() const {
  std::error_code ec;
  if (std::filesystem::is_regular_file(formatPath_, ec)) return;
  std::string places;
  for (const std::string& p : FormatIniSearchPaths(ProgramDir())) places += (places.empty() ? "" : ", ") + p;
  if (formatPath_ != FormatIniPath()) places = formatPath_;
  throw FFmpegException("The format-profile file is missing (looked for " + places + ")");
}
