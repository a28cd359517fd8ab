// Conversions through the engine component with the real codec libraries: stream copies of
// every test clip, trims, stops, bad input; outputs checked with ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "engine/engine.h"
#include "engine/transcoder/transcoder.h"
#include "media/logger.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

struct TRunResult {
  bool Added = false;
  bool OutputSet = false;
  std::string Error;  // LastErrMsg of a refused AddTask / SetOutputFile
  TTerminateInfo Terminate;
  int ProgressCalls = 0;
  TProgressInfo LastProgress;
};

// Runs one task inline (on this thread) and returns what the engine reported.
TRunResult Convert(const std::string& input, const std::string& output, const TInputOptions& in,
                   const TOutputOptions& out) {
  TRunResult r;
  TConvertEngine engine;
  engine.SetOnProgress([&](TCustomConvertEngine*, PProgressInfo info) {
    ++r.ProgressCalls;
    r.LastProgress = *info;
  });
  engine.SetOnTerminate([&](TCustomConvertEngine*, const TTerminateInfo* info) {
    if (info->TaskIndex >= 0) r.Terminate = *info;
  });
  const int index = engine.AddTask(input, in);
  r.Added = index >= 0;
  if (!r.Added) {
    r.Error = engine.LastErrMsg();
    return r;
  }
  r.OutputSet = engine.SetOutputFile(index, output, out);
  if (!r.OutputSet) {
    r.Error = engine.LastErrMsg();
    return r;
  }
  engine.StartTask(0);
  return r;
}

// The first line of an ffprobe answer (transport streams list their streams twice).
std::string First(const std::string& text) { return text.substr(0, text.find('\n')); }

// ffmpeg decodes the whole file without an error message.
bool DecodesCleanly(const std::string& file, std::string* messages = nullptr) {
  std::string out;
  const int status = RunCapture("ffmpeg -nostdin -v error -i " + ShellQuote(file) + " -f null - 2>&1", out);
  if (messages) *messages = out;
  return status == 0 && out.empty();
}

TOutputOptions CopyBoth() {
  TOutputOptions o;
  o.VideoCodec = "copy";
  o.AudioCodec = "copy";
  return o;
}

class TranscoderTest : public ::testing::Test {
protected:
  void SetUp() override { LoadEngineLibs(); }
  TempDir dir;
};

}  // namespace

// Every clip copied into a container that takes its codecs: same streams, codecs and
// durations, and the result decodes without errors.
TEST_F(TranscoderTest, StreamCopyOfEveryClip) {
  struct Case {
    const char* clip;
    const char* output;
  } cases[] = {
      {"clip.avi", "avi.avi"},   {"clip.mp4", "mp4.mkv"},        {"clip.mkv", "mkv.nut"},
      {"clip.ts", "ts.mpg"},     {"video_only.mp4", "vo.mkv"},   {"audio.mp3", "a.mp3"},
      {"audio.wav", "a.wav"},    {"pal_720x576.mpg", "pal.ts"},  {"mono48k.mp4", "mono.mov"},
      {"odd_321x241.mkv", "odd.mkv"}, {"clip.ts", "ts.mkv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clip);
    const std::string in = MediaPath(c.clip);
    const std::string out = dir.file(c.output);
    TRunResult r = Convert(in, out, TInputOptions(), CopyBoth());
    ASSERT_TRUE(r.Added && r.OutputSet) << r.Error;
    EXPECT_TRUE(r.Terminate.Finished) << r.Terminate.ExceptionMsg;
    EXPECT_FALSE(r.Terminate.Exception) << r.Terminate.ExceptionMsg;
    for (const char* kind : {"v:0", "a:0"}) {
      const std::string src = First(FfprobeValue(in, "stream=codec_name", kind));
      EXPECT_EQ(First(FfprobeValue(out, "stream=codec_name", kind)), src) << kind;
    }
    const double inDur = FfprobeNumber(in, "format=duration");
    const double outDur = FfprobeNumber(out, "format=duration");
    EXPECT_NEAR(outDur, inDur, 0.1) << c.output;
    std::string messages;
    EXPECT_TRUE(DecodesCleanly(out, &messages)) << messages;
  }
}
