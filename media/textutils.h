// Text, path, file and time routines that need none of the codec libraries: the front ends
// (command line, dialogs) and the application core use them without seeing the libraries'
// headers. media/utils.h adds the routines that work on the libraries' types.
#pragma once

#include <cstdint>
#include <string>

// The "no time" value of the codec libraries (their AV_NOPTS_VALUE).
constexpr int64_t kNoTimeValue = INT64_MIN;

// "HH:MM:SS.mmm" (hours take as many digits as needed), "N/A" for kNoTimeValue. Negative
// times carry a leading "-".
std::string FormatDuration(int64_t microseconds);

// "1.50 GB", "2.00 MB", "1.00 KB" (binary units, the decimal separator of the current
// LC_NUMERIC locale) or "1024 Byte" up to 1,024 bytes (negative sizes included).
std::string FormatByteSize(int64_t size);

// Path parts on "/": the directory part is everything up to and including the last "/",
// the name part the rest.
std::string ExtractFileDir(const std::string& path);
std::string ExtractFileName(const std::string& path);
// Appends "/" unless the text already ends with one; an empty text (no folder) stays empty.
std::string IncludeTrailingSlash(const std::string& path);

// True when the name exists and is not a directory.
bool FileExists(const std::string& name);
// The size in bytes, -1 when the name does not exist or is a directory.
int64_t FileSize(const std::string& name);

// The text without blanks and control characters at either end.
std::string TrimText(const std::string& s);
// ASCII letters lower-cased; other bytes (UTF-8 included) unchanged.
std::string LowerAscii(std::string s);

// The text before the first occurrence of `separator`, or the whole text when it does not
// occur. With `cut`, `text` keeps what follows the separator (empty when it does not occur).
std::string SplitAtSeparator(std::string& text, const std::string& separator, bool cut);

// Local date and time of a Unix time, as days since 30 December 1899 with the time of day
// as the fraction.
double UnixTimeToLocal(int64_t seconds);
