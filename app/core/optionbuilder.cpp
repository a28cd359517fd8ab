#include "app/core/optionbuilder.h"

#include <climits>
#include <cmath>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "app/core/apppaths.h"
#include "app/core/inifile.h"
#include "app/core/outputfile.h"
#include "app/core/profiles.h"
#include "media/errors.h"
#include "media/logger.h"
#include "media/probe.h"
#include "media/textutils.h"

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
  prompts_.Warn("Warning",
                "Cannot create output directory:" + dir + ".It will create default directory " + fallback + "!");
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

namespace {

// What every step of BuildOutputOptions reads: the profile's saved values, its section of
// the profile file and its container name.
struct TProfileView {
  const TIniFile& Format;
  std::string Section;
  TProfileParams Params;
  std::string FormatName;       // the profile file's Format as written
  std::string LowerFormatName;  // the same in lower case
};

void AppendExtOption(std::string& options, const std::string& line) {
  if (!options.empty()) options += '\n';
  options += line;
}

// DVD, VCD and SVCD profiles: the engine's target preset, its norm and the frame's shape.
void ApplyTarget(const TProfileView& profile, TOutputOptions& out) {
  struct TTargetRow {
    const char* name;
    int32_t target, norm;
    const char* wideSize;  // the frame size that makes the picture 16:9, or null
  };
  static const TTargetRow kTargets[] = {
      {"ntsc-dvd", 3, 2, "720x480"}, {"pal-dvd", 3, 1, "720x576"}, {"ntsc-vcd", 1, 2, nullptr},
      {"pal-vcd", 1, 1, nullptr},    {"ntsc-svcd", 2, 2, nullptr}, {"pal-svcd", 2, 1, nullptr},
  };
  for (const TTargetRow& row : kTargets) {
    if (profile.LowerFormatName != row.name) continue;
    out.Target = row.target;
    out.TargetNorm = row.norm;
    out.AspectRatio = row.wideSize && profile.Params.VideoSize == row.wideSize ? "16:9" : "4:3";
  }
}

// Channels, volume, sample rate and bit rate of the sound, for both kinds of profile.
void ApplyAudioParameters(const TProfileView& profile, const TSourceInfo& source, bool audioOnly, TOutputOptions& out) {
  const TProfileParams& prm = profile.Params;
  int32_t whole;
  double number;
  if (prm.Channel != "as source" && IsInteger(prm.Channel, &whole) && (!audioOnly || whole > 0))
    out.AudioChannels = whole;
  // A volume that is not a whole non-negative number is left out rather than failing the task.
  if (prm.Volume != "256" && IsInteger(prm.Volume, &whole) && whole >= 0) out.AudioVolume = whole;

  if (prm.SampleRate != "as source" && IsInteger(prm.SampleRate, &whole)) {
    if (whole > 0) out.AudioSampleRate = whole;
  } else if (InProfileRange(profile.Format, profile.Section, TRangeParam::SampleRate, source.AudioSampleRate)) {
    out.AudioSampleRate = source.AudioSampleRate;
  } else {
    const std::string fallback = profile.Format.ReadString(profile.Section, "paraSampleRate", "44100");
    if (Lower(fallback) != "as source" && IsInteger(fallback, &whole) && whole > 0) out.AudioSampleRate = whole;
  }

  if (prm.AudioBitRate != "as source" && IsNumber(prm.AudioBitRate, &number)) {
    const int64_t bitRate = Trunc(number * 1000);
    if (bitRate > 0) out.AudioBitrate = ClampToInt32(bitRate);
  } else if (InProfileRange(profile.Format, profile.Section, TRangeParam::AudioBitRate,
                            double(source.AudioBitRate) / 1000)) {
    out.AudioBitrate = ClampToInt32(source.AudioBitRate);
  } else {
    const std::string fallback = profile.Format.ReadString(profile.Section, "paraAudioBitRate", "128");
    if (IsNumber(fallback, &number) && number > 0) out.AudioBitrate = ClampToInt32(Trunc(number * 1000));
  }
}

// A profile without a video encoder: the sound alone, in the profile's container.
void BuildAudioOnly(const TProfileView& profile, const TSourceInfo& source, TOutputOptions& out, TInputOptions& in) {
  out.AudioCodec = ResolveEncoderName(profile.Params.AudioEncoder, TEncoderKind::Audio);
  if (OneOf(profile.LowerFormatName,
            {"amr", "ac3", "asf", "aiff", "au", "voc", "flac", "flv", "avi", "matroska", "mmf"}))
    out.FileFormat = profile.LowerFormatName;
  ApplyAudioParameters(profile, source, true, out);
  AppendExtOption(in.ExtOptions, "vn=1");
  out.DisableVideo = true;
  out.DisableSubtitle = true;
}

// The video encoder of the profile, with the H.264 preset of its device.
void ApplyVideoEncoder(const TProfileView& profile, TOutputOptions& out) {
  const std::string& encoder = profile.Params.VideoEncoder;
  const std::string& device = profile.LowerFormatName;
  if (OneOf(encoder, {"mpeg4",   "libxvid", "mpeg1video", "mpeg2video", "msmpeg4", "msmpeg4v1", "msmpeg4v2",
                      "huffyuv", "dvvideo", "rawvideo",   "h263p",      "h263",    "rv10",      "rv20",
                      "ljpeg",   "mjpeg",   "svq1",       "zlib",       "wmv1",    "wmv2"})) {
    out.VideoCodec = encoder;
    if (encoder == "mpeg2video") out.Target = 3;
  } else if (encoder == "libx264") {
    out.VideoCodec = "libx264";
    out.VideoPreset = device == "psp"    ? "libx264-psp"
                      : device == "ipod" ? "libx264-ipod"
                      : device == "ps3"  ? "libx264-ps3"
                                         : "libx264-mp4";
    // The PSP plays H.264 up to Main profile. The encoder of this library generation uses the
    // 8x8 transform (a High profile tool) unless told otherwise, and the preset does not say.
    if (device == "psp") AppendExtOption(out.ExtOptions, "flags2=-dct8x8");
    // The devices, and the H.264 profiles these presets declare (Baseline, Main, High), take
    // 4:2:0 pictures of 8 bits; the encoder would otherwise keep a 4:4:4, 4:2:2 or 10-bit
    // source's format and write a profile the device cannot decode.
    AppendExtOption(out.ExtOptions, "pix_fmt=yuv420p");
  }
  out.VideoCodec = ResolveEncoderName(out.VideoCodec, TEncoderKind::Video);
}

void ApplyVideoBitRate(const TProfileView& profile, const TSourceInfo& source, TOutputOptions& out) {
  const std::string& typed = profile.Params.VideoBitRate;
  int32_t kbits;
  if (typed != "as source" && IsInteger(typed, &kbits)) {
    if (kbits > 0) out.VideoBitrate = ClampToInt32(int64_t(kbits) * 1000);
  } else if (InProfileRange(profile.Format, profile.Section, TRangeParam::VideoBitRate,
                            double(source.VideoBitRate) / 1000)) {
    out.VideoBitrate = ClampToInt32(source.VideoBitRate);
  } else {
    const std::string fallback = profile.Format.ReadString(profile.Section, "paraVideoBitRate", "256");
    if (Lower(fallback) != "as source" && IsInteger(fallback, &kbits) && kbits > 0)
      out.VideoBitrate = ClampToInt32(int64_t(kbits) * 1000);
  }
}

// The output frame size in pixels from the profile's "WxH" (a part that is no number takes
// the source's; H.263 snaps to its standard sizes). A malformed size asks whether to use
// 320x240; No keeps the source's size. 0x0 when neither gives a size.
void ReadFrameSize(const TProfileView& profile, const TSourceInfo& source, const std::string& videoCodec,
                   TBuilderPrompts& prompts, int32_t& width, int32_t& height) {
  const std::string& typed = profile.Params.VideoSize;
  const int32_t sourceW = source.DisplayWidth(), sourceH = source.DisplayHeight();
  bool asSource = typed == "as source";
  if (!asSource) {
    const size_t x = typed.find('x');
    bool wellFormed = x != std::string::npos && x != 0 && x != typed.size() - 1;
    if (wellFormed) {
      if (!IsInteger(typed.substr(0, x), &width)) width = sourceW;
      if (!IsInteger(typed.substr(x + 1), &height)) height = sourceH;
      if (Lower(videoCodec) == "h263" &&
          std::string_view("704x576,352x288,176x144,160x120,128x96").find(typed) == std::string_view::npos) {
        if (width > 176 && width <= 352) {
          width = 352;
          height = 288;
        } else if (width > 352) {
          width = 704;
          height = 576;
        }
      }
      // A size without a usable width or height is as malformed as one without an "x".
      wellFormed = width > 0 && height > 0;
    }
    if (!wellFormed) {
      if (prompts.AskYesNo("Warning", kVideoSizeQuestion)) {
        width = 320;
        height = 240;
      } else {
        asSource = true;
      }
    }
  }
  if (asSource) {
    width = sourceW;
    height = sourceH;
  }
  if (width <= 0 || height <= 0) width = height = 0;
}

// The frame's display shape when a target fixes it ("16:9", "4:3"); square pixels otherwise.
void FrameAspectOf(const TOutputOptions& out, TFrameShape& frame) {
  if (out.Target <= 0) return;
  const size_t colon = out.AspectRatio.find(':');
  int32_t num = 0, den = 0;
  if (colon != std::string::npos && IsInteger(out.AspectRatio.substr(0, colon), &num) &&
      IsInteger(out.AspectRatio.substr(colon + 1), &den) && num > 0 && den > 0) {
    frame.AspectNum = num;
    frame.AspectDen = den;
  }
}

// Fits the source into the frame by the job's zoom mode: the crop fields, the size the kept
// picture is scaled to, its display shape and the pad filter for the bands. Returns the
// filter text (empty without bands).
std::string ApplyZoom(const TlvFilesRecord& job, const TSourceInfo& source, int32_t frameW, int32_t frameH,
                      TOutputOptions& out) {
  const std::string& mode = job.ZoomMode;
  if (frameW <= 0 || frameH <= 0 || !IsZoomMode(mode)) return "";  // the engine keeps its size
  const TCropMargins jobCrop{job.CropTop, job.CropBottom, job.CropLeft, job.CropRight};
  if (source.Width <= 0 || source.Height <= 0) {
    // Nothing to fit: the frame size as it stands.
    out.FrameSize = std::to_string(frameW) + "x" + std::to_string(frameH);
    out.AspectRatio = std::to_string(frameW) + ":" + std::to_string(frameH);
    return "";
  }
  TFrameShape frame{frameW, frameH, 0, 0};
  FrameAspectOf(out, frame);
  const TZoomPlan plan = PlanZoom(mode, source.Shape(), jobCrop, frame);
  if (!plan.Error.empty()) throw FFmpegException(plan.Error);
  out.CropTop = plan.Crop.Top;
  out.CropBottom = plan.Crop.Bottom;
  out.CropLeft = plan.Crop.Left;
  out.CropRight = plan.Crop.Right;
  out.FrameSize = std::to_string(plan.ScaleWidth) + "x" + std::to_string(plan.ScaleHeight);
  out.AspectRatio = plan.PictureAspect;
  if (!plan.HasBands()) return "";
  return StrFormat("pad=%d:%d:%d:%d", plan.FrameWidth, plan.FrameHeight, plan.PadX, plan.PadY);
}

// The picture part of a video profile; returns the filter text of the zoom mode.
std::string BuildPicture(const TProfileView& profile, const TlvFilesRecord& job, const TSourceInfo& source,
                         TBuilderPrompts& prompts, TOutputOptions& out) {
  ApplyVideoBitRate(profile, source, out);
  double rate;
  const std::string& frameRate = profile.Params.FrameRate;
  if (frameRate != "as source" && IsNumber(frameRate, &rate) && rate > 0) out.FrameRate = frameRate;
  if (OneOf(profile.LowerFormatName,
            {"ipod", "3gp", "3g2", "avi", "psp", "mov", "vcd", "flv", "mpegts", "vob", "asf", "dv"}))
    out.FileFormat = profile.FormatName;

  int32_t frameW = 0, frameH = 0;
  ReadFrameSize(profile, source, out.VideoCodec, prompts, frameW, frameH);
  if (out.CropTop == -1) out.CropTop = 0;
  if (out.CropBottom == -1) out.CropBottom = 0;
  if (out.CropLeft == -1) out.CropLeft = 0;
  if (out.CropRight == -1) out.CropRight = 0;
  const std::string filters = ApplyZoom(job, source, frameW, frameH, out);

  // DV pictures must use the sampling of their system: 4:1:1 for 525-line NTSC DV,
  // 4:2:0 for 625-line PAL DV; other sizes are not DV and are left to the encoder.
  if (profile.LowerFormatName == "dv" && profile.Params.VideoEncoder == "dvvideo") {
    const char* pixFmt = (frameW == 720 && frameH == 480)   ? "yuv411p"
                         : (frameW == 720 && frameH == 576) ? "yuv420p"
                                                            : nullptr;
    if (pixFmt) AppendExtOption(out.ExtOptions, std::string("pix_fmt=") + pixFmt);
  }
  return filters;
}

}  // namespace

int32_t TSourceInfo::DisplayWidth() const { return Rotation == 90 || Rotation == 270 ? Height : Width; }
int32_t TSourceInfo::DisplayHeight() const { return Rotation == 90 || Rotation == 270 ? Width : Height; }

TPictureShape TSourceInfo::Shape() const {
  return TPictureShape{Width, Height, SampleAspectNum, SampleAspectDen, Rotation};
}

TSourceInfo SourceInfoFromProbe(TCustomAVProbe& probe) {
  TSourceInfo src;
  src.VideoStreamCount = probe.VideoStreamCount();
  src.AudioStreamCount = probe.AudioStreamCount();
  if (src.VideoStreamCount > 0) {
    const TVideoStreamInfo video = probe.GetVideoStreamInfo();
    src.Width = std::max(0, video.Width);
    src.Height = std::max(0, video.Height);
    src.VideoBitRate = std::max(0, video.BitRate);
    src.SampleAspectNum = std::max(0, video.SampleAspectNum);
    src.SampleAspectDen = std::max(0, video.SampleAspectDen);
    src.Rotation = video.Rotation;
  }
  if (src.AudioStreamCount > 0) {
    const TAudioStreamInfo audio = probe.GetAudioStreamInfo();
    src.AudioSampleRate = std::max(0, audio.SampleRate);
    src.AudioBitRate = std::max(0, audio.BitRate);
  }
  return src;
}

void TOutputOptionBuilder::BuildOutputOptions(const TlvFilesRecord& job, int32_t formatCode, TOutputOptions& out,
                                              const TSourceInfo& source, TInputOptions& in) {
  // One reading of each file for the whole build.
  const TAppSettings::TProfileUse use = settings_.OpenProfileUse();
  const TIniFile& settings = use.Settings;
  const TIniFile& format = use.Format;
  TProfileView profile{format, ProfileSection(formatCode), ReadProfileParams(settings, format, formatCode), "", ""};
  profile.FormatName = format.ReadString(profile.Section, "Format", "null");
  profile.LowerFormatName = Lower(profile.FormatName);

  ApplyTarget(profile, out);
  if (Trim(profile.Params.VideoEncoder).empty()) {
    BuildAudioOnly(profile, source, out, in);
    return;
  }

  ApplyVideoEncoder(profile, out);
  std::string filters;
  // A video profile makes a video: a file with sound but no picture is refused, as a sound
  // profile refuses a file without sound. (A file with neither is refused by the converter.)
  if (source.VideoStreamCount <= 0) {
    if (source.AudioStreamCount > 0) throw FFmpegException("The file has no picture to convert");
    out.DisableVideo = true;
  } else {
    filters = BuildPicture(profile, job, source, prompts_, out);
  }

  // A DV frame carries the sound that belongs to it, so the sound must start with the picture:
  // after a seek to the trim start the first sound samples can lie a little behind the first
  // picture, which the DV container refuses. Sound sync fills such a gap with silence.
  if (profile.LowerFormatName == "dv") out.AudioSyncMethod = 1;

  if (!filters.empty()) {
    if (!out.VideoFilters.empty()) out.VideoFilters += ',';
    out.VideoFilters += filters;
  }

  std::string audioEncoder = profile.Params.AudioEncoder;
  if (audioEncoder == "libamr_nb") audioEncoder = "libopencore_amrnb";
  if (Trim(audioEncoder).empty()) {
    out.AudioCodec = audioEncoder;
    out.DisableAudio = true;
  } else {
    out.AudioCodec = ResolveEncoderName(audioEncoder, TEncoderKind::Audio);
  }
  ApplyAudioParameters(profile, source, false, out);
}
