// orvane-bench: converts one file through the conversion engine with options given on the
// command line, the way the desktop program runs a task (a worker thread, main-thread calls
// drained here). Used by run-bench.sh to compare the engine with the ffmpeg command.
//
//   orvane-bench [options] INPUT OUTPUT
//     --vcodec NAME  --acodec NAME   encoders ("copy" copies the stream)
//     --size WxH                     output picture size
//     --vb BITS  --ab BITS           video and audio bit rates in bit/s
//     --ar RATE  --ac CHANNELS       audio sample rate and channel count
//     --vpre NAME                    a built-in video encoder preset (e.g. libx264-mp4)
//     --format NAME                  output container (default: from the file name)
//     --duration SECONDS             convert only the first SECONDS of the input
//     --ext NAME=VALUE               a further engine option (may be repeated)
//     --hook                         run the colour lookup on every picture (OnCustomHook)
//     --hook-mode MODE               what the hook does: "lut" (the default), "touch" (leaves
//                                    the picture as it is but lets the engine take it back) or
//                                    "keep" (sets Update false: no conversion back)
//     --hook-stats                   print the number of hook calls and the time spent in the
//                                    handler to stderr
//     --loglevel NAME                library and engine messages to stderr (default: error)
//     --lut-filter                   print the ffmpeg filter doing the same colour lookup, exit
//
// Exit status 0 when the conversion finished; 1 with the engine's message on stderr otherwise;
// 2 for usage errors.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "media/dispatcher.h"
#include "media/loader.h"
#include "media/logger.h"

namespace {

// The colour lookup: one curve per channel, out = trunc(255 * (in / 255) ^ gamma), the same
// formula and rounding as ffmpeg's lutrgb filter with the expression kLutExpr prints.
constexpr double kGammaRed = 0.8;
constexpr double kGammaGreen = 0.9;
constexpr double kGammaBlue = 1.25;

struct TColourLut {
  uint8_t Blue[256], Green[256], Red[256];
  TColourLut() {
    for (int v = 0; v < 256; ++v) {
      Blue[v] = Curve(v, kGammaBlue);
      Green[v] = Curve(v, kGammaGreen);
      Red[v] = Curve(v, kGammaRed);
    }
  }
  static uint8_t Curve(int v, double gamma) {
    const double r = 255.0 * std::pow(v / 255.0, gamma);
    return uint8_t(std::clamp(int(r), 0, 255));
  }
  // Every pixel of the 24-bit BGR picture, in place.
  void Apply(TBitmap24& bmp) const {
    for (int y = 0; y < bmp.Height; ++y) {
      uint8_t* p = bmp.Row(y);
      uint8_t* const end = p + size_t(bmp.Width) * 3;
      for (; p != end; p += 3) {
        p[0] = Blue[p[0]];
        p[1] = Green[p[1]];
        p[2] = Red[p[2]];
      }
    }
  }
};

std::string LutFilter() {
  char text[256];
  std::snprintf(text, sizeof text,
                "lutrgb=r='255*pow(val/255\\,%g)':g='255*pow(val/255\\,%g)':b='255*pow(val/255\\,%g)'", kGammaRed,
                kGammaGreen, kGammaBlue);
  return text;
}

[[noreturn]] void Usage(const std::string& problem) {
  std::fprintf(stderr,
               "orvane-bench: %s\n"
               "usage: orvane-bench [--vcodec NAME] [--acodec NAME] [--size WxH] [--vb BITS] [--ab BITS]\n"
               "                    [--ar RATE] [--ac N] [--vpre NAME] [--format NAME] [--duration SECONDS]\n"
               "                    [--ext NAME=VALUE]... [--hook] [--hook-mode lut|touch|keep] [--hook-stats]\n"
               "                    [--loglevel NAME] INPUT OUTPUT\n"
               "       orvane-bench --lut-filter\n",
               problem.c_str());
  std::exit(2);
}

// A whole decimal number in [lo, hi].
int32_t ParseInt(const std::string& option, const std::string& text, long long lo, long long hi) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi)
    Usage(option + " needs a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) + ", not \"" +
          text + "\"");
  return int32_t(v);
}

double ParseSeconds(const std::string& option, const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v) || v <= 0 || v > 1e9)
    Usage(option + " needs a positive number of seconds, not \"" + text + "\"");
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  TOutputOptions out;
  std::string input, output, logLevel = "error";
  bool hook = false, hookStats = false;
  std::string hookMode = "lut";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(a + " needs a value");
      return argv[++i];
    };
    if (a == "--vcodec")
      out.VideoCodec = value();
    else if (a == "--acodec")
      out.AudioCodec = value();
    else if (a == "--size")
      out.FrameSize = value();
    else if (a == "--vb")
      out.VideoBitrate = ParseInt(a, value(), 1, INT32_MAX);
    else if (a == "--ab")
      out.AudioBitrate = ParseInt(a, value(), 1, INT32_MAX);
    else if (a == "--ar")
      out.AudioSampleRate = ParseInt(a, value(), 1, INT32_MAX);
    else if (a == "--ac")
      out.AudioChannels = ParseInt(a, value(), 1, 64);
    else if (a == "--vpre")
      out.VideoPreset = value();
    else if (a == "--format")
      out.FileFormat = value();
    else if (a == "--duration")
      out.Duration = int64_t(std::llround(ParseSeconds(a, value()) * 1e6));
    else if (a == "--ext") {
      if (!out.ExtOptions.empty()) out.ExtOptions += '\n';
      out.ExtOptions += value();
    } else if (a == "--hook")
      hook = true;
    else if (a == "--hook-mode") {
      hookMode = value();
      hook = true;
      if (hookMode != "lut" && hookMode != "touch" && hookMode != "keep")
        Usage("--hook-mode is lut, touch or keep, not \"" + hookMode + "\"");
    } else if (a == "--hook-stats")
      hookStats = true;
    else if (a == "--loglevel")
      logLevel = value();
    else if (a == "--lut-filter") {
      std::printf("%s\n", LutFilter().c_str());
      return 0;
    } else if (a.size() > 1 && a[0] == '-')
      Usage("unknown option " + a);
    else if (input.empty())
      input = a;
    else if (output.empty())
      output = a;
    else
      Usage("more than one input and one output given");
  }
  if (input.empty() || output.empty()) Usage("an input and an output file are needed");
  out.CustomHook = hook;

  // Messages go straight to stderr from whichever thread raises them.
  TFFLogger& logger = GetFFLogger();
  try {
    logger.SetLogLevelByName(logLevel);
  } catch (const std::exception&) {
    Usage("unknown log level \"" + logLevel + "\"");
  }
  // The engine may raise the collector's level while it sets up a task: the handler keeps to
  // the level asked for here.
  const TLogLevel shown = logger.LogLevel();
  logger.SetTriggerEventInMainThread(false);
  logger.SetOnLog([shown](const void*, uint32_t, TLogLevel level, const std::string& msg) {
    if (level > shown) return;
    std::fprintf(stderr, "[%s] %s%s", LogLevelName(level), msg.c_str(), !msg.empty() && msg.back() == '\n' ? "" : "\n");
  });

  TConvertEngine engine;
  if (!engine.LoadAVLib("")) {
    std::fprintf(stderr, "orvane-bench: the codec libraries cannot be loaded: %s\n", engine.LastErrMsg().c_str());
    return 1;
  }
  const int index = engine.AddTask(input, TInputOptions());
  if (index < 0) {
    std::fprintf(stderr, "orvane-bench: %s\n", engine.LastErrMsg().c_str());
    return 1;
  }
  if (!engine.SetOutputFile(index, output, out)) {
    std::fprintf(stderr, "orvane-bench: %s\n", engine.LastErrMsg().c_str());
    return 1;
  }

  const TColourLut lut;
  int64_t hookCalls = 0;
  std::chrono::steady_clock::duration hookTime{};
  if (hook)
    engine.SetOnCustomHook([&](TCustomConvertEngine*, PHookInfo info) {
      const auto start = std::chrono::steady_clock::now();
      if (hookMode == "keep")
        info->Update = false;
      else if (hookMode == "lut" && info->Bitmap)
        lut.Apply(*info->Bitmap);
      hookTime += std::chrono::steady_clock::now() - start;
      ++hookCalls;
    });

  // The end notices arrive on notice threads; the task's record is copied before the run's.
  std::atomic<bool> runEnded{false};
  TTerminateInfo result;
  bool haveResult = false;
  engine.SetOnTerminate([&](TCustomConvertEngine*, const TTerminateInfo* info) {
    if (info->TaskIndex == index) {
      result = *info;
      haveResult = true;
    } else if (info->TaskIndex < 0) {
      runEnded = true;
    }
  });
  engine.StartTask(1);
  while (!runEnded) HeadlessDispatcher().WaitAndProcess(50);
  engine.SetOnTerminate(nullptr);
  engine.SetOnCustomHook(nullptr);
  engine.ClearTasks();
  logger.SetOnLog(nullptr);

  if (hookStats)
    std::fprintf(stderr, "orvane-bench: %lld hook calls, %.1f ms in the handler\n", (long long)hookCalls,
                 std::chrono::duration<double, std::milli>(hookTime).count());
  if (!haveResult) {
    std::fprintf(stderr, "orvane-bench: the conversion ended without a result\n");
    return 1;
  }
  if (result.Exception || !result.Finished) {
    std::fprintf(stderr, "orvane-bench: %s\n",
                 result.Exception
                     ? (result.ExceptionMsg.empty() ? "the conversion failed" : result.ExceptionMsg.c_str())
                     : "the conversion was stopped");
    return 1;
  }
  return 0;
}
