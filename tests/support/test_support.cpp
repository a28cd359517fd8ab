#include "tests/support/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "media/loader.h"

namespace {
// Every test program runs without a display and without a sound card, also when ctest starts
// it: the ENVIRONMENT property that gtest_discover_tests writes keeps only the first of its
// variables, so the defaults are set here before any test starts (a value already set stays).
const bool kTestEnvironment = [] {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  return true;
}();
}  // namespace

namespace testsupport {

std::string MediaPath(const std::string& name) {
  const char* dir = std::getenv("ORVANE_TEST_MEDIA");
  return std::string(dir && *dir ? dir : ORVANE_TEST_MEDIA_DIR) + "/" + name;
}

void LoadEngineLibs() {
  TFFmpegLoader& loader = FFLoader();
  if (loader.LibsLoaded(kEngineLibs)) return;
  loader.SetLibraryFolder("");
  ASSERT_TRUE(loader.LoadLibs(kEngineLibs)) << loader.LastError();
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "orvane-test-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

LocaleScope::LocaleScope(const char* name) : saved_(std::setlocale(LC_ALL, nullptr)) {
  ok_ = std::setlocale(LC_ALL, name) != nullptr;
}

LocaleScope::~LocaleScope() { std::setlocale(LC_ALL, saved_.c_str()); }

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

TRgbFrame DecodeFrame(const std::string& file, double seconds, int width, int height) {
  TRgbFrame f;
  f.Width = width;
  f.Height = height;
  RunCapture("ffmpeg -nostdin -v error -i " + ShellQuote(file) + " -ss " + std::to_string(seconds) +
                 " -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null",
             f.Bytes);
  return f;
}

int RunCapture(const std::string& command, std::string& out) {
  out.clear();
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = ::pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FfprobeValue(const std::string& file, const std::string& entries, const std::string& streams) {
  std::string cmd = "ffprobe -v error";
  if (!streams.empty()) cmd += " -select_streams " + streams;
  cmd += " -show_entries " + ShellQuote(entries) + " -of default=noprint_wrappers=1:nokey=1 " + ShellQuote(file) +
         " 2>/dev/null";
  std::string out;
  if (RunCapture(cmd, out) != 0) return "";
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

double FfprobeNumber(const std::string& file, const std::string& entries, const std::string& streams) {
  std::string v = FfprobeValue(file, entries, streams);
  if (v.empty() || v == "N/A") return NAN;
  return std::strtod(v.c_str(), nullptr);
}

}  // namespace testsupport
