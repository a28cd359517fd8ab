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

// Every codec pair the output profiles use: the output has the asked codecs, picture size and
// sample rate, audio and video of the same length starting together, and decodes cleanly.
TEST_F(TranscoderTest, EncodesEveryProfileCodecPair) {
  struct Case {
    const char* output;
    const char* vcodec;  // empty: audio only
    const char* acodec;
    const char* size;
    int rate;
  } cases[] = {
      {"mpeg4.mp4", "mpeg4", "aac", "320x240", 48000},
      {"xvid.avi", "libxvid", "libmp3lame", "320x240", 44100},
      {"h264.mp4", "libx264", "aac", "480x272", 48000},
      {"mpeg1.mpg", "mpeg1video", "mp2", "352x240", 44100},
      {"mpeg2.vob", "mpeg2video", "ac3", "720x480", 48000},
      {"mpeg2.mpg", "mpeg2video", "mp2", "720x576", 48000},
      {"wmv.wmv", "wmv2", "wmav2", "320x240", 44100},
      {"wmv1.asf", "wmv1", "wmav1", "320x240", 44100},
      {"flv.flv", "flv", "libmp3lame", "320x240", 44100},
      {"dv.dv", "dvvideo", "pcm_s16le", "720x480", 48000},
      {"mjpeg.avi", "mjpeg", "pcm_s16le", "320x240", 44100},
      {"audio.mp3", "", "libmp3lame", "", 44100},
      {"audio.ogg", "", "libvorbis", "", 44100},
      {"audio.flac", "", "flac", "", 44100},
      {"audio.m4a", "", "alac", "", 44100},
      {"audio.wav", "", "pcm_s16le", "", 22050},
      {"audio.mp2", "", "mp2", "", 48000},
      {"audio.ac3", "", "ac3", "", 48000},
      {"audio.wma", "", "wmav2", "", 44100},
      {"audio.aac", "", "aac", "", 44100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    TOutputOptions o;
    o.AudioCodec = c.acodec;
    o.AudioSampleRate = c.rate;
    o.AudioChannels = 2;
    if (*c.vcodec) {
      o.VideoCodec = c.vcodec;
      o.FrameSize = c.size;
      if (std::string(c.vcodec) == "dvvideo") {
        o.FrameRate = "30000/1001";
        o.ExtOptions = "pix_fmt=yuv411p";
      }
    } else {
      o.DisableVideo = true;
    }
    o.Duration = 3000000;
    const std::string out = dir.file(c.output);
    TRunResult r = Convert(MediaPath("clip.mp4"), out, TInputOptions(), o);
    ASSERT_TRUE(r.Added && r.OutputSet) << r.Error;
    ASSERT_TRUE(r.Terminate.Finished) << r.Terminate.ExceptionMsg;
    std::string messages;
    EXPECT_TRUE(DecodesCleanly(out, &messages)) << messages;
    const std::string aname = c.acodec;
    const std::string acodec = aname == "libmp3lame" ? "mp3" : aname == "libvorbis" ? "vorbis" : aname;
    EXPECT_EQ(First(FfprobeValue(out, "stream=codec_name", "a:0")), acodec);
    EXPECT_EQ(FfprobeNumber(out, "stream=sample_rate", "a:0"), c.rate);
    const double audioDur = FfprobeNumber(out, "stream=duration", "a:0");
    const double formatDur = FfprobeNumber(out, "format=duration");
    EXPECT_NEAR(formatDur, 3.0, 0.25);
    if (*c.vcodec) {
      const std::string name = c.vcodec;
      const std::string vcodec = name == "libx264" ? "h264" : name == "libxvid" ? "mpeg4" : name == "flv" ? "flv1" : name;
      EXPECT_EQ(First(FfprobeValue(out, "stream=codec_name", "v:0")), vcodec);
      EXPECT_EQ(First(FfprobeValue(out, "stream=width", "v:0")) + "x" + First(FfprobeValue(out, "stream=height", "v:0")),
                c.size);
      const double videoStart = FfprobeNumber(out, "stream=start_time", "v:0");
      const double audioStart = FfprobeNumber(out, "stream=start_time", "a:0");
      if (!std::isnan(videoStart) && !std::isnan(audioStart)) {
        EXPECT_NEAR(videoStart, audioStart, 0.1);
      }
      const double videoDur = FfprobeNumber(out, "stream=duration", "v:0");
      if (!std::isnan(videoDur) && !std::isnan(audioDur)) {
        EXPECT_NEAR(videoDur, audioDur, 0.15);
      }
    }
  }
}
