#include "media/textutils.h"

#include <sys/stat.h>

#include <ctime>

#include "media/errors.h"

std::string FormatDuration(int64_t microseconds) {
  if (microseconds == kNoTimeValue) return "N/A";
  // kNoTimeValue is the only value whose magnitude does not fit, so negating is safe here.
  bool negative = microseconds < 0;
  unsigned long long t = negative ? 0ULL - static_cast<unsigned long long>(microseconds)
                                  : static_cast<unsigned long long>(microseconds);
  unsigned long long seconds = t / 1000000ULL;
  return StrFormat("%s%02llu:%02llu:%02llu.%03llu", negative ? "-" : "", seconds / 3600ULL, (seconds / 60ULL) % 60ULL,
                   seconds % 60ULL, (t % 1000000ULL) / 1000ULL);
}

std::string FormatByteSize(int64_t size) {
  // printf formats "%f" with the decimal separator of the LC_NUMERIC locale.
  if (size > 1073741824LL) return StrFormat("%.2f GB", double(size) / 1073741824.0);
  if (size > 1048576LL) return StrFormat("%.2f MB", double(size) / 1048576.0);
  if (size > 1024LL) return StrFormat("%.2f KB", double(size) / 1024.0);
  return StrFormat("%lld Byte", static_cast<long long>(size));
}

std::string TrimText(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

std::string ExtractFileDir(const std::string& path) {
  size_t p = path.rfind('/');
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

std::string ExtractFileName(const std::string& path) {
  size_t p = path.rfind('/');
  return p == std::string::npos ? path : path.substr(p + 1);
}

std::string IncludeTrailingSlash(const std::string& path) {
  if (path.empty() || path.back() == '/') return path;
  return path + '/';
}

bool FileExists(const std::string& name) {
  struct stat st {};
  return !name.empty() && ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

int64_t FileSize(const std::string& name) {
  struct stat st {};
  if (name.empty() || ::stat(name.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

std::string SplitAtSeparator(std::string& text, const std::string& separator, bool cut) {
  size_t p = separator.empty() ? std::string::npos : text.find(separator);
  if (p == std::string::npos) {
    std::string whole = text;
    if (cut) text.clear();
    return whole;
  }
  std::string part = text.substr(0, p);
  if (cut) text.erase(0, p + separator.size());
  return part;
}

double UnixTimeToLocal(int64_t seconds) {
  constexpr double kUnixEpochDays = 25569.0;  // 1 January 1970 counted from 30 December 1899
  time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  long offset = ::localtime_r(&t, &local) ? local.tm_gmtoff : 0;
  return double(seconds + offset) / 86400.0 + kUnixEpochDays;
}
