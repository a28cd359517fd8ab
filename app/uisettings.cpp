#include "app/uisettings.h"

#include "app/core/apppaths.h"
#include "app/core/inifile.h"
#include "app/core/profiles.h"

namespace {
constexpr const char* kSettings = "settings";
constexpr const char* kGroups = "lstformat";
constexpr int32_t kDefaultFormatCode = 1;
}  // namespace

TUiSettings::TUiSettings(std::string settingsIniPath, std::string formatIniPath)
    : settingsIniPath_(std::move(settingsIniPath)), formatIniPath_(std::move(formatIniPath)) {}

std::string TUiSettings::OutputDir() const {
  return TIniFile(settingsIniPath_).ReadString(kSettings, "OutPutDir", DefaultOutputDir());
}
void TUiSettings::SetOutputDir(const std::string& dir) {
  TIniFile(settingsIniPath_).WriteString(kSettings, "OutPutDir", dir);
}
std::string TUiSettings::SnapshotDir() const {
  return TIniFile(settingsIniPath_).ReadString(kSettings, "SnapOutPutDir", DefaultOutputDir());
}
void TUiSettings::SetSnapshotDir(const std::string& dir) {
  TIniFile(settingsIniPath_).WriteString(kSettings, "SnapOutPutDir", dir);
}

int32_t TUiSettings::FormatCode() const {
  return TIniFile(settingsIniPath_).ReadInteger(kSettings, "FormatCode", kDefaultFormatCode);
}
std::string TUiSettings::FormatName() const {
  return TIniFile(settingsIniPath_).ReadString(kSettings, "FormatName", BuiltinProfileName(kDefaultFormatCode));
}
void TUiSettings::SetFormat(int32_t code, const std::string& name) {
  TIniFile(settingsIniPath_).WriteStrings(kSettings, {{"FormatName", name}, {"FormatCode", std::to_string(code)}});
}

int32_t TUiSettings::Volume() const {
  const int32_t v = TIniFile(settingsIniPath_).ReadInteger(kSettings, "volume", 0);
  return (v < 0 || v > 128) ? 64 : v;
}
int32_t TUiSettings::Mute() const { return TIniFile(settingsIniPath_).ReadInteger(kSettings, "mute", 0); }

bool TUiSettings::GroupCollapsed(int32_t group) const {
  return TIniFile(settingsIniPath_).ReadBool(kGroups, std::to_string(group), true);
}
void TUiSettings::SetGroupCollapsed(int32_t group, bool collapsed) {
  TIniFile(settingsIniPath_).WriteBool(kGroups, std::to_string(group), collapsed);
}

std::string TUiSettings::ProfileFileExt(int32_t code) const {
  return TIniFile(formatIniPath_).ReadString(ProfileSection(code), "FileExt", "mp4");
}
std::string TUiSettings::ProfileZoom(int32_t code) const {
  return ReadProfileZoom(TIniFile(settingsIniPath_), code);
}
