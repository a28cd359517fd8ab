// The benchmark driver converts one short clip: plain and with the colour lookup in the
// picture hook (checked against ffmpeg's lutrgb doing the same lookup), and fails with the
// engine's message on bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "support/test_support.h"

using namespace testsupport;

namespace {

std::string Driver() { return ORVANE_BENCH_DRIVER; }

// Runs the driver; stdout and stderr together in `out`.
int RunDriver(const std::string& args, std::string& out) {
  return RunCapture(ShellQuote(Driver()) + " " + args + " 2>&1", out);
}

// The average PSNR of two videos' pictures, after `filter` on the first (empty: none).
double Psnr(const std::string& a, const std::string& b, const std::string& filter) {
  const std::string graph = "[0:v]" + (filter.empty() ? std::string("null") : filter) + "[x];[x][1:v]psnr";
  std::string out;
  RunCapture("ffmpeg -nostdin -hide_banner -i " + ShellQuote(a) + " -i " + ShellQuote(b) + " -lavfi " +
                 ShellQuote(graph) + " -f null - 2>&1",
             out);
  const size_t at = out.rfind("average:");
  if (at == std::string::npos) return NAN;
  const std::string value = out.substr(at + 8, out.find(' ', at) - at - 8);
  return value == "inf" ? INFINITY : std::strtod(value.c_str(), nullptr);
}

}  // namespace

// Lossless video leaves only the conversions to and from BGR between the two sides: the hooked
// output must match the plain output run through lutrgb with the driver's own expression, and
// differ from the plain output.
TEST(BenchDriver, ConvertsPlainAndWithTheColourLookup) {
  TempDir dir;
  const std::string in = MediaPath("clip.mp4");
  const std::string plain = dir.file("plain.mkv"), hooked = dir.file("hooked.mkv");
  const std::string common = "--vcodec ffv1 --acodec aac --ab 96000 --duration 1 " + ShellQuote(in) + " ";
  std::string out;
  ASSERT_EQ(RunDriver(common + ShellQuote(plain), out), 0) << out;
  ASSERT_EQ(RunDriver("--hook " + common + ShellQuote(hooked), out), 0) << out;
  for (const std::string& f : {plain, hooked}) {
    EXPECT_EQ(FfprobeValue(f, "stream=codec_name", "v:0"), "ffv1") << f;
    EXPECT_EQ(FfprobeValue(f, "stream=codec_name", "a:0"), "aac") << f;
    EXPECT_NEAR(FfprobeNumber(f, "format=duration"), 1.0, 0.1) << f;
  }

  std::string lut;
  ASSERT_EQ(RunDriver("--lut-filter", lut), 0) << lut;
  while (!lut.empty() && lut.back() == '\n') lut.pop_back();
  ASSERT_EQ(lut.rfind("lutrgb=", 0), 0u) << lut;
  // The test picture's saturated colours are fixed points of the curves, so the unchanged
  // picture is already close (about 40 dB); the same lookup matches far closer (about 51 dB:
  // luma within one code value, while at colour edges inside a 2x2 block the engine's writer
  // back to 4:2:0 averages the block where ffmpeg's converter takes its top-left pixel), the
  // lookup with red and blue swapped does not (about 37 dB).
  EXPECT_GT(Psnr(plain, hooked, "format=bgr24," + lut), 48.0);
  EXPECT_LT(Psnr(plain, hooked, ""), 45.0);
}

TEST(BenchDriver, FailsWithTheReason) {
  TempDir dir;
  const std::string in = ShellQuote(MediaPath("clip.mp4")), outFile = ShellQuote(dir.file("out.mp4"));
  struct Case {
    std::string args;
    int status;
    const char* message;
  } cases[] = {
      {ShellQuote(dir.file("missing.mp4")) + " " + outFile, 1, "No such file"},
      {"--vcodec no_such_encoder " + in + " " + outFile, 1, "no_such_encoder"},
      {"--vcodec copy --hook " + in + " " + outFile, 1, "CustomHook"},
      {"--vb 12k " + in + " " + outFile, 2, "--vb needs a whole number"},
      {in, 2, "an input and an output file are needed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    std::string out;
    EXPECT_EQ(RunDriver(c.args, out), c.status);
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
  }
}
