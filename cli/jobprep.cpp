#include "cli/jobprep.h"

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QString>
#include <cmath>
#include <cstdio>

#include "app/core/profiles.h"
#include "media/errors.h"

namespace {

// The size of a text item's box: its text in its font, as the renderer draws it (points at
// 96 pixels per inch, the text at the top-left corner of the box).
bool MeasureText(TWmRec& item, std::string& err) {
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    err = "text watermarks need the font system, which did not start";
    return false;
  }
  QFont qfont;
  if (!item.Font.Name.empty()) qfont.setFamily(QString::fromUtf8(item.Font.Name.c_str()));
  qfont.setPixelSize(std::max(1, int(std::lround(item.Font.Size * 96.0 / 72.0))));
  qfont.setBold(item.Font.Bold);
  qfont.setItalic(item.Font.Italic);
  qfont.setUnderline(item.Font.Underline);
  qfont.setStrikeOut(item.Font.StrikeOut);
  const QFontMetrics fm(qfont);
  const QString text = QString::fromUtf8(item.Text.c_str());
  // Slanted and bold glyphs may reach past their advance: keep their overhang inside the box.
  const int overhang = std::max(0, -fm.rightBearing(text.isEmpty() ? QChar(' ') : text.back()));
  if (item.TextWidth <= 0) item.TextWidth = std::max(1, fm.horizontalAdvance(text) + overhang);
  if (item.TextHeight <= 0) item.TextHeight = std::max(1, fm.height());
  return true;
}

// Draws each picture item once on a frame of the source's size, so that a picture that cannot
// be read fails here and not on every frame of the conversion.
bool CheckPictures(const TlvFilesRecord& job, int width, int height, TConversionRenderer& renderer,
                   std::string& err) {
  for (const TWmRec& item : job.WaterMarks) {
    if (item.Kind != wmkImage) continue;
    TlvFilesRecord probeJob;
    TWmRec always = item;
    always.StartSec = 0;
    always.EndSec = kWmToTheEnd;
    probeJob.WaterMarks.push_back(always);
    TBitmap24 frame;
    frame.SetSize(std::max(2, width), std::max(2, height));
    THookInfo info;
    info.Bitmap = &frame;
    info.PTS = 0;
    try {
      renderer.RenderFrame(info, probeJob);
    } catch (const FFmpegException& e) {
      err = e.what();
      return false;
    }
  }
  return true;
}

}  // namespace

bool NeedsCustomHook(const TlvFilesRecord& job) {
  if (job.Brightness != 255 || job.Contrast != 0 || job.Saturation != 255 || job.Exposure != 0) return true;
  for (const TWmRec& item : job.WaterMarks)
    if ((item.Kind == wmkText && !item.Text.empty()) || (item.Kind == wmkImage && !item.ImageFile.empty())) return true;
  return false;
}

std::string WithFileName(const std::string& file, const std::string& msg) {
  if (msg.find(file) != std::string::npos) return msg;
  return file + ": " + msg;
}

bool PrepareJob(const TJobSettings& settings, int32_t code, TAVProbe& probe, TOutputOptionBuilder& builder,
                const TIniFile& settingsIni, const TIniFile& formatIni, TConversionRenderer& renderer,
                TPreparedJob& result, std::string& err) {
  const std::string& file = settings.Job.SourceFile;
  if (!probe.LoadFile(file)) {
    err = WithFileName(file, probe.LastErrMsg());
    return false;
  }
  const TSourceInfo src = SourceInfoFromProbe(probe);
  const int64_t durationUS = probe.GetFileStreamInfo().Duration;
  probe.CloseFile();

  TlvFilesRecord job = settings.Job;
  job.DurationSec = durationUS > 0 ? static_cast<int32_t>(durationUS / 1000000) : 0;
  if (!settings.ZoomSet) job.ZoomMode = ReadProfileZoom(settingsIni, code);
  const bool cropped = job.CropTop > 0 || job.CropBottom > 0 || job.CropLeft > 0 || job.CropRight > 0;
  if (cropped && src.VideoStreamCount > 0 &&
      (job.CropTop + job.CropBottom >= src.DisplayHeight() || job.CropLeft + job.CropRight >= src.DisplayWidth())) {
    // The margins are in the picture as it is shown (turned upright).
    err = StrFormat("%s: the crop leaves no picture of the %dx%d source", file.c_str(), src.DisplayWidth(),
                    src.DisplayHeight());
    return false;
  }
  if (durationUS > 0 && job.TrimStart >= durationUS) {
    err = file + ": the trim starts after the end of the file";
    return false;
  }
  if (src.VideoStreamCount > 0) {
    for (TWmRec& item : job.WaterMarks)
      if (item.Kind == wmkText && !MeasureText(item, err)) {
        err = file + ": " + err;
        return false;
      }
    if (!CheckPictures(job, src.DisplayWidth(), src.DisplayHeight(), renderer, err)) {
      err = WithFileName(file, err);
      return false;
    }
  }

  try {
    const std::string ext = "." + formatIni.ReadString(ProfileSection(code), "FileExt", "mp4");
    job.DestFile = builder.BuildOutputPath(file, ext);
    TOutputOptions out;
    TInputOptions in;
    in.FileName = file;
    out.FileName = job.DestFile;
    if (cropped) {
      out.CropTop = job.CropTop;
      out.CropBottom = job.CropBottom;
      out.CropLeft = job.CropLeft;
      out.CropRight = job.CropRight;
    }
    if (job.TrimStart > 0) in.StartTime = job.TrimStart;
    // The duration also measures the progress: to the end of the file when not trimmed.
    if (job.TrimLength > 0)
      out.Duration = job.TrimLength;
    else if (durationUS > 0)
      out.Duration = durationUS - job.TrimStart;
    builder.BuildOutputOptions(job, code, out, src, in);
    out.CustomHook = src.VideoStreamCount > 0 && NeedsCustomHook(job);
    result.Job = job;
    result.In = in;
    result.Out = out;
  } catch (const FFmpegException& e) {
    err = WithFileName(file, e.what());
    return false;
  }
  return true;
}

void PrintOptionLines(const TInputOptions& in, const TOutputOptions& o) {
  auto s = [](const char* name, const std::string& v) {
    if (!v.empty()) std::printf("  %s=%s\n", name, v.c_str());
  };
  auto i = [](const char* name, int64_t v) {
    if (v > 0) std::printf("  %s=%lld\n", name, static_cast<long long>(v));
  };
  auto b = [](const char* name, bool v) {
    if (v) std::printf("  %s\n", name);
  };
  if (in.StartTime != kNoPts) std::printf("  input ss=%lld\n", static_cast<long long>(in.StartTime));
  if (!in.FileFormat.empty()) std::printf("  input f=%s\n", in.FileFormat.c_str());
  for (const TExtOption& e : ParseExtOptions(in.ExtOptions)) std::printf("  input %s=%s\n", e.Name.c_str(), e.Value.c_str());
  s("f", o.FileFormat);
  i("packetsize", o.PacketSize);
  i("muxrate", o.MuxRate);
  s("acodec", o.AudioCodec);
  s("apre", o.AudioPreset);
  b("an", o.DisableAudio);
  if (o.AudioVolume >= 0) std::printf("  vol=%d\n", o.AudioVolume);
  i("ac", o.AudioChannels);
  i("ar", o.AudioSampleRate);
  i("ab", o.AudioBitrate);
  s("atag", o.AudioTag);
  s("vcodec", o.VideoCodec);
  s("vpre", o.VideoPreset);
  b("vn", o.DisableVideo);
  s("r", o.FrameRate);
  s("s", o.FrameSize);
  s("aspect", o.AspectRatio);
  i("croptop", o.CropTop);
  i("cropbottom", o.CropBottom);
  i("cropleft", o.CropLeft);
  i("cropright", o.CropRight);
  i("g", o.GopSize);
  i("vb", o.VideoBitrate);
  i("maxrate", o.VideoMaxRate);
  i("minrate", o.VideoMinRate);
  i("bt", o.VideoBitrateTolerance);
  i("bufsize", o.VideoBufferSize);
  s("vtag", o.VideoTag);
  s("vf", o.VideoFilters);
  s("scodec", o.SubtitleCodec);
  b("sn", o.DisableSubtitle);
  if (o.StartTime != kNoPts) std::printf("  ss=%lld\n", static_cast<long long>(o.StartTime));
  if (o.Duration != kNoPts) std::printf("  t=%lld\n", static_cast<long long>(o.Duration));
  if (o.Target >= 1 && o.Target <= 3) std::printf("  target=%s\n", o.Target == 1 ? "vcd" : o.Target == 2 ? "svcd" : "dvd");
  for (const TExtOption& e : ParseExtOptions(o.ExtOptions)) std::printf("  %s=%s\n", e.Name.c_str(), e.Value.c_str());
  b("custom hook (picture adjustments and watermarks)", o.CustomHook);
}
