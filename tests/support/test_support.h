// Shared helpers of the test suite: test clips, temporary folders, the ffprobe oracle.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace testsupport {

// A clip made by tests/media/make-media.sh.
std::string MediaPath(const std::string& name);

// Loads the engine's libraries from the system; fails the test when they cannot load.
void LoadEngineLibs();

// A fresh folder removed with everything in it when the object goes.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
  std::filesystem::path path_;
};

// Switches the process locale for one scope and restores it afterwards.
class LocaleScope {
public:
  explicit LocaleScope(const char* name);
  ~LocaleScope();
  LocaleScope(const LocaleScope&) = delete;
  LocaleScope& operator=(const LocaleScope&) = delete;
  bool ok() const { return ok_; }

private:
  std::string saved_;
  bool ok_ = false;
};

// Runs a shell command; returns its exit status and puts stdout into `out`.
int RunCapture(const std::string& command, std::string& out);
// Quotes a path for the shell.
std::string ShellQuote(const std::string& s);

// ffprobe -show_entries: e.g. FfprobeValue(f, "stream=codec_name", "v:0") gives "mpeg4".
// Empty when ffprobe fails.
std::string FfprobeValue(const std::string& file, const std::string& entries, const std::string& streams = "");
// A decimal value from ffprobe, NaN when absent.
double FfprobeNumber(const std::string& file, const std::string& entries, const std::string& streams = "");

// One decoded picture as RGB bytes.
struct TRgbFrame {
  int Width = 0, Height = 0;
  std::string Bytes;
  bool Valid() const { return Width > 0 && Height > 0 && Bytes.size() == size_t(Width) * size_t(Height) * 3; }
  int At(int x, int y, int channel) const {
    return static_cast<unsigned char>(Bytes[(size_t(y) * size_t(Width) + size_t(x)) * 3 + size_t(channel)]);
  }
};
// The frame of a width x height video shown at `seconds`, decoded by the ffmpeg command from
// the start, so the time is exact.
TRgbFrame DecodeFrame(const std::string& file, double seconds, int width, int height);

}  // namespace testsupport
