// The application-wide object of the desktop program: the two INI file paths, the product
// strings and a few system helpers. Exactly one exists while the main window lives.
#pragma once

#include <string>

class TGlobalObject {
public:
  std::string HelpUrl;
  std::string SettingsIniPath;
  std::string FormatIniPath;
  std::string ProductName = "Orvane PSP Video Converter";
  std::string VersionText;
  std::string ProductUrl;

  // Empty texts are ignored.
  void SetHelpUrl(const std::string& value);
  void SetProductName(const std::string& value);
  void SetVersionText(const std::string& value);
  void SetProductUrl(const std::string& value);
  // Paths of 3 characters or fewer are ignored.
  void SetSettingsIniPath(const std::string& value);
  void SetFormatIniPath(const std::string& value);

  // The last `count` characters of `text` (all of it when shorter).
  static std::string RightStr(const std::string& text, size_t count);
  // " major.minor<release><build> " of the compiled-in version (4.8.0.16 gives " 4.8016 ").
  static std::string GetFileVersionText();
  static std::string FileVersionText(int major, int minor, int release, int build);
  // True when a file can be created and removed again in the folder.
  static bool CanWriteToFolder(const std::string& folder);
  // The login name of the effective user (at most 253 characters).
  static std::string GetLoginUserName();
};
