// Target presets: everything a disc or camcorder format requires, set in one step before the
// output is opened.
#include <cmath>

#include "engine/transcoder/transcoder.h"
#include "media/errors.h"
#include "media/logger.h"

namespace {

constexpr int kPal = 0;
constexpr int kNtsc = 1;
constexpr int kFilm = 2;

int NormIndex(const std::string& norm) {
  if (norm == "pal") return kPal;
  if (norm == "ntsc") return kNtsc;
  if (norm == "film") return kFilm;
  return -1;
}

// 25000 for 25 fps, 29970 for 30000/1001 and so on.
long RateCode(AVRational rate) { return std::lround(double(rate.num) * 1000.0 / rate.den); }

}  // namespace

void TTranscoder::SetTarget(const std::string& type, const std::string& norm, const std::string& fallbackNorm) {
  TOptionState& o = Opt;
  int n = NormIndex(norm);
  if (n < 0) {
    // Automatic: from the frame rate option, then from the opened inputs' video streams.
    if (o.FrameRate.den == 0) throw FFmpegException("frame_rate is invalid.");
    const long r = RateCode(o.FrameRate);
    if (r == 25000)
      n = kPal;
    else if (r == 29970 || r == 23976)
      n = kNtsc;
    for (size_t f = 0; n < 0 && f < inputs_.size(); ++f) {
      AVFormatContext* ic = inputs_[f]->Ctx.get();
      for (unsigned i = 0; n < 0 && i < ic->nb_streams; ++i) {
        const AVStream* st = ic->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        const AVRational rate = inputs_[f]->Streams[i].RealFrameRate;
        if (rate.num <= 0 || rate.den <= 0) continue;
        const long code = RateCode(rate);
        if (code == 25000)
          n = kPal;
        else if (code == 29970 || code == 23976)
          n = kNtsc;
      }
    }
    if (n < 0) n = fallbackNorm == "film" ? kFilm : fallbackNorm == "ntsc" ? kNtsc : kPal;
    if (o.Verbose > 0) GetFFLogger().LogFmt(this, llVerbose, "Assuming %s for target.", n == kPal ? "PAL" : "NTSC");
  }
  const bool pal = n == kPal;
  const char* rate = pal ? "25" : n == kNtsc ? "30000/1001" : "24000/1001";

  auto option = [&](const char* name, const std::string& value) { ParseOption(name, value); };
  auto generic = [&](const char* name, const std::string& value) {
    if (!SetGenericOption(name, value))
      throw FFmpegException(StrFormat("Invalid value \"%s\" for option \"%s\"", value.c_str(), name));
  };
  auto aspect = [&](double value, const char* text) {
    if (o.FrameAspectRatio == 0.0) {
      GetFFLogger().LogFmt(this, llInfo, "Assuming %s for aspect ratio", text);
      o.FrameAspectRatio = value;
    }
  };

  if (type == "vcd") {
    option("vcodec", "mpeg1video");
    option("acodec", "mp2");
    option("f", "vcd");
    option("s", pal ? "352x288" : "352x240");
    option("pix_fmt", "yuv420p");  // the players decode 4:2:0 only
    option("r", rate);
    generic("g", pal ? "15" : "18");
    generic("b", "1150000");
    generic("maxrate", "1150000");
    generic("minrate", "1150000");
    generic("bufsize", "327680");
    generic("ab", "224000");
    o.AudioSampleRate = 44100;
    o.AudioChannels = 2;
    generic("packetsize", "2324");
    generic("muxrate", "1411200");
    o.MuxPreload = 0.44;
    aspect(4.0 / 3.0, "4:3");
  } else if (type == "svcd") {
    option("vcodec", "mpeg2video");
    option("acodec", "mp2");
    option("f", "svcd");
    option("s", pal ? "480x576" : "480x480");
    option("pix_fmt", "yuv420p");  // the players decode 4:2:0 only
    option("r", rate);
    generic("g", pal ? "15" : "18");
    generic("b", "2040000");
    generic("maxrate", "2516000");
    generic("minrate", "0");
    generic("bufsize", "1835008");
    if (!SetGenericOption("flags", "+scan_offset")) generic("scan_offset", "1");
    generic("ab", "224000");
    o.AudioSampleRate = 44100;
    if (o.AudioChannels == 1) o.AudioChannels = 2;
    generic("packetsize", "2324");
    aspect(4.0 / 3.0, "4:3");
  } else if (type == "dvd") {
    option("vcodec", "mpeg2video");
    option("acodec", "ac3");
    option("f", "dvd");
    option("s", pal ? "720x576" : "720x480");
    option("pix_fmt", "yuv420p");  // the players decode 4:2:0 only
    option("r", rate);
    generic("g", pal ? "15" : "18");
    generic("b", "6000000");
    generic("maxrate", "9000000");
    generic("minrate", "0");
    generic("bufsize", "1835008");
    generic("ab", "448000");
    o.AudioSampleRate = 48000;
    if (o.AudioChannels == 1) o.AudioChannels = 2;
    generic("packetsize", "2048");
    generic("muxrate", "10080000");
    aspect(16.0 / 9.0, "16:9");
  } else if (type == "dv" || type == "dv50") {
    option("f", "dv");
    option("s", pal ? "720x576" : "720x480");
    option("pix_fmt", type == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
    option("r", rate);
    o.AudioSampleRate = 48000;
    o.AudioChannels = 2;
  } else {
    throw FFmpegException("Unknown target type");
  }
}
