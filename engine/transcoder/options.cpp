#include "media/utils.h"
#include "engine/transcoder/options.h"

#include <strings.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/transcoder/presets.h"
#include "media/errors.h"
#include "media/logger.h"

namespace fs = std::filesystem;

namespace {

constexpr uintmax_t kMaxPresetFileSize = 1 << 20;
constexpr size_t kMaxHookWords = 254;

std::string Trim(const std::string& s) { return TrimText(s); }

[[noreturn]] void Fail(const std::string& msg) { throw FFmpegException(msg); }

[[noreturn]] void FailValue(const std::string& name, const std::string& value) {
  Fail(StrFormat("Invalid value \"%s\" for option \"%s\"", value.c_str(), name.c_str()));
}

// Boolean options: "0" is false, any other text (also empty) true.
bool ToBool(const std::string& v) { return Trim(v) != "0"; }

// Strict decimal conversion of the whole (trimmed) text.
template <typename T>
T ToInteger(const std::string& value) {
  std::string v = Trim(value);
  const char* b = v.data();
  const char* e = b + v.size();
  if (b != e && *b == '+') ++b;
  T out{};
  auto [ptr, ec] = std::from_chars(b, e, out, 10);
  if (b == e || ec != std::errc() || ptr != e) Fail(StrFormat("'%s' is not a valid integer value", value.c_str()));
  return out;
}
int32_t ToInt(const std::string& v) { return ToInteger<int32_t>(v); }
int64_t ToInt64(const std::string& v) { return ToInteger<int64_t>(v); }

double ToFloat(const std::string& value) {
  std::string v = Trim(value);
  const char* b = v.data();
  const char* e = b + v.size();
  if (b != e && *b == '+') ++b;
  double out = 0;
  auto [ptr, ec] = std::from_chars(b, e, out, std::chars_format::general);
  if (b == e || ec != std::errc() || ptr != e || !std::isfinite(out))
    Fail(StrFormat("'%s' is not a valid floating point value", value.c_str()));
  return out;
}

// The library's date parser: duration mode for "t", "ss", "itsoffset", date mode for "timestamp".
int64_t ParseTime(const std::string& name, const std::string& value, bool duration) {
  int64_t us = 0;
  if (ff::av_parse_time(&us, value.c_str(), duration ? 1 : 0) < 0)
    Fail(StrFormat("Invalid %s specification for %s: %s", duration ? "duration" : "date", name.c_str(), value.c_str()));
  return us;
}

// One C integer (base prefixes allowed) at p; p moves past it. False when no digits.
bool ReadCInt(const char*& p, long long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtoll(p, &end, 0);
  if (end == p || errno == ERANGE || out < INT32_MIN || out > INT32_MAX) return false;
  p = end;
  return true;
}

uint32_t FourCC(const std::string& v) {
  return uint32_t(uint8_t(v[0])) | uint32_t(uint8_t(v[1])) << 8 | uint32_t(uint8_t(v[2])) << 16 |
         uint32_t(uint8_t(v[3])) << 24;
}

std::string ProgramFolder() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  std::string dir = ec ? fs::current_path(ec).string() : exe.parent_path().string();
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

// 64 comma-separated quantiser coefficients (1..255 each).
std::vector<uint16_t> ParseMatrix(const std::string& text) {
  std::vector<uint16_t> m(kMatrixCoefficients, 0);
  size_t pos = 0;
  for (int i = 0; i < kMatrixCoefficients; ++i) {
    size_t comma = text.find(',', pos);
    if (i < kMatrixCoefficients - 1 && comma == std::string::npos)
      Fail(StrFormat("Syntax error in matrix \"%s\" at coeff %d", text.c_str(), i));
    if (i == kMatrixCoefficients - 1 && comma != std::string::npos)
      Fail(StrFormat("Syntax error in matrix \"%s\" at coeff %d", text.c_str(), i));
    std::string item = Trim(text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    int v = 0;
    auto [ptr, ec] = std::from_chars(item.data(), item.data() + item.size(), v, 10);
    if (item.empty() || ec != std::errc() || ptr != item.data() + item.size() || v < 1 || v > 255)
      Fail(StrFormat("Invalid coefficient \"%s\" in matrix \"%s\" at coeff %d", item.c_str(), text.c_str(), i));
    m[i] = uint16_t(v);
    pos = comma == std::string::npos ? text.size() : comma + 1;
  }
  return m;
}

// Text to lines: line breaks normalised, each line trimmed, empty lines dropped.
std::vector<std::string> PresetLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n' || text[i] == '\r') {
      line = Trim(line);
      if (!line.empty()) lines.push_back(line);
      line.clear();
    } else {
      line += text[i];
    }
  }
  return lines;
}

void LogInfo(const void* sender, const std::string& msg) { GetFFLogger().Log(sender, llInfo, msg); }

}  // namespace

// The handlers of the dispatcher, in the order the names are tried.
struct TOptionHandlers {
  using Fn = void (*)(TTranscoderOptions& t, const std::string& name, const std::string& value);
  struct Entry {
    const char* Name;
    Fn Handler;
  };

  static void Nothing(TTranscoderOptions& t, const std::string& name, const std::string&) {
    LogInfo(&t, "Do nothing: option - " + name);
  }

  static void Codec(bool& copy, std::string& codec, const std::string& value) {
    if (value == "copy")
      copy = true;
    else
      codec = value;
  }

  static void Tag(uint32_t& tag, const char* kind, const std::string& value) {
    if (value.size() != 4) Fail(StrFormat("%s tag parameter must be 4 chars", kind));
    tag = FourCC(value);
  }

  static void BitRate(TTranscoderOptions& t, const std::string& name, const std::string& value) {
    if (!t.SetGenericOption(name, value)) return;
    const AVMediaType type = name == "ab" ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
    if (t.Holder.CodecContexts[type]->bit_rate < 1000)
      GetFFLogger().Log(&t, llWarning,
                        "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
  }

  // A crop of one edge. A second crop of the same edge replaces the first.
  static void Crop(TTranscoderOptions& t, int32_t& band, int32_t& size, bool vertical, const std::string& value) {
    const int32_t v = ToInt(value);
    if (v <= 0) return;
    const int32_t uncut = size + band;
    if (v >= uncut)
      Fail(
          StrFormat("%s crop dimensions are outside the range of the original image.\nRemember to crop first and "
                    "scale second.",
                    vertical ? "Vertical" : "Horizontal"));
    GetFFLogger().Log(&t, llWarning, "CropXXX is deprecated in favor of the crop avfilter");
    band = v;
    size = uncut - v;
  }

  static void Aspect(TTranscoderOptions& t, const std::string& value) {
    double ar = 0.0;
    const size_t colon = value.find(':');
    auto number = [](const std::string& s) {
      try {
        return ToFloat(s);
      } catch (const FFmpegException&) {
        return 0.0;
      }
    };
    if (colon != std::string::npos) {
      const double w = number(value.substr(0, colon)), h = number(value.substr(colon + 1));
      ar = h > 0 ? w / h : 0.0;
    } else {
      ar = number(value);
    }
    // A negative ratio is as meaningless as 0.
    if (!(ar > 0.0) || !std::isfinite(ar)) Fail("Incorrect aspect ratio specification.");
    t.Opt.FrameAspectRatio = ar;
  }

  static void Map(TTranscoderOptions& t, const std::string& name, const std::string& value) {
    if (t.Opt.StreamMaps.size() >= size_t(kMaxStreamMaps))
      Fail(StrFormat("Too many stream maps (at most %d)", kMaxStreamMaps));
    const char* p = value.c_str();
    long long f = 0, s = 0, sf = 0, ss = 0;
    if (!ReadCInt(p, f)) FailValue(name, value);
    if (*p) ++p;
    if (!ReadCInt(p, s)) FailValue(name, value);
    if (*p) {
      ++p;
      if (!ReadCInt(p, sf)) FailValue(name, value);
      if (*p) ++p;
      if (!ReadCInt(p, ss) || *p) FailValue(name, value);
    } else {
      sf = f;
      ss = s;
    }
    if (f < 0 || s < 0 || sf < 0 || ss < 0) FailValue(name, value);
    t.Opt.StreamMaps.push_back({int32_t(f), int32_t(s), int32_t(sf), int32_t(ss)});
  }

  static void MapMetaData(TTranscoderOptions& t, const std::string& name, const std::string& value) {
    const char* p = value.c_str();
    long long out = 0, in = 0;
    if (!ReadCInt(p, out)) FailValue(name, value);
    if (*p) ++p;
    if (!ReadCInt(p, in) || *p || out < 0 || in < 0) FailValue(name, value);
    t.Opt.MetaDataMaps.push_back({int32_t(out), int32_t(in)});
  }

  static void TsScale(TTranscoderOptions& t, const std::string& name, const std::string& value) {
    const char* p = value.c_str();
    long long stream = 0;
    if (!ReadCInt(p, stream) || !*p) FailValue(name, value);
    ++p;
    const double scale = ToFloat(p);
    if (stream < 0 || stream >= kMaxStreams) Fail(StrFormat("stream index over MAX_STREAMS(%d)", kMaxStreams));
    if (scale < 0) FailValue(name, value);
    t.Opt.InputTsScale[size_t(stream)] = scale;
  }

  static void StreamId(TTranscoderOptions& t, const std::string& name, const std::string& value) {
    const size_t colon = value.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == value.size())
      Fail(StrFormat("Invalid value \"%s\" for option \"%s\", required syntax is \"index:value\"", value.c_str(),
                     name.c_str()));
    const int32_t index = ToInt(value.substr(0, colon));
    const int32_t id = ToInt(value.substr(colon + 1));
    if (index < 0 || index >= kMaxStreams) Fail(StrFormat("stream index over MAX_STREAMS(%d)", kMaxStreams));
    if (id < 0) FailValue(name, value);
    if (t.Opt.StreamIdMap.size() <= size_t(index)) t.Opt.StreamIdMap.resize(size_t(index) + 1, 0);
    t.Opt.StreamIdMap[size_t(index)] = id;
  }

  static void Metadata(TTranscoderOptions& t, const std::string& value) {
    const size_t eq = value.find('=');
    if (eq == std::string::npos) Fail("Missing =");
    t.Opt.Metadata.push_back({value.substr(0, eq), value.substr(eq + 1)});
  }

  static void Target(TTranscoderOptions& t, const std::string& value) {
    static const char* const kNorms[] = {"pal", "ntsc", "film"};
    for (const char* norm : kNorms) {
      const std::string prefix = std::string(norm) + "-";
      if (value.compare(0, prefix.size(), prefix) == 0) {
        t.SetTarget(value.substr(prefix.size()), norm, "ntsc");
        return;
      }
    }
    t.SetTarget(value, "auto", "ntsc");
  }

  static void VideoHook(TTranscoderOptions& t, const std::string& value) {
    const char sep = value.find('|') != std::string::npos ? '|' : ' ';
    std::vector<std::string> words;
    std::string word;
    for (size_t i = 0; i <= value.size(); ++i) {
      if (i == value.size() || value[i] == sep || (sep == ' ' && value[i] == '\t')) {
        if (!word.empty()) words.push_back(word);
        word.clear();
      } else {
        word += value[i];
      }
    }
    if (words.empty() || words.size() > kMaxHookWords || !t.AddVideoHook(words))
      Fail("Failed to add video hook function: " + value);
    t.Opt.UsesHookModules = true;
  }

  static void NewStream(TTranscoderOptions& t, AVMediaType type) {
    if (t.OutputFileCount() <= 0) Fail("At least one output file must be specified");
    t.NewStream(type);
  }

  static void Bsf(std::vector<const AVBitStreamFilter*>& chain, const std::string& value) {
    if (!value.empty() && value[0] == '=') return;
    const std::string trimmed = Trim(value);
    const std::string filterName = Trim(trimmed.substr(0, trimmed.find('=')));
    const AVBitStreamFilter* f = filterName.empty() ? nullptr : ff::av_bsf_get_by_name(filterName.c_str());
    if (!f) Fail(StrFormat("Unknown bitstream filter %s", trimmed.c_str()));
    chain.push_back(f);
  }

  static void PixFmt(TTranscoderOptions& t, const std::string& value) {
    if (value == "list") {
      for (const AVPixFmtDescriptor* d = ff::av_pix_fmt_desc_next(nullptr); d; d = ff::av_pix_fmt_desc_next(d))
        LogInfo(&t, d->name);
      return;
    }
    const AVPixelFormat f = ff::av_get_pix_fmt(value.c_str());
    if (f == AV_PIX_FMT_NONE) Fail(StrFormat("Unknown pixel format requested: %s", value.c_str()));
    t.Opt.FramePixFmt = f;
  }

  static void SampleFmt(TTranscoderOptions& t, const std::string& value) {
    if (value == "list") {
      for (int i = 0; i < AV_SAMPLE_FMT_NB; ++i)
        if (const char* n = ff::av_get_sample_fmt_name(AVSampleFormat(i))) LogInfo(&t, n);
      return;
    }
    const AVSampleFormat f = ff::av_get_sample_fmt(value.c_str());
    if (f == AV_SAMPLE_FMT_NONE) Fail(StrFormat("Unknown sample format requested: %s", value.c_str()));
    t.Opt.AudioSampleFmt = f;
  }

  static void VStats(TTranscoderOptions& t) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char hms[16];
    std::strftime(hms, sizeof hms, "%H%M%S", &local);
    t.Opt.VStatsFileName = StrFormat("%svstats_%s.log", ProgramFolder().c_str(), hms);
  }

// The option table is laid out by hand, one option (or a few short ones) a line.
// clang-format off
#define OPT(name) []([[maybe_unused]] TTranscoderOptions & t, [[maybe_unused]] const std::string& n, [[maybe_unused]] const std::string& v)
#define O t.Opt
  static const std::vector<Entry>& Table() {
    static const std::vector<Entry> table = {
        // 1. Informational names of a command line.
        {"L", Nothing}, {"h", Nothing}, {"version", Nothing}, {"formats", Nothing}, {"codecs", Nothing},
        {"bsfs", Nothing}, {"protocols", Nothing}, {"filters", Nothing}, {"i", Nothing}, {"y", Nothing},
        {"benchmark", Nothing},
        // 2.
        {"loglevel", OPT(loglevel) {
           try {
             GetFFLogger().SetLogLevelByName(Trim(v));
           } catch (const std::exception&) {
             FailValue(n, v);
           }
         }},
        // 3.
        {"f", OPT(f) {
           if (v == "pgmyuv") {
             O.FileFormat = "image2";
             O.PgmyuvCompat = true;
             LogInfo(&t, "pgmyuv format is deprecated, use image2");
           } else {
             O.FileFormat = v;
           }
         }},
        // 4. Maps and times.
        {"map", Map},
        {"map_meta_data", MapMetaData},
        {"t", OPT(t) { O.RecordingTime = O.TotalDuration = ParseTime(n, v, true); }},
        {"fs", OPT(fs) { O.LimitFileSize = ToInt64(v); }},
        {"ss", OPT(ss) { O.StartTime = ParseTime(n, v, true); }},
        {"itsoffset", OPT(itsoffset) { O.InputTsOffset = ParseTime(n, v, true); }},
        {"itsscale", TsScale},
        {"timestamp", OPT(timestamp) { O.RecTimestamp = std::llround(double(ParseTime(n, v, false)) / 1000000.0); }},
        {"metadata", OPT(metadata) { Metadata(t, v); }},
        {"dframes", OPT(dframes) { O.DataMaxFrames = ToInt(v); }},
        // 5.
        {"timelimit", OPT(timelimit) {
           GetFFLogger().Log(&t, llWarning, "Warning: -timelimit is not supported by this program");
         }},
        // 6.
        {"dump", OPT(dump) { O.DoDumpPackets = ToBool(v); }},
        {"hex", OPT(hex) { O.DoHexDump = ToBool(v); }},
        {"re", OPT(re) { O.RateEmulation = ToBool(v); }},
        {"loop_input", OPT(loop_input) { O.LoopInput = ToBool(v); }},
        {"loop_output", OPT(loop_output) { O.LoopOutput = ToInt(v); }},
        {"v", OPT(v) { O.Verbose = ToInt(v); }},
        {"target", OPT(target) { Target(t, v); }},
        // 7. The thread count is fixed.
        {"threads", OPT(threads) { Fail("TODO: option - " + n); }},
        // 8. Synchronisation.
        {"vsync", OPT(vsync) { O.VideoSyncMethod = ToInt(v); }},
        {"async", OPT(async) { O.AudioSyncMethod = ToInt(v); }},
        {"adrift_threshold", OPT(adrift_threshold) { O.AudioDriftThreshold = ToFloat(v); }},
        {"vglobal", OPT(vglobal) { O.VideoGlobalHeader = ToInt(v); }},
        {"copyts", OPT(copyts) { O.CopyTs = true; }},
        {"shortest", OPT(shortest) { O.OptShortest = ToBool(v); }},
        {"dts_delta_threshold", OPT(dts_delta_threshold) { O.DtsDeltaThreshold = ToFloat(v); }},
        {"programid", OPT(programid) { O.ProgramId = ToInt(v); }},
        {"xerror", OPT(xerror) { O.ExitOnError = true; }},
        {"copyinkf", OPT(copyinkf) { O.CopyInitialNonKeyframes = ToInt(v); }},
        // 9. Video.
        {"b", BitRate},
        {"vb", BitRate},
        {"vframes", OPT(vframes) { O.VideoMaxFrames = ToInt(v); }},
        {"r", OPT(r) {
           AVRational rate{0, 0};
           if (ff::av_parse_video_rate(&rate, v.c_str()) < 0) Fail("Incorrect frame rate");
           O.FrameRate = rate;
         }},
        {"s", OPT(s) {
           int w = 0, h = 0;
           if (ff::av_parse_video_size(&w, &h, v.c_str()) < 0) Fail("Incorrect frame size");
           O.FrameWidth = w;
           O.FrameHeight = h;
         }},
        {"aspect", OPT(aspect) { Aspect(t, v); }},
        {"pix_fmt", OPT(pix_fmt) { PixFmt(t, v); }},
        {"croptop", OPT(croptop) { Crop(t, O.FrameTopBand, O.FrameHeight, true, v); }},
        {"cropbottom", OPT(cropbottom) { Crop(t, O.FrameBottomBand, O.FrameHeight, true, v); }},
        {"cropleft", OPT(cropleft) { Crop(t, O.FrameLeftBand, O.FrameWidth, false, v); }},
        {"cropright", OPT(cropright) { Crop(t, O.FrameRightBand, O.FrameWidth, false, v); }},
        {"padtop", OPT(padtop) { Fail("Please use vfilters=pad"); }},
        {"padbottom", OPT(padbottom) { Fail("Please use vfilters=pad"); }},
        {"padleft", OPT(padleft) { Fail("Please use vfilters=pad"); }},
        {"padright", OPT(padright) { Fail("Please use vfilters=pad"); }},
        {"padcolor", OPT(padcolor) { Fail("Please use vfilters=pad"); }},
        {"intra", OPT(intra) { O.IntraOnly = ToBool(v); }},
        {"vn", OPT(vn) { O.VideoDisable = ToBool(v); }},
        {"vdt", OPT(vdt) { O.VideoDiscard = ToInt(v); }},
        {"qscale", OPT(qscale) {
           const double q = ToFloat(v);
           if (!(q > 0.0 && q <= 255.0)) Fail("qscale must be > 0.0 and <= 255");
           O.VideoQScale = q;
         }},
        {"rc_override", OPT(rc_override) { O.VideoRcOverride = v; }},
        {"vcodec", OPT(vcodec) { Codec(O.VideoStreamCopy, O.VideoCodecName, v); }},
        {"me_threshold", OPT(me_threshold) { O.MeThreshold = ToInt(v); }},
        {"sameq", OPT(sameq) { O.SameQuality = ToBool(v); }},
        {"pass", OPT(pass) {
           const int32_t pass = ToInt(v);
           if (pass != 1 && pass != 2) Fail("pass number can be only 1 or 2");
           O.DoPass = pass;
         }},
        {"passlogfile", OPT(passlogfile) { O.PassLogFileName = v; }},
        {"deinterlace", OPT(deinterlace) { O.DoDeinterlace = ToBool(v); }},
        {"psnr", OPT(psnr) { O.DoPsnr = ToBool(v); }},
        {"vstats", OPT(vstats) { VStats(t); }},
        {"vstats_file", OPT(vstats_file) { O.VStatsFileName = v; }},
        {"vhook", OPT(vhook) { VideoHook(t, v); }},
        {"vfilters", OPT(vfilters) { O.VideoFilters = v; }},
        {"vf", OPT(vf) { O.VideoFilters = v; }},
        {"intra_matrix", OPT(intra_matrix) { O.IntraMatrix = ParseMatrix(v); }},
        {"inter_matrix", OPT(inter_matrix) { O.InterMatrix = ParseMatrix(v); }},
        {"top", OPT(top) { O.TopFieldFirst = ToInt(v); }},
        {"dc", OPT(dc) { O.IntraDcPrecision = ToInt(v); }},
        {"vtag", OPT(vtag) { Tag(O.VideoCodecTag, "video", v); }},
        {"newvideo", OPT(newvideo) { NewStream(t, AVMEDIA_TYPE_VIDEO); }},
        {"vlang", OPT(vlang) { O.VideoLanguage = v; }},
        {"qphist", OPT(qphist) { O.QpHistogram = ToBool(v); }},
        {"force_fps", OPT(force_fps) { O.ForceFps = ToBool(v); }},
        {"streamid", StreamId},
        // 10. Audio.
        {"ab", BitRate},
        {"aframes", OPT(aframes) { O.AudioMaxFrames = ToInt(v); }},
        {"aq", OPT(aq) { O.AudioQScale = ToFloat(v); }},
        {"ar", OPT(ar) { O.AudioSampleRate = ToInt(v); }},
        {"ac", OPT(ac) { O.AudioChannels = ToInt(v); }},
        {"an", OPT(an) { O.AudioDisable = ToBool(v); }},
        {"acodec", OPT(acodec) { Codec(O.AudioStreamCopy, O.AudioCodecName, v); }},
        {"atag", OPT(atag) { Tag(O.AudioCodecTag, "audio", v); }},
        {"vol", OPT(vol) { O.AudioVolume = ToInt(v); }},
        {"newaudio", OPT(newaudio) { NewStream(t, AVMEDIA_TYPE_AUDIO); }},
        {"alang", OPT(alang) { O.AudioLanguage = v; }},
        {"sample_fmt", OPT(sample_fmt) { SampleFmt(t, v); }},
        // 11. Subtitles.
        {"sn", OPT(sn) { O.SubtitleDisable = ToBool(v); }},
        {"scodec", OPT(scodec) { Codec(O.SubtitleStreamCopy, O.SubtitleCodecName, v); }},
        {"newsubtitle", OPT(newsubtitle) { NewStream(t, AVMEDIA_TYPE_SUBTITLE); }},
        {"slang", OPT(slang) { O.SubtitleLanguage = v; }},
        {"stag", OPT(stag) { Tag(O.SubtitleCodecTag, "subtitle", v); }},
        // 12. Capture and muxing.
        {"vc", OPT(vc) { O.VideoChannel = ToInt(v); }},
        {"tvstd", OPT(tvstd) { O.VideoStandard = v; }},
        {"isync", OPT(isync) { O.InputSync = ToBool(v); }},
        {"muxdelay", OPT(muxdelay) { O.MuxMaxDelay = ToFloat(v); }},
        {"muxpreload", OPT(muxpreload) { O.MuxPreload = ToFloat(v); }},
        // 13. Bitstream filters and presets.
        {"absf", OPT(absf) { Bsf(O.AudioBitstreamFilters, v); }},
        {"vbsf", OPT(vbsf) { Bsf(O.VideoBitstreamFilters, v); }},
        {"sbsf", OPT(sbsf) { Bsf(O.SubtitleBitstreamFilters, v); }},
        {"apre", OPT(apre) { t.LoadPreset(n, v); }},
        {"vpre", OPT(vpre) { t.LoadPreset(n, v); }},
        {"spre", OPT(spre) { t.LoadPreset(n, v); }},
        {"fpre", OPT(fpre) { t.LoadPreset(n, v); }},
    };
    return table;
  }
#undef O
#undef OPT
// clang-format on
}
;

TTranscoderOptions::TTranscoderOptions() { ResetOptions(); }

void TTranscoderOptions::ResetOptions() {
  Opt = TOptionState{};
  InitOptionHolder(Holder, Opt.ScalerFlags);
}

void TTranscoderOptions::ParseOption(const std::string& name, const std::string& value) {
  for (const TOptionHandlers::Entry& e : TOptionHandlers::Table())
    if (name == e.Name) {
      e.Handler(*this, name, value);
      return;
    }
  // 14. Anything else: the generic option holder; its result does not fail the operation.
  bool found = false;
  if (!SetGenericOption(name, value, &found) && !found && !Trim(name).empty() && !Trim(value).empty())
    GetFFLogger().LogFmt(this, llWarning, "Unrecognized option '%s'", name.c_str());
}

bool TTranscoderOptions::SetGenericOption(const std::string& name, const std::string& value, bool* found) {
  std::vector<TOptionPair> modern;
  if (!TranslateLegacyOption(Holder, Trim(name), Trim(value), modern))
    return ::SetGenericOption(Holder, name, value, found);
  bool ok = true;
  if (found) *found = true;
  for (const TOptionPair& p : modern) {
    bool f = false;
    ok = ::SetGenericOption(Holder, p.Name, p.Value, &f) && ok;
    if (found) *found = *found && f;
  }
  return ok;
}

void TTranscoderOptions::LoadPreset(const std::string& optionName, const std::string& value) {
  if (value.empty()) return;
  if (optionName != "fpre") {
    const TBuiltinPreset* p = FindBuiltinPreset(value);
    if (!p) {
      std::string codec = optionName == "vpre"   ? Opt.VideoCodecName
                          : optionName == "apre" ? Opt.AudioCodecName
                                                 : std::string();
      if (codec.empty()) codec = Opt.SubtitleCodecName;
      if (!codec.empty()) p = FindBuiltinPreset(codec + "-" + value);
    }
    if (p) {
      ApplyPresetText(p->Name, p->Text);
      return;
    }
  }
  std::error_code ec;
  const fs::path path(value);
  if (!fs::exists(path, ec) || fs::is_directory(path, ec)) Fail(StrFormat("Preset \"%s\" not found", value.c_str()));
  const uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kMaxPresetFileSize) Fail(StrFormat("Preset file \"%s\" cannot be read", value.c_str()));
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in && !in.eof()) Fail(StrFormat("Preset file \"%s\" cannot be read", value.c_str()));
  ApplyPresetText(value, text.str());
}

void TTranscoderOptions::ApplyPresetText(const std::string& presetName, const std::string& text) {
  // Every line is checked before any is applied, so a syntax error changes nothing.
  struct Line {
    std::string Text, Key, Value;
  };
  std::vector<Line> lines;
  for (const std::string& line : PresetLines(text)) {
    const size_t eq = line.find('=');
    Line l{line, Trim(line.substr(0, eq)), eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1))};
    if (l.Key.empty() || l.Value.empty())
      Fail(StrFormat("%s: Invalid syntax: \"%s\"", presetName.c_str(), line.c_str()));
    lines.push_back(std::move(l));
  }
  for (const Line& l : lines) {
    if (strcasecmp(l.Key.c_str(), "acodec") == 0)
      TOptionHandlers::Codec(Opt.AudioStreamCopy, Opt.AudioCodecName, l.Value);
    else if (strcasecmp(l.Key.c_str(), "vcodec") == 0)
      TOptionHandlers::Codec(Opt.VideoStreamCopy, Opt.VideoCodecName, l.Value);
    else if (strcasecmp(l.Key.c_str(), "scodec") == 0)
      TOptionHandlers::Codec(Opt.SubtitleStreamCopy, Opt.SubtitleCodecName, l.Value);
    else if (!SetGenericOption(l.Key, l.Value))
      Fail(StrFormat("%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"", presetName.c_str(),
                     l.Text.c_str(), l.Key.c_str(), l.Value.c_str()));
  }
}
