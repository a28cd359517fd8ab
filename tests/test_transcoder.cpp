// Conversions through the engine component with the real codec libraries: stream copies of
// every test clip, trims, stops, bad input; outputs checked with ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <functional>
#include <stdexcept>
#include <map>
#include <mutex>

#include "engine/engine.h"
#include "engine/transcoder/transcoder.h"
#include "media/dispatcher.h"
#include "media/errors.h"
#include "media/logger.h"
#include "tests/support/log_capture.h"
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

// One decoded picture of a file at a time, as packed RGB.
std::string FrameRgb(const std::string& file, double seconds, int& width, int& height) {
  width = int(FfprobeNumber(file, "stream=width", "v:0"));
  height = int(FfprobeNumber(file, "stream=height", "v:0"));
  std::string out;
  RunCapture(StrFormat("ffmpeg -nostdin -v error -ss %.3f -i %s -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null",
                       seconds, ShellQuote(file).c_str()),
             out);
  return out;
}

struct TRgb {
  int R, G, B;
};
TRgb Pixel(const std::string& rgb, int width, int x, int y) {
  const size_t i = (size_t(y) * size_t(width) + size_t(x)) * 3;
  if (i + 2 >= rgb.size()) return {-1, -1, -1};
  return {uint8_t(rgb[i]), uint8_t(rgb[i + 1]), uint8_t(rgb[i + 2])};
}

using testsupport::LogCapture;

// PSNR (dB) of the file's picture at `seconds` against the source's picture of the same time
// (or a neighbour: some containers shift pictures by one frame), the source scaled to the
// file's picture size.
double PsnrAgainstSource(const std::string& file, const std::string& source, double seconds) {
  int w = 0, h = 0;
  const std::string out = FrameRgb(file, seconds, w, h);
  double best = 0.0;
  for (double t : {seconds - 0.04, seconds, seconds + 0.04}) {
    std::string src;
    RunCapture(
        StrFormat("ffmpeg -nostdin -v error -ss %.3f -i %s -frames:v 1 -vf scale=%d:%d -f rawvideo -pix_fmt rgb24 - "
                  "2>/dev/null",
                  t, ShellQuote(source).c_str(), w, h),
        src);
    if (src.size() != out.size() || out.empty()) continue;
    double sum = 0;
    for (size_t i = 0; i < out.size(); ++i) {
      const double d = double(uint8_t(out[i])) - double(uint8_t(src[i]));
      sum += d * d;
    }
    const double mse = sum / double(out.size());
    best = std::max(best, mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse));
  }
  return best;
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
      {"clip.avi", "avi.avi"},        {"clip.mp4", "mp4.mkv"},       {"clip.mkv", "mkv.mkv"},
      {"clip.ts", "ts.mpg"},          {"video_only.mp4", "vo.mkv"},  {"audio.mp3", "a.mp3"},
      {"audio.wav", "a.wav"},         {"pal_720x576.mpg", "pal.ts"}, {"mono48k.mp4", "mono.mov"},
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
    EXPECT_NEAR(outDur, inDur, 0.041) << c.output;  // within one frame
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
    o.VideoBitrate = 1500000;
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
      const std::string vcodec = name == "libx264"   ? "h264"
                                 : name == "libxvid" ? "mpeg4"
                                 : name == "flv"     ? "flv1"
                                                     : name;
      EXPECT_EQ(First(FfprobeValue(out, "stream=codec_name", "v:0")), vcodec);
      EXPECT_EQ(First(FfprobeValue(out, "stream=width", "v:0")) + "x" +
                    First(FfprobeValue(out, "stream=height", "v:0")),
                c.size);
      const double videoStart = FfprobeNumber(out, "stream=start_time", "v:0");
      const double audioStart = FfprobeNumber(out, "stream=start_time", "a:0");
      if (!std::isnan(videoStart) && !std::isnan(audioStart)) {
        EXPECT_NEAR(videoStart, audioStart, 0.1);
      }
      // The picture resembles the source (same frame rate: compare frame by frame).
      if (std::string(c.vcodec) != "dvvideo") {
        EXPECT_GT(PsnrAgainstSource(out, MediaPath("clip.mp4"), 1.5), 30.0);
      }
      const double videoDur = FfprobeNumber(out, "stream=duration", "v:0");
      if (!std::isnan(videoDur) && !std::isnan(audioDur)) {
        EXPECT_NEAR(videoDur, audioDur, 0.15);
      }
    }
  }
}

// Trim through the records: the input's start time and the output's duration.
TEST_F(TranscoderTest, TrimThroughTheRecords) {
  TInputOptions in;
  in.StartTime = 3000000;
  // Stream copy: starts on the key frame at 3 s (the clip has one every second).
  TOutputOptions copy = CopyBoth();
  copy.Duration = 4000000;
  const std::string copied = dir.file("trim.mkv");
  TRunResult r = Convert(MediaPath("clip.mp4"), copied, in, copy);
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  EXPECT_NEAR(FfprobeNumber(copied, "format=duration"), 4.0, 1.0);
  // The first copied picture is the source's key frame at 3 s, byte for byte.
  auto hashes = [](const std::string& file) {
    std::string out;
    RunCapture(
        "ffprobe -v error -select_streams v:0 -show_data_hash MD5 -show_entries packet=pts_time,data_hash"
        " -of csv=p=0 " +
            ShellQuote(file),
        out);
    return out;
  };
  const std::string copiedList = hashes(copied);
  const std::string firstCopied = copiedList.substr(copiedList.find(',') + 1,
                                                    copiedList.find('\n') - copiedList.find(',') - 1);
  const std::string sourceList = hashes(MediaPath("clip.mp4"));
  EXPECT_NE(sourceList.find("3.000000," + firstCopied), std::string::npos) << firstCopied;

  // Encoded: the asked length, and the picture of 3 s first (the test picture changes every
  // frame, so compare with the source's picture at 3 s).
  TOutputOptions enc;
  enc.VideoCodec = "mpeg4";
  enc.AudioCodec = "aac";
  enc.ExtOptions = "qscale=2";
  enc.Duration = 2000000;
  const std::string encoded = dir.file("trim.mp4");
  r = Convert(MediaPath("clip.mp4"), encoded, in, enc);
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  EXPECT_NEAR(FfprobeNumber(encoded, "format=duration"), 2.0, 0.1);
  int w = 0, h = 0, sw = 0, sh = 0;
  const std::string first = FrameRgb(encoded, 0, w, h);
  const std::string source = FrameRgb(MediaPath("clip.mp4"), 3.0, sw, sh);
  const std::string wrong = FrameRgb(MediaPath("clip.mp4"), 3.4, sw, sh);
  ASSERT_EQ(first.size(), source.size());
  auto distance = [](const std::string& a, const std::string& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) sum += std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i])));
    return sum / double(a.size());
  };
  EXPECT_LT(distance(first, source), 3.0);
  EXPECT_LT(distance(first, source), distance(first, wrong));
}

// The engine's notices: progress with the input's total, a final report, and the end notice.
TEST_F(TranscoderTest, ProgressAndTerminateNotices) {
  TRunResult r;
  TConvertEngine engine;
  engine.SetProgressInterval(100);
  std::vector<TProgressInfo> reports;
  engine.SetOnProgress([&](TCustomConvertEngine*, PProgressInfo info) { reports.push_back(*info); });
  engine.SetOnTerminate([&](TCustomConvertEngine*, const TTerminateInfo* info) {
    if (info->TaskIndex >= 0) r.Terminate = *info;
  });
  TInputOptions in;
  in.ExtOptions = "re=1";  // at the clip's own pace, so that several reports come
  TOutputOptions out = CopyBoth();
  out.Duration = 1500000;
  const int index = engine.AddTask(MediaPath("clip.mp4"), in);
  ASSERT_GE(index, 0) << engine.LastErrMsg();
  ASSERT_TRUE(engine.SetOutputFile(index, dir.file("p.mkv"), out)) << engine.LastErrMsg();
  engine.StartTask(0);
  EXPECT_TRUE(r.Terminate.Finished);
  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(reports.back().FileIndex, -1);
  EXPECT_NEAR(double(reports.back().CurrentDuration) / 1e6, 1.5, 0.2);
  EXPECT_EQ(reports.back().TotalDuration, 1500000);
  EXPECT_GT(reports.back().CurrentSize, 0);
  EXPECT_EQ(reports.back().Quality, -1.0f);  // copied video has no quantiser
  for (size_t i = 1; i < reports.size(); ++i) EXPECT_GE(reports[i].CurrentDuration, reports[i - 1].CurrentDuration);
}

namespace {

// A threaded run that the test stops; the main thread drains the engine's calls meanwhile.
struct ThreadedRun {
  TConvertEngine engine;
  std::atomic<bool> ended{false};
  TTerminateInfo info;
  std::atomic<int> reports{0};

  ThreadedRun() {
    engine.SetProgressInterval(100);
    engine.SetOnProgress([this](TCustomConvertEngine*, PProgressInfo) { ++reports; });
    engine.SetOnTerminate([this](TCustomConvertEngine*, const TTerminateInfo* i) {
      if (i->TaskIndex >= 0)
        info = *i;
      else
        ended = true;
    });
  }
  // Waits until `done` holds or the time is up, draining main-thread calls.
  template <typename F>
  bool WaitFor(F done, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      HeadlessDispatcher().WaitAndProcess(20);
    }
    return true;
  }
};

}  // namespace

// A stop half-way finishes the file with its trailer; the notice says not finished.
TEST_F(TranscoderTest, StopLeavesAPlayableFile) {
  ThreadedRun run;
  TInputOptions in;
  in.ExtOptions = "re=1";
  const std::string out = dir.file("stopped.mp4");
  const int index = run.engine.AddTask(MediaPath("long.mp4"), in);
  ASSERT_GE(index, 0) << run.engine.LastErrMsg();
  ASSERT_TRUE(run.engine.SetOutputFile(index, out, CopyBoth())) << run.engine.LastErrMsg();
  run.engine.StartTask(1);
  ASSERT_TRUE(run.WaitFor([&] { return run.reports >= 5; }, 30));
  run.engine.StopTask(true);
  ASSERT_TRUE(run.WaitFor([&] { return run.ended.load(); }, 30));
  EXPECT_FALSE(run.info.Finished);
  EXPECT_FALSE(run.info.Exception) << run.info.ExceptionMsg;
  const double duration = FfprobeNumber(out, "format=duration");
  EXPECT_GT(duration, 0.3);
  EXPECT_LT(duration, 60.0);
  std::string messages;
  EXPECT_TRUE(DecodesCleanly(out, &messages)) << messages;
}

// A stop reaches a read that waits for data inside the library: the input is a pipe that
// an ffmpeg process fills at the clip's own pace.
TEST_F(TranscoderTest, StopInterruptsABlockedRead) {
  const std::string pipe = dir.file("feed.ts");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    const std::string clip = MediaPath("long.mp4");
    ::execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "quiet", "-re", "-i", clip.c_str(), "-c:v", "mpeg2video", "-c:a",
             "mp2", "-f", "mpegts", "-y", pipe.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ThreadedRun run;
  TInputOptions in;
  in.ExtOptions = "analyzeduration=500000\nprobesize=65536";
  const std::string out = dir.file("fed.mkv");
  const int index = run.engine.AddTask(pipe, in);
  ASSERT_GE(index, 0) << run.engine.LastErrMsg();
  ASSERT_TRUE(run.engine.SetOutputFile(index, out, CopyBoth())) << run.engine.LastErrMsg();
  run.engine.StartTask(1);
  ASSERT_TRUE(run.WaitFor([&] { return run.reports >= 3; }, 30));  // the worker now waits for data
  const auto before = std::chrono::steady_clock::now();
  run.engine.StopTask(true);
  const auto waited = std::chrono::steady_clock::now() - before;
  ::kill(writer, SIGTERM);
  ::waitpid(writer, nullptr, 0);
  ASSERT_TRUE(run.WaitFor([&] { return run.ended.load(); }, 10));
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 2000);
  EXPECT_FALSE(run.info.Finished);
  EXPECT_GT(FfprobeNumber(out, "format=duration"), 0.2);
}

// Bad input and bad output places get a clear error and leave no file behind.
TEST_F(TranscoderTest, BadInputAndOutputAreRefused) {
  struct Case {
    std::string input;
    std::string output;
    std::string error;  // part of LastErrMsg
  } cases[] = {
      {dir.file("missing.mp4"), dir.file("m.mkv"), "missing.mp4"},
      {MediaPath("clip.mp4"), dir.file("no/such/folder/o.mkv"), "o.mkv"},
      {MediaPath("clip.mp4"), dir.file("o.unknownext"), "Unable to find a suitable output format for"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + " -> " + c.output);
    TRunResult r = Convert(c.input, c.output, TInputOptions(), CopyBoth());
    EXPECT_FALSE(r.Added && r.OutputSet);
    EXPECT_NE(r.Error.find(c.error), std::string::npos) << r.Error;
    EXPECT_FALSE(std::filesystem::exists(c.output));
  }
  // Random bytes that a format claims (by the file name) but that cannot be written anywhere:
  // the run ends with the reason and leaves no half-written file.
  {
    const std::string out = dir.file("random.mkv");
    TRunResult r = Convert(MediaPath("random.bin"), out, TInputOptions(), CopyBoth());
    EXPECT_TRUE(r.Terminate.Exception);
    EXPECT_NE(r.Terminate.ExceptionMsg.find("Could not write header"), std::string::npos) << r.Terminate.ExceptionMsg;
    EXPECT_FALSE(std::filesystem::exists(out));
  }
  // A truncated file converts as far as it goes.
  const std::string out = dir.file("truncated.mkv");
  TRunResult r = Convert(MediaPath("truncated.avi"), out, TInputOptions(), CopyBoth());
  ASSERT_TRUE(r.Added && r.OutputSet) << r.Error;
  EXPECT_TRUE(r.Terminate.Finished) << r.Terminate.ExceptionMsg;
  EXPECT_GT(FfprobeNumber(out, "format=duration"), 2.0);
}

// How the output record's fields and extra lines become streams.
TEST_F(TranscoderTest, OutputRecordsBecomeStreams) {
  // The record's codec wins for the first stream; an extra line adds a stream of its own codec.
  {
    TOutputOptions o;
    o.VideoCodec = "mpeg4";
    o.AudioCodec = "libmp3lame";
    o.ExtOptions = "acodec=aac\nnewaudio=";
    o.Duration = 1000000;
    const std::string out = dir.file("two.mkv");
    TRunResult r = Convert(MediaPath("clip.mp4"), out, TInputOptions(), o);
    ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
    EXPECT_EQ(FfprobeValue(out, "stream=codec_name", "a"), "mp3\naac");
  }
  // Video discarded at the input: the output has no video stream.
  {
    TInputOptions in;
    in.ExtOptions = "vn=1";
    TOutputOptions o;
    o.AudioCodec = "aac";
    o.Duration = 1000000;
    const std::string out = dir.file("novideo.mp4");
    TRunResult r = Convert(MediaPath("clip.mp4"), out, in, o);
    ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
    EXPECT_EQ(FfprobeValue(out, "stream=codec_type"), "audio");
  }
  // Crops are checked against the input picture; the frame size is the final size.
  {
    TOutputOptions o;
    o.VideoCodec = "mpeg4";
    o.AudioCodec = "aac";
    o.CropTop = 8;
    o.CropBottom = 8;
    o.FrameSize = "320x240";
    o.Duration = 1000000;
    const std::string out = dir.file("crop.mp4");
    TRunResult r = Convert(MediaPath("pal_720x576.mpg"), out, TInputOptions(), o);
    ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
    EXPECT_EQ(FfprobeValue(out, "stream=width,height", "v:0"), "320\n240");
  }
  // Rates the encoders do not offer: the nearest frame rate, the closest sample rate (with a
  // warning).
  {
    LogCapture log;
    TOutputOptions o;
    o.VideoCodec = "mpeg1video";
    o.AudioCodec = "ac3";
    o.FrameRate = "20";
    o.AudioSampleRate = 22050;
    o.Duration = 1000000;
    const std::string out = dir.file("rates.mkv");
    TRunResult r = Convert(MediaPath("clip.mp4"), out, TInputOptions(), o);
    ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
    EXPECT_EQ(FfprobeValue(out, "stream=r_frame_rate", "v:0"), "24000/1001");
    EXPECT_EQ(FfprobeValue(out, "stream=sample_rate", "a:0"), "32000");
    EXPECT_NE(log.Text().find("Requested sampling rate unsupported using closest supported (32000)"),
              std::string::npos);
  }
  // Refusals reach LastErrMsg.
  struct Refusal {
    std::string ext;
    std::string error;
  } refusals[] = {
      {"threads=2", "TODO: option - threads"},
      {"vcodec=aac", "Invalid encoder type 'aac'"},
      {"vcodec=nosuchcodec", "Unknown encoder 'nosuchcodec'"},
  };
  for (const Refusal& f : refusals) {
    TOutputOptions o;
    o.ExtOptions = f.ext;
    TRunResult r = Convert(MediaPath("clip.mp4"), dir.file("x.mkv"), TInputOptions(), o);
    EXPECT_FALSE(r.OutputSet) << f.ext;
    EXPECT_NE(r.Error.find(f.error), std::string::npos) << r.Error;
  }
}

// The target presets through the record: PAL DVD.
TEST_F(TranscoderTest, TargetPresetFromTheRecord) {
  TOutputOptions o;
  o.Target = 3;
  o.TargetNorm = 0;  // automatic: the 25 fps input gives PAL
  o.Duration = 1000000;
  const std::string out = dir.file("dvd.mpg");
  TRunResult r = Convert(MediaPath("clip.mp4"), out, TInputOptions(), o);
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  EXPECT_EQ(FfprobeValue(out, "stream=codec_name,width,height,r_frame_rate", "v:0"), "mpeg2video\n720\n576\n25/1");
  EXPECT_EQ(FfprobeValue(out, "stream=codec_name,sample_rate,bit_rate", "a:0"), "ac3\n48000\n448000");
  std::string messages;
  EXPECT_TRUE(DecodesCleanly(out, &messages)) << messages;
}

// The colour description follows what the written file keeps. BT.709 colour bars (tagged so)
// keep their matrix in Matroska, and their full range where the codec signals it (H.264), also
// through a filter graph; MPEG-4 Part 2 cannot signal full range, so it is converted; JPEG
// pictures are BT.601 at full range; the DVD target takes 4:2:0 BT.601 pictures even from a
// 4:2:2 source. Each time the colours the ffmpeg command shows are the source's, bar by bar.
TEST_F(TranscoderTest, ColourDescriptionFollowsWhatTheFileKeeps) {
  struct Case {
    const char* source;  // bars709_<kind>.mp4
    const char* output;
    const char* vcodec;
    const char* filters;
    int target;
    const char* expect;  // ffprobe: pix_fmt, color_range, color_space (in its order)
  } cases[] = {
      {"full", "mpeg4.mkv", "mpeg4", "", 0, "yuv420p\ntv\nbt709"},
      {"full", "h264.mkv", "libx264", "", 0, "yuvj420p\npc\nbt709"},
      {"full", "h264_graph.mkv", "libx264", "pad=176:120:8:0", 0, "yuvj420p\npc\nbt709"},
      {"420", "jpeg.avi", "mjpeg", "", 0, "yuvj420p\npc\nbt470bg"},
      {"422", "dvd.mpg", "", "", 3, "yuv420p\ntv\nbt470bg"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    const std::string source = MediaPath(std::string("bars709_") + c.source + ".mp4");
    TOutputOptions o;
    o.VideoCodec = c.vcodec;
    o.VideoFilters = c.filters;
    o.Target = c.target;
    o.TargetNorm = 1;
    o.ExtOptions = "qscale=2";
    const std::string out = dir.file(c.output);
    TRunResult r = Convert(source, out, TInputOptions(), o);
    ASSERT_TRUE(r.Terminate.Finished && !r.Terminate.Exception) << r.Error << r.Terminate.ExceptionMsg;
    EXPECT_EQ(FfprobeValue(out, "stream=pix_fmt,color_range,color_space", "v:0"), c.expect);
    const int w = int(FfprobeNumber(out, "stream=width", "v:0")), h = int(FfprobeNumber(out, "stream=height", "v:0"));
    const int left = *c.filters ? 8 : 0, width = *c.filters ? 160 : w;
    const TRgbFrame bars = DecodeFrame(source, 0.2, 160, 120), f = DecodeFrame(out, 0.2, w, h);
    ASSERT_TRUE(bars.Valid() && f.Valid());
    for (int i = 0; i < 7; ++i) {
      const int sx = (2 * i + 1) * 160 / 14, x = left + (2 * i + 1) * width / 14;
      for (int ch = 0; ch < 3; ++ch)
        EXPECT_NEAR(f.At(x, h / 3, ch), bars.At(sx, 40, ch), 8) << "bar " << i << " channel " << ch;
    }
  }
}

namespace {

// Converts with a custom hook handler; the engine runs inline.
TRunResult ConvertWithHook(const std::string& input, const std::string& output, TOutputOptions out,
                           const std::function<void(THookInfo&)>& handler, bool previewBitmap = false,
                           std::vector<TPreviewInfo>* previews = nullptr) {
  TRunResult r;
  TConvertEngine engine;
  out.CustomHook = true;
  engine.SetOnCustomHook([&](TCustomConvertEngine*, PHookInfo info) { handler(*info); });
  engine.SetPreviewBitmap(previewBitmap);
  engine.SetOnPreviewBitmap([&](TCustomConvertEngine*, const TPreviewInfo* info) {
    if (previews) previews->push_back(*info);
  });
  engine.SetOnTerminate([&](TCustomConvertEngine*, const TTerminateInfo* info) {
    if (info->TaskIndex >= 0) r.Terminate = *info;
  });
  const int index = engine.AddTask(input);
  r.Added = index >= 0;
  if (r.Added) r.OutputSet = engine.SetOutputFile(index, output, out);
  if (!r.Added || !r.OutputSet) {
    r.Error = engine.LastErrMsg();
    return r;
  }
  engine.StartTask(0);
  return r;
}

TOutputOptions Mpeg4(int64_t duration) {
  TOutputOptions o;
  o.VideoCodec = "mpeg4";
  o.AudioCodec = "aac";
  o.ExtOptions = "qscale=2";
  o.Duration = duration;
  return o;
}

}  // namespace

// The application draws on every decoded picture through the hook; a handler that fails
// leaves its pictures unchanged; StopHook ends the calls; copied video cannot be hooked.
TEST_F(TranscoderTest, CustomHookDrawsOnThePictures) {
  int calls = 0;
  int64_t lastPts = -1;
  bool ordered = true;
  const std::string red = dir.file("red.mp4");
  TRunResult r = ConvertWithHook(MediaPath("clip.mp4"), red, Mpeg4(1000000), [&](THookInfo& info) {
    ++calls;
    ordered &= info.PTS > lastPts && info.FrameNumber == calls;
    lastPts = info.PTS;
    TBitmap24& b = *info.Bitmap;
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 40; ++x) {
        uint8_t* p = b.Row(y) + x * 3;
        p[0] = 0, p[1] = 0, p[2] = 255;  // BGR: pure red
      }
  });
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  EXPECT_EQ(calls, 25);
  EXPECT_TRUE(ordered);
  int w = 0, h = 0;
  const std::string frame = FrameRgb(red, 0.5, w, h);
  const TRgb inside = Pixel(frame, w, 20, 20);
  EXPECT_GT(inside.R, 200);
  EXPECT_LT(inside.G, 60);
  EXPECT_LT(inside.B, 60);

  // A handler that raises: logged for every picture, the pictures encoded unchanged.
  {
    LogCapture log;
    const std::string out = dir.file("raising.mp4");
    r = ConvertWithHook(MediaPath("clip.mp4"), out, Mpeg4(400000), [&](THookInfo& info) {
      TBitmap24& b = *info.Bitmap;
      std::memset(b.Row(0), 255, size_t(b.Width) * 3);
      throw std::runtime_error("no luck");
    });
    EXPECT_TRUE(r.Terminate.Finished) << r.Terminate.ExceptionMsg;
    const std::string text = log.Text();
    size_t count = 0;
    for (size_t p = text.find("Error occurs OnCustomHook: no luck"); p != std::string::npos;
         p = text.find("Error occurs OnCustomHook: no luck", p + 1))
      ++count;
    EXPECT_EQ(count, 10u);
    const std::string source = FrameRgb(MediaPath("clip.mp4"), 0.2, w, h);
    const std::string result = FrameRgb(out, 0.2, w, h);
    EXPECT_NEAR(Pixel(result, w, 5, 0).G, Pixel(source, w, 5, 0).G, 20);
  }

  // StopHook on the first picture: that picture is still written back, no further calls.
  calls = 0;
  const std::string stopped = dir.file("stopped.mp4");
  r = ConvertWithHook(MediaPath("clip.mp4"), stopped, Mpeg4(400000), [&](THookInfo& info) {
    ++calls;
    std::memset(info.Bitmap->Row(0), 0, size_t(info.Bitmap->Width) * 3);
    info.StopHook = true;
  });
  EXPECT_TRUE(r.Terminate.Finished);
  EXPECT_EQ(calls, 1);

  // Stream copy cannot give the hook pictures.
  TOutputOptions copy = CopyBoth();
  r = ConvertWithHook(MediaPath("clip.mp4"), dir.file("copy.mkv"), copy, [](THookInfo&) {});
  EXPECT_TRUE(r.Terminate.Exception);
  EXPECT_EQ(r.Terminate.ExceptionMsg, "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
}

namespace {

// The decoded pictures of a file's first video stream, one MD5 per frame.
std::vector<std::string> FrameHashes(const std::string& file) {
  std::string out;
  RunCapture("ffmpeg -nostdin -v error -i " + ShellQuote(file) + " -map 0:v:0 -f framemd5 -", out);
  std::vector<std::string> hashes;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line[0] != '#') hashes.push_back(line.substr(line.rfind(',') + 1));
  return hashes;
}

}  // namespace

// Pictures the front end says it leaves alone skip the conversion to the bitmap and back (no
// OnCustomHook call): they are encoded exactly as without a hook, while the pictures in
// between are drawn on. Every picture is coded on its own with a fixed quantiser, so equal
// input pictures give equal output pictures.
TEST_F(TranscoderTest, PicturesTheHookLeavesAlonePassWithoutTheRoundTrip) {
  TOutputOptions o = Mpeg4(2000000);
  o.DisableAudio = true;
  o.ExtOptions = "qscale=2<CRLF>g=1";
  const std::string plain = dir.file("plain.mp4"), hooked = dir.file("hooked.mp4");
  TRunResult r = Convert(MediaPath("clip.mp4"), plain, TInputOptions(), o);
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;

  auto drawn = [](int64_t pts) { return pts >= 500000 && pts < 1000000; };
  TConvertEngine engine;
  std::vector<int64_t> hookedTimes, askedTimes;
  std::vector<int32_t> askedTasks;
  engine.SetOnCustomHookNeeded([&](TCustomConvertEngine*, int32_t task, int64_t pts) {
    askedTasks.push_back(task);
    askedTimes.push_back(pts);
    return drawn(pts);
  });
  engine.SetOnCustomHook([&](TCustomConvertEngine*, PHookInfo info) {
    hookedTimes.push_back(info->PTS);
    for (int y = 0; y < 32; ++y) std::memset(info->Bitmap->Row(y), 255, 96);
  });
  engine.SetOnTerminate([&](TCustomConvertEngine*, const TTerminateInfo* info) {
    if (info->TaskIndex >= 0) r.Terminate = *info;
  });
  o.CustomHook = true;
  const int index = engine.AddTask(MediaPath("clip.mp4"));
  ASSERT_GE(index, 0) << engine.LastErrMsg();
  ASSERT_TRUE(engine.SetOutputFile(index, hooked, o)) << engine.LastErrMsg();
  engine.StartTask(0);
  ASSERT_TRUE(r.Terminate.Finished) << r.Terminate.ExceptionMsg;

  ASSERT_EQ(askedTimes.size(), 50u);
  EXPECT_EQ(std::count(askedTasks.begin(), askedTasks.end(), 0), 50);
  const auto drawnCount = std::count_if(askedTimes.begin(), askedTimes.end(), drawn);
  EXPECT_GE(drawnCount, 12);
  EXPECT_EQ(hookedTimes.size(), size_t(drawnCount));
  for (int64_t t : hookedTimes) EXPECT_TRUE(drawn(t)) << t;

  const std::vector<std::string> a = FrameHashes(plain), b = FrameHashes(hooked);
  ASSERT_EQ(a.size(), 50u);
  ASSERT_EQ(b.size(), a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    if (drawn(askedTimes[i]))
      EXPECT_NE(a[i], b[i]) << "frame " << i << " was drawn on";
    else
      EXPECT_EQ(a[i], b[i]) << "frame " << i << " was left alone";
  }
}

// Preview pictures come from encoded frames, at most one per 100 ms.
TEST_F(TranscoderTest, PreviewPicturesArePaced) {
  std::vector<TPreviewInfo> previews;
  TOutputOptions o = Mpeg4(3000000);
  TInputOptions in;
  const auto start = std::chrono::steady_clock::now();
  TRunResult r = ConvertWithHook(
      MediaPath("clip.mp4"), dir.file("preview.mp4"), o, [](THookInfo&) {}, true, &previews);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  ASSERT_FALSE(previews.empty());
  EXPECT_LE(double(previews.size()), seconds * 10.0 + 1.0);
  for (size_t i = 1; i < previews.size(); ++i) EXPECT_GT(previews[i].FrameNumber, previews[i - 1].FrameNumber);
}

// Frame-rate synchronisation: 25 fps pictures into 30 fps and 12.5 fps outputs.
TEST_F(TranscoderTest, FrameRateChangesDuplicateAndDropPictures) {
  struct Case {
    const char* rate;
    const char* vsync;
    double frames;  // in 2 s
    const char* input = "clip.mp4";
  } cases[] = {{"30", "1", 60},
               {"25", "1", 50},
               {"12.5", "1", 25},
               {"30", "0", 50},
               {"25", "1", 25, "ntsc_16x9.mkv"}};  // 1 s at 29.97 fps into 25 fps
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.rate) + " vsync " + c.vsync + " " + c.input);
    TOutputOptions o = Mpeg4(2000000);
    o.FrameRate = c.rate;
    o.DisableAudio = true;
    o.VideoSyncMethod = std::atoi(c.vsync);
    const std::string out = dir.file(std::string("rate") + c.rate + c.vsync + c.input + ".mp4");
    TRunResult r = Convert(MediaPath(c.input), out, TInputOptions(), o);
    ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
    EXPECT_NEAR(FfprobeNumber(out, "stream=nb_frames", "v:0"), c.frames, 1.0);
  }
}

// Two passes through their statistics file, the per-frame statistics file, and PSNR and the
// quantiser histogram in the progress line.
TEST_F(TranscoderTest, TwoPassAndStatisticsFiles) {
  const std::string prefix = dir.file("pass");
  TOutputOptions first = Mpeg4(1000000);
  first.ExtOptions = "pass=1\npasslogfile=" + prefix + "\nb=300k";
  first.DisableAudio = true;
  TRunResult r = Convert(MediaPath("clip.mp4"), dir.file("p1.mp4"), TInputOptions(), first);
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  ASSERT_TRUE(std::filesystem::exists(prefix + "-0.log"));
  EXPECT_GT(std::filesystem::file_size(prefix + "-0.log"), 100u);

  TOutputOptions second = first;
  second.ExtOptions = "pass=2\npasslogfile=" + prefix + "\nb=300k\nvstats_file=" + dir.file("vstats.log") + "\npsnr=1";
  r = Convert(MediaPath("clip.mp4"), dir.file("p2.mp4"), TInputOptions(), second);
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  std::ifstream stats(dir.file("vstats.log"));
  std::string line;
  int lines = 0;
  while (std::getline(stats, line)) {
    ++lines;
    EXPECT_NE(line.find("PSNR="), std::string::npos) << line;
    EXPECT_NE(line.find("type= "), std::string::npos) << line;
  }
  EXPECT_EQ(lines, 25);

  // The second pass without a first-pass file.
  second.ExtOptions = "pass=2\npasslogfile=" + dir.file("none");
  r = Convert(MediaPath("clip.mp4"), dir.file("p3.mp4"), TInputOptions(), second);
  EXPECT_EQ(r.Terminate.ExceptionMsg,
            "Cannot read file: Error reading log file \"" + dir.file("none") + "-0.log\" for pass-2 encoding");
}

// A frame-hook module loaded with "vhook" draws into the decoded pictures.
TEST_F(TranscoderTest, FrameHookModuleDrawsIntoPictures) {
  TOutputOptions o = Mpeg4(1000000);
  o.ExtOptions = std::string("qscale=2\nvhook=") + ORVANE_DRAWBOX_MODULE + " 0 0 64 64 81 90 240";  // red in YUV
  const std::string out = dir.file("boxed.mp4");
  TRunResult r = Convert(MediaPath("clip.mp4"), out, TInputOptions(), o);
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  int w = 0, h = 0;
  const std::string frame = FrameRgb(out, 0.5, w, h);
  EXPECT_GT(Pixel(frame, w, 30, 30).R, 200);
  EXPECT_LT(Pixel(frame, w, 30, 30).G, 60);

  o.ExtOptions = "vhook=" + dir.file("missing-module.so");
  r = Convert(MediaPath("clip.mp4"), dir.file("x.mp4"), TInputOptions(), o);
  EXPECT_FALSE(r.OutputSet);
  EXPECT_NE(r.Error.find("Failed to add video hook function"), std::string::npos) << r.Error;
}

// Volume on decoded samples; copied audio cannot change volume.
TEST_F(TranscoderTest, VolumeChangesTheDecodedSamples) {
  auto meanVolume = [](const std::string& file) {
    std::string out;
    RunCapture("ffmpeg -nostdin -i " + ShellQuote(file) + " -af volumedetect -f null - 2>&1 | grep mean_volume", out);
    const size_t p = out.find("mean_volume:");
    return p == std::string::npos ? NAN : std::strtod(out.c_str() + p + 12, nullptr);
  };
  TOutputOptions o;
  o.AudioCodec = "pcm_s16le";
  o.Duration = 1000000;
  const std::string plain = dir.file("plain.wav");
  ASSERT_TRUE(Convert(MediaPath("clip.mp4"), plain, TInputOptions(), o).Terminate.Finished);
  o.AudioVolume = 128;
  const std::string half = dir.file("half.wav");
  ASSERT_TRUE(Convert(MediaPath("clip.mp4"), half, TInputOptions(), o).Terminate.Finished);
  EXPECT_NEAR(meanVolume(half), meanVolume(plain) - 6.0, 0.5);

  TOutputOptions copy = CopyBoth();
  copy.AudioVolume = 512;
  TRunResult r = Convert(MediaPath("clip.mp4"), dir.file("vol.mkv"), TInputOptions(), copy);
  EXPECT_EQ(r.Terminate.ExceptionMsg, "-acodec copy and -vol are incompatible (frames are not decoded)");
}

// A picture size change in mid-stream is followed by a new scaler; subtitles are encoded.
TEST_F(TranscoderTest, SizeChangeAndSubtitles) {
  TOutputOptions o;
  o.VideoCodec = "mpeg4";
  o.FrameSize = "320x240";
  const std::string out = dir.file("changed.mp4");
  TRunResult r = Convert(MediaPath("size_change.ts"), out, TInputOptions(), o);
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  EXPECT_NEAR(FfprobeNumber(out, "stream=nb_frames", "v:0"), 100, 3);
  std::string messages;
  EXPECT_TRUE(DecodesCleanly(out, &messages)) << messages;

  // Without a size wish the pictures keep the first part's size; the second part is scaled.
  o.FrameSize.clear();
  const std::string kept = dir.file("kept.mkv");
  r = Convert(MediaPath("size_change.ts"), kept, TInputOptions(), o);
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  EXPECT_EQ(FfprobeValue(kept, "stream=width,height", "v:0"), "320\n240");
  EXPECT_NEAR(FfprobeNumber(kept, "format=duration"), 4.0, 0.2);

  TOutputOptions s;
  s.VideoCodec = "mpeg4";
  s.AudioCodec = "aac";
  s.SubtitleCodec = "ass";
  const std::string subs = dir.file("subs.mkv");
  r = Convert(MediaPath("subtitles.mkv"), subs, TInputOptions(), s);
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  EXPECT_EQ(First(FfprobeValue(subs, "stream=codec_name", "s:0")), "ass");
  std::string text;
  RunCapture("ffmpeg -nostdin -v error -i " + ShellQuote(subs) + " -map 0:s:0 -f srt - 2>/dev/null", text);
  EXPECT_NE(text.find("First line"), std::string::npos) << text;
  EXPECT_NE(text.find("00:00:05,0"), std::string::npos) << text;  // within the encoders' start delay
}

// "async" 1 fills the half second before late sound with silence, so that both streams start
// together; without it the sound starts late.
TEST_F(TranscoderTest, AudioSyncFillsALateStart) {
  for (int async : {0, 1}) {
    SCOPED_TRACE(async);
    TOutputOptions o;
    o.VideoCodec = "mpeg4";
    o.AudioCodec = "pcm_s16le";
    o.AudioSyncMethod = async;
    const std::string out = dir.file("late" + std::to_string(async) + ".mkv");
    TRunResult r = Convert(MediaPath("late_audio.mkv"), out, TInputOptions(), o);
    ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
    const double audioStart = FfprobeNumber(out, "stream=start_time", "a:0");
    EXPECT_NEAR(audioStart, async ? 0.0 : 0.5, 0.03);
    // With the silence the sound lasts as long as the picture.
    std::string samples;
    RunCapture("ffmpeg -nostdin -v error -i " + ShellQuote(out) + " -map 0:a -f s16le - | wc -c", samples);
    const double channels = FfprobeNumber(out, "stream=channels", "a:0");
    EXPECT_NEAR(std::strtod(samples.c_str(), nullptr) / (44100.0 * 2 * channels), async ? 4.0 : 3.5, 0.05);
  }
}

// A stop in the middle of an encode leaves a file that plays.
TEST_F(TranscoderTest, StopDuringAnEncodeLeavesAPlayableFile) {
  ThreadedRun run;
  const std::string out = dir.file("stopped-encode.mp4");
  const int index = run.engine.AddTask(MediaPath("long.mp4"));
  ASSERT_GE(index, 0) << run.engine.LastErrMsg();
  ASSERT_TRUE(run.engine.SetOutputFile(index, out, Mpeg4(kNoPts))) << run.engine.LastErrMsg();
  run.engine.StartTask(1);
  ASSERT_TRUE(run.WaitFor([&] { return run.reports >= 2; }, 60));
  run.engine.StopTask(true);
  ASSERT_TRUE(run.WaitFor([&] { return run.ended.load(); }, 30));
  EXPECT_FALSE(run.info.Finished);
  EXPECT_FALSE(run.info.Exception) << run.info.ExceptionMsg;
  const double duration = FfprobeNumber(out, "format=duration");
  EXPECT_GT(duration, 0.5);
  EXPECT_LT(duration, 110.0);
  std::string messages;
  EXPECT_TRUE(DecodesCleanly(out, &messages)) << messages;
}

// Odd picture sizes go through the hook's conversion both ways.
TEST_F(TranscoderTest, HookOnAnOddSizedPicture) {
  int width = 0, height = 0;
  TOutputOptions o;
  o.VideoCodec = "libx264";
  o.AudioCodec = "aac";
  o.Duration = 400000;
  o.ExtOptions = "pix_fmt=yuv444p\ncrf=10";
  const std::string out = dir.file("odd.mkv");
  TRunResult r = ConvertWithHook(MediaPath("odd_321x241.mkv"), out, o, [&](THookInfo& info) {
    width = info.Bitmap->Width;
    height = info.Bitmap->Height;
    uint8_t* p = info.Bitmap->Row(240) + 320 * 3;  // the last pixel: blue
    p[0] = 255, p[1] = 0, p[2] = 0;
  });
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  EXPECT_EQ(width, 321);
  EXPECT_EQ(height, 241);
  int w = 0, h = 0;
  const std::string frame = FrameRgb(out, 0.2, w, h);
  ASSERT_EQ(w, 321);
  EXPECT_GT(Pixel(frame, w, 320, 240).B, 180);
  EXPECT_LT(Pixel(frame, w, 320, 240).R, 80);
}

// Join: the inputs of one task play one after another into a single output.
TEST_F(TranscoderTest, JoinedInputsMakeOneOutput) {
  TConvertEngine engine;
  TTerminateInfo result;
  engine.SetOnTerminate([&](TCustomConvertEngine*, const TTerminateInfo* info) {
    if (info->TaskIndex >= 0) result = *info;
  });
  const int index = engine.AddTask(MediaPath("clip.mp4"));
  ASSERT_GE(index, 0) << engine.LastErrMsg();
  ASSERT_TRUE(engine.Task(index)->OpenInput(MediaPath("clip.mkv"), nullptr)) << engine.Task(index)->LastError();
  TOutputOptions o = Mpeg4(kNoPts);
  o.Join = true;
  const std::string out = dir.file("joined.mp4");
  ASSERT_TRUE(engine.SetOutputFile(index, out, o)) << engine.LastErrMsg();
  // One joined output per task.
  EXPECT_FALSE(engine.SetOutputFile(index, dir.file("second.mp4"), o));
  EXPECT_EQ(engine.LastErrMsg(), "Cannot join more than one output file.");
  engine.StartTask(0);
  ASSERT_TRUE(result.Finished) << result.ExceptionMsg;
  EXPECT_NEAR(FfprobeNumber(out, "format=duration"), 20.0, 0.3);
  EXPECT_NEAR(FfprobeNumber(out, "stream=nb_frames", "v:0"), 500, 3);
  std::string messages;
  EXPECT_TRUE(DecodesCleanly(out, &messages)) << messages;
}

namespace {

// The decoded picture number `n` of a file, as grey levels (ffmpeg as the oracle).
std::string GreyFrame(const std::string& file, int n) {
  std::string out;
  RunCapture(
      StrFormat("ffmpeg -nostdin -v error -i %s -vf %s -vsync 0 -frames:v 1 -f rawvideo -pix_fmt gray - 2>/dev/null",
                ShellQuote(file).c_str(), ShellQuote(StrFormat("select=eq(n\\,%d)", n)).c_str()),
      out);
  return out;
}

double MeanDistance(const std::string& a, const std::string& b) {
  if (a.empty() || a.size() != b.size()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i])));
  return sum / double(a.size());
}

TOutputOptions Mpeg4Aac() {
  TOutputOptions o;
  o.VideoCodec = "mpeg4";
  o.AudioCodec = "aac";
  o.ExtOptions = "qscale=3";
  return o;
}

}  // namespace

// A task that could not convert a single video or audio frame has failed, says so, and leaves
// no header-only file behind; the same file's picture alone converts.
TEST_F(TranscoderTest, NothingConvertedIsAFailure) {
  TOutputOptions sound;
  sound.DisableVideo = true;
  sound.AudioCodec = "libmp3lame";
  const std::string mp3 = dir.file("nothing.mp3");
  TRunResult r = Convert(MediaPath("no_audio_packets.mkv"), mp3, TInputOptions(), sound);
  ASSERT_TRUE(r.Added && r.OutputSet) << r.Error;
  EXPECT_TRUE(r.Terminate.Exception);
  EXPECT_FALSE(r.Terminate.Finished);
  EXPECT_NE(r.Terminate.ExceptionMsg.find("No video or audio frame could be converted"), std::string::npos)
      << r.Terminate.ExceptionMsg;
  EXPECT_FALSE(std::filesystem::exists(mp3));

  TOutputOptions picture;
  picture.DisableAudio = true;
  picture.VideoCodec = "mpeg4";
  const std::string mp4 = dir.file("picture.mp4");
  r = Convert(MediaPath("no_audio_packets.mkv"), mp4, TInputOptions(), picture);
  EXPECT_TRUE(r.Terminate.Finished) << r.Terminate.ExceptionMsg;
  EXPECT_NEAR(FfprobeNumber(mp4, "format=duration"), 1.0, 0.1);
}

// A video stream the libraries cannot decode (an unknown four-character code) ends its task
// with the reason, not the process; with the picture left out, the same file's sound converts.
TEST_F(TranscoderTest, UnknownVideoCodecIsRefusedWithItsReason) {
  const std::string mp4 = dir.file("unknown.mp4");
  TRunResult r = Convert(MediaPath("unknown_codec.mp4"), mp4, TInputOptions(), Mpeg4Aac());
  ASSERT_TRUE(r.Added && r.OutputSet) << r.Error;
  EXPECT_TRUE(r.Terminate.Exception);
  EXPECT_FALSE(r.Terminate.Finished);
  EXPECT_EQ(r.Terminate.ExceptionMsg.rfind("video codec not supported: qqqq", 0), 0u) << r.Terminate.ExceptionMsg;
  EXPECT_FALSE(std::filesystem::exists(mp4));

  TOutputOptions sound;
  sound.DisableVideo = true;
  sound.AudioCodec = "aac";
  const std::string m4a = dir.file("unknown.m4a");
  r = Convert(MediaPath("unknown_codec.mp4"), m4a, TInputOptions(), sound);
  EXPECT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  EXPECT_NEAR(FfprobeNumber(m4a, "format=duration"), 2.0, 0.1);
}

// One stream of a transport stream with a time base thousands of seconds away from the
// others' is moved to the input's start: the output is as long as the real content (no
// repeated pictures up to 5965 s), and never longer than the ffmpeg command's.
TEST_F(TranscoderTest, DamagedTimestampDoesNotPadTheOutput) {
  const std::string src = MediaPath("jump.ts");
  const std::string out = dir.file("jump.mp4");
  TRunResult r = Convert(src, out, TInputOptions(), Mpeg4Aac());
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  for (const char* kind : {"v:0", "a:0"}) {
    SCOPED_TRACE(kind);
    EXPECT_NEAR(FfprobeNumber(out, "stream=duration", kind), 2.5, 0.2);
    EXPECT_NEAR(FfprobeNumber(out, "stream=start_time", kind), 0.0, 0.1);
  }
  const std::string byFfmpeg = dir.file("jump_ffmpeg.mp4");
  std::string ignored;
  ASSERT_EQ(RunCapture("ffmpeg -nostdin -v error -i " + ShellQuote(src) + " -c:v mpeg4 -c:a aac " +
                           ShellQuote(byFfmpeg) + " 2>&1",
                       ignored),
            0);
  EXPECT_LE(FfprobeNumber(out, "format=duration"), FfprobeNumber(byFfmpeg, "format=duration") + 0.1);
}

// Damaged and jumping times in transport streams never pad the output with repeated pictures:
// picture presentation times 5963 s after their decoding times and the sound, a repeated 64 kB
// stretch, four joined segments that each start at the same time. The output lasts as long as
// the content, and never more than 0.2 s longer than what the ffmpeg command keeps (which runs
// on for 5963 s with the first clip, so that one is measured against its content alone). The
// frame limit only bounds a runaway conversion.
TEST_F(TranscoderTest, TimestampJumpsNeverPadTheOutput) {
  const struct {
    const char* clip;
    double content;  // seconds
    bool compareWithFfmpeg;
  } cases[] = {
      {"pts_jump.ts", 2.5, false},
      {"repeated_chunk.ts", 8.6, true},  // 8 s and the repeated stretch
      {"joined_segments.ts", 4.8, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.clip);
    const std::string src = MediaPath(c.clip);
    const std::string out = dir.file(std::string(c.clip) + ".mp4");
    TOutputOptions o = Mpeg4Aac();
    o.ExtOptions += "\nvframes=400";
    TRunResult r = Convert(src, out, TInputOptions(), o);
    ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
    const double length = FfprobeNumber(out, "format=duration");
    EXPECT_NEAR(length, c.content, 0.2);
    EXPECT_NEAR(FfprobeNumber(out, "stream=duration", "v:0"), c.content, 0.2);
    if (!c.compareWithFfmpeg) continue;
    const std::string byFfmpeg = dir.file(std::string(c.clip) + "_ffmpeg.mp4");
    std::string ignored;
    ASSERT_EQ(RunCapture("ffmpeg -nostdin -v error -i " + ShellQuote(src) + " -c:v mpeg4 -c:a aac " +
                             ShellQuote(byFfmpeg) + " 2>&1",
                         ignored),
              0);
    EXPECT_LE(length, FfprobeNumber(byFfmpeg, "format=duration") + 0.2);
  }
}

// An input that ends before its known length converts as far as it goes, and the end notice
// says where it ended; a complete file or a trimmed part does not.
TEST_F(TranscoderTest, InputEndingEarlyIsReported) {
  struct Case {
    const char* clip;
    int64_t start, length;  // trim (µs); 0 for none
    bool early;
  } cases[] = {
      {"truncated.mkv", 0, 0, true}, {"truncated.avi", 0, 0, true},  // the header counts 10 s of pictures, the index is lost
      {"clip.mkv", 0, 0, false},     {"clip.ts", 0, 0, false},      {"clip.mp4", 3000000, 2000000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clip);
    TInputOptions in;
    in.StartTime = c.start;
    TOutputOptions o = Mpeg4Aac();
    if (c.length > 0) o.Duration = c.length;
    const std::string out = dir.file(std::string(c.clip) + ".mp4");
    TRunResult r = Convert(MediaPath(c.clip), out, in, o);
    ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
    EXPECT_EQ(r.Terminate.EndedEarly, c.early);
    if (!c.early) continue;
    EXPECT_NEAR(double(r.Terminate.DurationUs) / 1e6, 10.0, 0.2);
    EXPECT_NEAR(double(r.Terminate.EndedAtUs) / 1e6, FfprobeNumber(out, "format=duration"), 0.5);
    EXPECT_LT(r.Terminate.EndedAtUs, 6000000);
  }
}

// The sound track converted is the one marked default (English, the second, at 22.05 kHz),
// not the one with more (shorter) frames or the first, in every container.
TEST_F(TranscoderTest, TrackChoiceFollowsTheDefaultFlag) {
  for (const char* clip : {"two_lang.mp4", "two_lang.mkv"}) {
    SCOPED_TRACE(clip);
    const std::string out = dir.file(std::string(clip) + ".mkv");
    TRunResult r = Convert(MediaPath(clip), out, TInputOptions(), CopyBoth());
    ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
    EXPECT_EQ(First(FfprobeValue(out, "stream=sample_rate", "a")), "22050");
    EXPECT_EQ(First(FfprobeValue(out, "stream_tags=language", "a")), "eng");
  }
}

// A copied stream through a chain of two bitstream filters: every packet passes both and
// reaches the file, which decodes cleanly.
TEST_F(TranscoderTest, BitstreamFilterChainPassesEveryPacket) {
  const std::string in = MediaPath("clip.mp4");
  const std::string out = dir.file("chain.ts");
  TOutputOptions o = CopyBoth();
  o.DisableAudio = true;
  o.ExtOptions = "vbsf=h264_mp4toannexb\nvbsf=null";
  TRunResult r = Convert(in, out, TInputOptions(), o);
  ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
  auto packets = [](const std::string& file) {
    std::string text;
    RunCapture("ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 " +
                   ShellQuote(file) + " 2>/dev/null",
               text);
    return std::atoi(text.c_str());
  };
  EXPECT_GT(packets(in), 0);
  EXPECT_EQ(packets(out), packets(in));
  std::string messages;
  EXPECT_TRUE(DecodesCleanly(out, &messages)) << messages;
}

// A trim that starts in the middle of a GOP starts on the picture of the trim start (1.4 s,
// picture 35; within one picture) in transport and program streams, not on the next key
// frame (picture 50).
TEST_F(TranscoderTest, TrimStartIsExactInEveryContainer) {
  for (const char* clip : {"gop2s.ts", "gop2s.mpg", "clip.mkv"}) {
    SCOPED_TRACE(clip);
    const std::string src = MediaPath(clip);
    TInputOptions in;
    in.StartTime = 1400000;
    TOutputOptions o = Mpeg4Aac();
    o.ExtOptions = "qscale=2";
    o.Duration = 1000000;
    const std::string out = dir.file(std::string(clip) + ".mkv");
    TRunResult r = Convert(src, out, in, o);
    ASSERT_TRUE(r.Terminate.Finished) << r.Error << r.Terminate.ExceptionMsg;
    EXPECT_NEAR(FfprobeNumber(out, "format=duration"), 1.0, 0.1);
    // 1.4 s at 25 pictures a second: the first picture is number 35, not a neighbour (a
    // picture without a time of its own once took the time of a packet frames ahead).
    const std::string first = GreyFrame(out, 0);
    const double at35 = MeanDistance(first, GreyFrame(src, 35));
    EXPECT_LT(at35, 2.0);
    for (int n : {34, 36, 50}) EXPECT_GT(MeanDistance(first, GreyFrame(src, n)), 4 * at35) << "picture " << n;
  }
}

// System errors carry the system's own text.
TEST_F(TranscoderTest, SystemErrorsShowTheSystemText) {
  TRunResult r = Convert(dir.path().string(), dir.file("o.mkv"), TInputOptions(), CopyBoth());
  EXPECT_FALSE(r.Added);
  EXPECT_NE(r.Error.find("Is a directory"), std::string::npos) << r.Error;
  // A device that is always full (through a link, which is what a failed task removes).
  const std::string full = dir.file("full.mkv");
  std::filesystem::create_symlink("/dev/full", full);
  r = Convert(MediaPath("clip.mp4"), full, TInputOptions(), CopyBoth());
  EXPECT_TRUE(r.Terminate.Exception);
  EXPECT_NE(r.Terminate.ExceptionMsg.find("No space left on device"), std::string::npos) << r.Terminate.ExceptionMsg;
  EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}

// Queued tasks hold no open file: the inputs are checked when queued (a bad one is refused
// at once) and opened again when their task starts; a file that went away in between fails
// its own task with the reason, and the others convert.
TEST_F(TranscoderTest, QueuedTasksHoldNoOpenFile) {
  auto openFiles = [] {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
  };
  const std::string gone = dir.file("gone.mkv");
  std::filesystem::copy_file(MediaPath("no_audio_packets.mkv"), gone);
  TConvertEngine engine;
  std::map<int, TTerminateInfo> ends;
  engine.SetOnTerminate([&](TCustomConvertEngine*, const TTerminateInfo* info) {
    if (info->TaskIndex >= 0) ends[info->TaskIndex] = *info;
  });
  EXPECT_LT(engine.AddTask(dir.file("missing.mkv")), 0);
  EXPECT_NE(engine.LastErrMsg().find("No such file or directory"), std::string::npos) << engine.LastErrMsg();
  const size_t before = openFiles();
  TOutputOptions picture;
  picture.DisableAudio = true;
  picture.VideoCodec = "mpeg4";
  constexpr int kTasks = 8;
  for (int i = 0; i < kTasks; ++i) {
    const int t = engine.AddTask(i == 5 ? gone : MediaPath("no_audio_packets.mkv"));
    ASSERT_EQ(t, i) << engine.LastErrMsg();
    ASSERT_TRUE(engine.SetOutputFile(t, dir.file(std::to_string(i) + ".mp4"), picture)) << engine.LastErrMsg();
    ASSERT_TRUE(std::filesystem::exists(dir.file(std::to_string(i) + ".mp4")));
  }
  EXPECT_EQ(openFiles(), before);
  std::filesystem::remove(gone);
  engine.StartTask(0);
  ASSERT_EQ(ends.size(), size_t(kTasks));
  for (const auto& [index, info] : ends) {
    SCOPED_TRACE(index);
    const std::string out = dir.file(std::to_string(index) + ".mp4");
    if (index == 5) {
      EXPECT_TRUE(info.Exception);
      EXPECT_NE(info.ExceptionMsg.find("No such file or directory"), std::string::npos) << info.ExceptionMsg;
      EXPECT_FALSE(std::filesystem::exists(out));
    } else {
      EXPECT_TRUE(info.Finished) << info.ExceptionMsg;
      EXPECT_EQ(First(FfprobeValue(out, "stream=codec_name", "v:0")), "mpeg4");
    }
  }
}
