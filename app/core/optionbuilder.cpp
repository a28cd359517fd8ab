#include "media/utils.h"
#include "app/core/optionbuilder.h"

#include <climits>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "app/core/apppaths.h"
#include "app/core/inifile.h"
#include "app/core/outputfile.h"
#include "app/core/profiles.h"
#include "media/errors.h"
#include "media/logger.h"

namespace fs = std::filesystem;

const char* const kVideoSizeQuestion = "Error output Video Size.Use the default size 320x240?";

namespace {

std::string Lower(const std::string& s) { return LowerAscii(s); }
std::string Trim(const std::string& s) { return TrimText(s); }

bool OneOf(const std::string& s, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (s == n) return true;
  return false;
}

// Truncation toward zero of a finite value, saturated to the 64-bit range.
int64_t Trunc(double v) {
  if (!std::isfinite(v)) return 0;
  if (v >= 9.2e18) return INT64_MAX;
  if (v <= -9.2e18) return INT64_MIN;
  return int64_t(v);
}

int32_t ClampToInt32(int64_t v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : int32_t(v); }

bool MakeFolder(const std::string& dir) {
  if (dir.empty()) return false;
  std::error_code ec;
  fs::create_directories(dir, ec);
  return fs::is_directory(dir, ec);
}

}  // namespace

bool TAutoAnswerPrompts::AskYesNo(const std::string& title, const std::string& text) {
  (void)title;
  Questions.push_back(text);
  GetFFLogger().Log(this, llWarning, text + " Yes");
  return true;
}

void TAutoAnswerPrompts::Warn(const std::string& title, const std::string& text) {
  (void)title;
  Warnings.push_back(text);
  GetFFLogger().Log(this, llWarning, text);
}

TOutputOptionBuilder::TOutputOptionBuilder(const TAppSettings& settings, TBuilderPrompts& prompts)
    : settings_(settings), prompts_(prompts) {}

TOutputOptionBuilder::TOutputOptionBuilder(std::string settingsIniPath, std::string formatIniPath,
                                           TBuilderPrompts& prompts)
    : settings_(std::move(settingsIniPath), std::move(formatIniPath)), prompts_(prompts) {}

std::string TOutputOptionBuilder::OutputFolder(bool create, bool storeFallback) {
  const std::string fallback = DefaultOutputDir();
  const std::string dir = settings_.Read().OutPutDir;
  if (!create) return dir.empty() ? fallback : dir;
  if (MakeFolder(dir)) return dir;
  prompts_.Warn("Warning", "Cannot create output directory:" + dir + ".It will create default directory " +
                               fallback + "!");
  if (!MakeFolder(fallback)) throw FFmpegException("Cannot create output directory:" + fallback);
  if (storeFallback) {
    try {
      settings_.WriteOutPutDir(fallback);
    } catch (const FFmpegException& e) {
      GetFFLogger().Log(this, llWarning, e.what());
    }
  }
  // The output goes where it can be written: the folder just created.
  return fallback;
}

std::string TOutputOptionBuilder::BuildOutputPath(const std::string& sourcePath, const std::string& ext) {
  return FirstFreeOutputName(OutputFolder(), sourcePath, ext);
}

void TOutputOptionBuilder::BuildOutputOptions(const TlvFilesRecord& job, int32_t formatCode, TOutputOptions& out,
                                              const TSourceInfo& source, TInputOptions& in) {
  // One reading of each file for the whole build.
  const TAppSettings::TProfileUse use = settings_.OpenProfileUse();
  const TIniFile& settings = use.Settings;
  const TIniFile& format = use.Format;
  const std::string section = ProfileSection(formatCode);
  const TProfileParams prm = ReadProfileParams(settings, format, formatCode);
  const std::string formatName = format.ReadString(section, "Format", "null");
  const std::string lformat = Lower(formatName);

  // Target detection.
  struct TTargetRow {
    const char* name;
    int32_t target, norm;
    const char* wideSize;  // the frame size that makes the picture 16:9, or null
  };
  static const TTargetRow kTargets[] = {
      {"ntsc-dvd", 3, 2, "720x480"}, {"pal-dvd", 3, 1, "720x576"}, {"ntsc-vcd", 1, 2, nullptr},
      {"pal-vcd", 1, 1, nullptr},    {"ntsc-svcd", 2, 2, nullptr}, {"pal-svcd", 2, 1, nullptr},
  };
  for (const TTargetRow& t : kTargets) {
    if (lformat != t.name) continue;
    out.Target = t.target;
    out.TargetNorm = t.norm;
    out.AspectRatio = t.wideSize && prm.VideoSize == t.wideSize ? "16:9" : "4:3";
  }

  const int32_t SW = source.Width, SH = source.Height;

  // Audio parameters shared by both kinds of profile (steps 2 to 5).
  auto audioParameters = [&](bool audioOnly) {
    int32_t n;
    double d;
    if (prm.Channel != "as source" && IsInteger(prm.Channel, &n) && (!audioOnly || n > 0)) out.AudioChannels = n;
    // A volume that is not a whole non-negative number is left out rather than failing the task.
    if (prm.Volume != "256" && IsInteger(prm.Volume, &n) && n >= 0) out.AudioVolume = n;

    if (prm.SampleRate != "as source" && IsInteger(prm.SampleRate, &n)) {
      if (n > 0) out.AudioSampleRate = n;
    } else if (InProfileRange(format, section, TRangeParam::SampleRate, source.AudioSampleRate)) {
      out.AudioSampleRate = source.AudioSampleRate;
    } else {
      std::string fb = format.ReadString(section, "paraSampleRate", "44100");
      if (Lower(fb) != "as source" && IsInteger(fb, &n) && n > 0) out.AudioSampleRate = n;
    }

    if (prm.AudioBitRate != "as source" && IsNumber(prm.AudioBitRate, &d)) {
      int64_t b = Trunc(d * 1000);
      if (b > 0) out.AudioBitrate = ClampToInt32(b);
    } else if (InProfileRange(format, section, TRangeParam::AudioBitRate, double(source.AudioBitRate) / 1000)) {
      out.AudioBitrate = ClampToInt32(source.AudioBitRate);
    } else {
      std::string fb = format.ReadString(section, "paraAudioBitRate", "128");
      if (IsNumber(fb, &d) && d > 0) out.AudioBitrate = ClampToInt32(Trunc(d * 1000));
    }
  };

  const std::string E = prm.VideoEncoder;
  if (Trim(E).empty()) {
    // Audio-only profile.
    out.AudioCodec = ResolveEncoderName(prm.AudioEncoder, TEncoderKind::Audio);
    if (OneOf(lformat, {"amr", "ac3", "asf", "aiff", "au", "voc", "flac", "flv", "avi", "matroska", "mmf"}))
      out.FileFormat = lformat;
    audioParameters(true);
    in.ExtOptions = in.ExtOptions.empty() ? "vn=1" : in.ExtOptions + "\nvn=1";
    out.DisableVideo = true;
    out.DisableSubtitle = true;
    return;
  }

  // Video profile: the encoder.
  if (OneOf(E, {"mpeg4", "libxvid", "mpeg1video", "mpeg2video", "msmpeg4", "msmpeg4v1", "msmpeg4v2", "huffyuv",
                "dvvideo", "rawvideo", "h263p", "h263", "rv10", "rv20", "ljpeg", "mjpeg", "svq1", "zlib", "wmv1",
                "wmv2"})) {
    out.VideoCodec = E;
    if (E == "mpeg2video") out.Target = 3;
  } else if (E == "libx264") {
    out.VideoCodec = "libx264";
    out.VideoPreset = lformat == "psp"    ? "libx264-psp"
                      : lformat == "ipod" ? "libx264-ipod"
                      : lformat == "ps3"  ? "libx264-ps3"
                                          : "libx264-mp4";
    // The PSP plays H.264 up to Main profile. The encoder of this library generation uses the
    // 8x8 transform (a High profile tool) unless told otherwise, and the preset does not say.
    if (lformat == "psp")
      out.ExtOptions = (out.ExtOptions.empty() ? "" : out.ExtOptions + "\n") + "flags2=-dct8x8";
  }
  out.VideoCodec = ResolveEncoderName(out.VideoCodec, TEncoderKind::Video);

  std::string V;  // filter text
  if (source.VideoStreamCount <= 0) {
    out.DisableVideo = true;
  } else {
    int32_t n;
    double d;
    // Video bit rate.
    if (prm.VideoBitRate != "as source" && IsInteger(prm.VideoBitRate, &n)) {
      if (n > 0) out.VideoBitrate = ClampToInt32(int64_t(n) * 1000);
    } else if (InProfileRange(format, section, TRangeParam::VideoBitRate, double(source.VideoBitRate) / 1000)) {
      out.VideoBitrate = ClampToInt32(source.VideoBitRate);
    } else {
      std::string fb = format.ReadString(section, "paraVideoBitRate", "256");
      if (Lower(fb) != "as source" && IsInteger(fb, &n) && n > 0) out.VideoBitrate = ClampToInt32(int64_t(n) * 1000);
    }
    // Frame rate.
    if (prm.FrameRate != "as source" && IsNumber(prm.FrameRate, &d) && d > 0) out.FrameRate = prm.FrameRate;
    // Container.
    if (OneOf(lformat, {"ipod", "3gp", "3g2", "avi", "psp", "mov", "vcd", "flv", "mpegts", "vob", "asf", "dv"}))
      out.FileFormat = formatName;

    // Frame size.
    const std::string& T = prm.VideoSize;
    bool asSource = T == "as source";
    int32_t W = 0, H = 0;
    if (!asSource) {
      size_t x = T.find('x');
      bool wellFormed = x != std::string::npos && x != 0 && x != T.size() - 1;
      if (wellFormed) {
        if (!IsInteger(T.substr(0, x), &W)) W = SW;
        if (!IsInteger(T.substr(x + 1), &H)) H = SH;
        if (Lower(out.VideoCodec) == "h263" &&
            std::string("704x576,352x288,176x144,160x120,128x96").find(T) == std::string::npos) {
          if (W > 176 && W <= 352) {
            W = 352;
            H = 288;
          } else if (W > 352) {
            W = 704;
            H = 576;
          }
        }
        // A size without a usable width or height is as malformed as one without an "x".
        wellFormed = W > 0 && H > 0;
      }
      if (!wellFormed) {
        if (prompts_.AskYesNo("Warning", kVideoSizeQuestion)) {
          W = 320;
          H = 240;
        } else {
          asSource = true;
        }
      }
    }
    if (asSource) {
      W = SW;
      H = SH;
    }
    if (out.CropTop == -1) out.CropTop = 0;
    if (out.CropBottom == -1) out.CropBottom = 0;
    if (out.CropLeft == -1) out.CropLeft = 0;
    if (out.CropRight == -1) out.CropRight = 0;

    const bool sizeKnown = W > 0 && H > 0;
    const bool sourceKnown = SW > 0 && SH > 0;
    const std::string wh = std::to_string(W) + "x" + std::to_string(H);
    const std::string aspectWH = std::to_string(W) + ":" + std::to_string(H);
    const double F = sizeKnown ? double(SW) / W : 0, G = sizeKnown ? double(SH) / H : 0;
    auto vpad = [&](double r) { return int32_t(((H - 2 * (Trunc(SH / r) / 2)) / 4) * 2); };
    auto hpad = [&](double r) { return int32_t(((W - 2 * (Trunc(SW / r) / 2)) / 4) * 2); };
    const bool jobCropped = job.CropTop > 0 || job.CropBottom > 0 || job.CropLeft > 0 || job.CropRight > 0;
    const std::string& zoom = job.ZoomMode;

    if (!sizeKnown) {
      // Neither the profile nor the source gives a frame size: the engine keeps the source's.
    } else if (zoom == "full") {
      if (jobCropped) {
        out.CropTop = job.CropTop;
        out.CropBottom = job.CropBottom;
        out.CropLeft = job.CropLeft;
        out.CropRight = job.CropRight;
      }
      out.FrameSize = wh;
      out.AspectRatio = aspectWH;
    } else if (zoom == "lbox" && !sourceKnown) {
      out.FrameSize = wh;
      out.AspectRatio = aspectWH;
    } else if (zoom == "lbox") {
      int32_t top = 0, bottom = 0, left = 0, right = 0;
      if (W <= SW && H >= SH) {
        top = bottom = vpad(F);
        left = right = 0;
      }
      if (W >= SW && H <= SH) {
        left = right = hpad(G);
        top = bottom = 0;
      }
      if (W >= SW && H >= SH) {
        if (F > G) {
          top = bottom = vpad(F);
          left = right = 0;
        } else if (F < G) {
          left = right = hpad(G);
          top = bottom = 0;
        } else {
          top = bottom = vpad(F);
          left = right = hpad(G);
        }
      }
      if (W <= SW && H <= SH) {
        if (F > G) {
          top = bottom = vpad(F);
          left = right = 0;
        } else {
          left = right = hpad(G);
          top = bottom = 0;
        }
      }
      if (W == SW && H == SH) top = bottom = left = right = 0;
      const int32_t IW = W - left - right, IH = H - top - bottom;
      out.AspectRatio = std::to_string(IW) + ":" + std::to_string(IH);
      const std::string pad = StrFormat("pad=%d:%d:%d:%d", W, H, left, top);
      if (jobCropped) {
        V = StrFormat("crop=%d:%d:%d:%d,scale=%d:%d,", job.CropLeft, job.CropTop, SW - job.CropLeft - job.CropRight,
                      SH - job.CropTop - job.CropBottom, IW, IH) +
            pad;
        // The filter text crops the uncropped picture itself; cropping it beforehand as well
        // would make its crop fall outside the picture.
        out.CropTop = out.CropBottom = out.CropLeft = out.CropRight = 0;
      } else {
        out.FrameSize = std::to_string(IW) + "x" + std::to_string(IH);
        V = pad;
      }
    } else if (zoom == "pan") {
      // Crop the excess of the wider (or taller) side so that the kept area has the output
      // frame's proportions and fills the frame without distortion.
      const int32_t cw = SW - job.CropLeft - job.CropRight, ch = SH - job.CropTop - job.CropBottom;
      if (cw > 0 && ch > 0) {
        const double target = double(W) / H, have = double(cw) / ch;
        if (have > target) {
          int64_t k = std::llabs(Trunc(cw - ch * target)) / 2;
          out.CropLeft = ClampToInt32((k + job.CropLeft) & ~int64_t(1));
          out.CropRight = ClampToInt32((k + job.CropRight) & ~int64_t(1));
        } else if (have < target) {
          int64_t k = std::llabs(Trunc(ch - cw / target)) / 2;
          out.CropTop = ClampToInt32((k + job.CropTop) & ~int64_t(1));
          out.CropBottom = ClampToInt32((k + job.CropBottom) & ~int64_t(1));
        }
      }
      out.FrameSize = wh;
      out.AspectRatio = aspectWH;
    } else if (zoom == "center" && sourceKnown) {
      int32_t top = 0, bottom = 0, left = 0, right = 0;
      auto apply = [&](int32_t fw, int32_t fh, int32_t pw, int32_t ph, int32_t px, int32_t py) {
        out.FrameSize = std::to_string(fw) + "x" + std::to_string(fh);
        out.AspectRatio = aspectWH;
        V = StrFormat("pad=%d:%d:%d:%d:black", pw, ph, px, py);
      };
      auto wider = [&] {  // F > G
        top = bottom = vpad(F);
        apply(W, H - 2 * right, SW, SH + top + bottom, 0, top);
      };
      auto taller = [&] {  // F < G
        left = right = hpad(G);
        apply(W - left - right, H, SW + left + right, SH, left, 0);
      };
      auto same = [&] {  // F = G
        top = bottom = vpad(F);
        left = right = hpad(G);
        apply(W - left - right, H - 2 * right, SW + left + right, SH + top + bottom, left, top);
      };
      if (W <= SW && H >= SH) {
        top = bottom = vpad(F);
        apply(W, H - 2 * right, SW, SH + top + bottom, 0, top);
      }
      if (W >= SW && H <= SH) taller();
      if (W >= SW && H >= SH) (F > G) ? wider() : (F < G) ? taller() : same();
      if (W <= SW && H <= SH) {
        if (F > G) {
          top = vpad(F);
          apply(W, H - 2 * right, W, H, 0, top);
        } else {
          (F < G) ? taller() : same();
        }
      }
      if (W == SW && H == SH) out.FrameSize = wh;
    }

    // DV pictures must use the sampling of their system: 4:1:1 for 525-line NTSC DV,
    // 4:2:0 for 625-line PAL DV; other sizes are not DV and are left to the encoder.
    if (lformat == "dv" && E == "dvvideo") {
      const char* pixFmt = (W == 720 && H == 480) ? "yuv411p" : (W == 720 && H == 576) ? "yuv420p" : nullptr;
      if (pixFmt)
        out.ExtOptions = (out.ExtOptions.empty() ? "" : out.ExtOptions + "\n") + "pix_fmt=" + pixFmt;
    }
  }

  // A DV frame carries the sound that belongs to it, so the sound must start with the picture:
  // after a seek to the trim start the first sound samples can lie a little behind the first
  // picture, which the DV container refuses. Sound sync fills such a gap with silence.
  if (lformat == "dv") out.AudioSyncMethod = 1;

  // Filters.
  if (!out.VideoFilters.empty()) {
    if (!V.empty()) out.VideoFilters += "," + V;
  } else {
    out.VideoFilters = V;
  }

  // Audio parameters.
  std::string ac = prm.AudioEncoder;
  if (ac == "libamr_nb") ac = "libopencore_amrnb";
  if (Trim(ac).empty()) {
    out.AudioCodec = ac;
    out.DisableAudio = true;
  } else {
    out.AudioCodec = ResolveEncoderName(ac, TEncoderKind::Audio);
  }
  audioParameters(false);
}
