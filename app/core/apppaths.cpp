#include "app/core/apppaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {
constexpr const char* kConfigFolderName = "orvane-video-converter";
constexpr const char* kSettingsFileName = "orvanepspvideoconverter.ini";
constexpr const char* kFormatFileName = "orvanepspformat.ini";
}  // namespace

std::string HomeDir() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string ConfigDir() {
  // A relative XDG_CONFIG_HOME is invalid by the base-directory rules and is ignored.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base = (xdg && xdg[0] == '/') ? std::string(xdg) : HomeDir() + "/.config";
  return base + "/" + kConfigFolderName;
}

std::string SettingsIniPath() { return ConfigDir() + "/" + kSettingsFileName; }

std::string ProgramDir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return ".";
  return exe.parent_path().string();
}

bool LoadCodecLibraries(TLibraryKinds kinds, std::string& error) {
  TFFmpegLoader& loader = FFLoader();
  if (loader.LibsLoaded(kinds)) return true;
  loader.SetLibraryFolder(ProgramDir() + "/LibAV");
  if (loader.LoadLibs(kinds)) return true;
  error = loader.LastError();
  return false;
}

std::vector<std::string> FormatIniSearchPaths(const std::string& programDir) {
  return {ConfigDir() + "/" + kFormatFileName, programDir + "/data/" + kFormatFileName,
          programDir + "/../share/orvane-video-converter/data/" + kFormatFileName};
}

std::string FormatIniPath(const std::string& programDir) {
  const std::vector<std::string> places = FormatIniSearchPaths(programDir);
  std::error_code ec;
  for (const std::string& p : places)
    if (fs::is_regular_file(p, ec)) return p;
  return places[1];
}

std::string ProgramDataRoot(const std::string& programDir) {
  std::error_code ec;
  if (fs::is_directory(programDir + "/data", ec)) return programDir;
  const std::string installed = programDir + "/../share/orvane-video-converter";
  if (fs::is_directory(installed + "/data", ec)) return fs::path(installed).lexically_normal().string();
  return programDir;
}

std::string SkinDir(const std::string& programDir) { return ProgramDataRoot(programDir) + "/skin"; }

std::string FormatIniPath() { return FormatIniPath(ProgramDir()); }

std::string DefaultOutputDir() { return HomeDir() + "/Videos/videoconverter"; }
