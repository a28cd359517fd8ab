// The one error type of the media services and the engine. Its message is the text shown to
// the user.
#pragma once

#include <stdexcept>
#include <string>

class FFmpegException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// printf-style formatting into a std::string (used for the fixed error texts).
std::string StrFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
