#include "app/core/globalobject.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

void TGlobalObject::SetHelpUrl(const std::string& value) {
  if (!value.empty()) HelpUrl = value;
}
void TGlobalObject::SetProductName(const std::string& value) {
  if (!value.empty()) ProductName = value;
}
void TGlobalObject::SetVersionText(const std::string& value) {
  if (!value.empty()) VersionText = value;
}
void TGlobalObject::SetProductUrl(const std::string& value) {
  if (!value.empty()) ProductUrl = value;
}
void TGlobalObject::SetSettingsIniPath(const std::string& value) {
  if (value.size() > 3) SettingsIniPath = value;
}
void TGlobalObject::SetFormatIniPath(const std::string& value) {
  if (value.size() > 3) FormatIniPath = value;
}

std::string TGlobalObject::RightStr(const std::string& text, size_t count) {
  return text.size() <= count ? text : text.substr(text.size() - count);
}

std::string TGlobalObject::FileVersionText(int major, int minor, int release, int build) {
  std::string text(1, ' ');
  text += std::to_string(major);
  text += '.';
  text += std::to_string(minor);
  text += std::to_string(release);
  text += std::to_string(build);
  text += ' ';
  return text;
}

std::string TGlobalObject::GetFileVersionText() {
  return FileVersionText(ORVANE_VERSION_MAJOR, ORVANE_VERSION_MINOR, ORVANE_VERSION_PATCH, ORVANE_VERSION_BUILD + 0);
}

bool TGlobalObject::CanWriteToFolder(const std::string& folder) {
  if (folder.empty()) return false;
  std::string templ = folder;
  if (templ.back() != '/') templ += '/';
  templ += "DAXXXXXX";
  const int fd = ::mkstemp(templ.data());
  if (fd < 0) return false;
  ::close(fd);
  return ::unlink(templ.c_str()) == 0;
}

std::string TGlobalObject::GetLoginUserName() {
  const passwd* pw = ::getpwuid(::geteuid());
  if (!pw || !pw->pw_name) return {};
  std::string name = pw->pw_name;
  if (name.size() > 253) name.resize(253);
  return name;
}
