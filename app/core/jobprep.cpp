#include "app/core/jobprep.h"

#include <QGuiApplication>
#include <QString>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>

#include "app/core/clocktext.h"
#include "app/core/profiles.h"
#include "media/errors.h"
#include "media/probe.h"
#include "render/renderer.h"

namespace {

// The size of a text item's box: its text in its font, as the renderer draws it (points at
// 96 pixels per inch, the text at the top-left corner of the box).
bool MeasureText(TWmRec& item, std::string& err) {
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    err = "text watermarks need the font system, which did not start";
    return false;
  }
  int width = 0, height = 0;
  WmTextSize(item.Text, item.Font, width, height);
  if (item.TextWidth <= 0) item.TextWidth = width;
  if (item.TextHeight <= 0) item.TextHeight = height;
  return true;
}

// Draws each picture item once on a frame of the source's size, so that a picture that cannot
// be read fails here and not on every frame of the conversion.
bool CheckPictures(const TlvFilesRecord& job, int width, int height, TConversionRenderer& renderer, std::string& err) {
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

// A conversion opens its source more than once (this check, the task's opening, the run). A
// pipe, socket or character device gives its data only once: a second opening would get the
// rest of the stream, or wait for a writer that never comes. Such a source is refused before
// anything opens it.
bool CheckReadableMoreThanOnce(const std::string& file, std::string& err) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return true;  // a URL, or a missing file the probe names
  const char* kind = S_ISFIFO(st.st_mode)   ? "a pipe (FIFO)"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                     : S_ISCHR(st.st_mode)  ? "a device"
                                            : nullptr;
  if (!kind) return true;
  err =
      file + ": " + kind +
      " gives its data only once, and a conversion reads its input more than once; save the stream to a file and convert that";
  return false;
}

}  // namespace

bool NeedsCustomHook(const TlvFilesRecord& job) {
  if (job.AnyAdjustment()) return true;
  for (const TWmRec& item : job.WaterMarks)
    if ((item.Kind == wmkText && !item.Text.empty()) || (item.Kind == wmkImage && !item.ImageFile.empty())) return true;
  return false;
}

bool OutputLooksComplete(const std::string& output, const TlvFilesRecord& job, TAVProbe& probe) {
  if (!probe.LoadFile(job.SourceFile)) return false;
  int64_t expected = probe.GetFileStreamInfo().Duration;
  probe.CloseFile();
  if (expected <= 0) return false;
  expected -= std::clamp<int64_t>(job.TrimStart, 0, expected);
  if (job.TrimLength > 0) expected = std::min(expected, job.TrimLength);
  if (!probe.LoadFile(output)) return false;
  const int64_t got = probe.GetFileStreamInfo().Duration;
  probe.CloseFile();
  return got > 0 && std::llabs(got - expected) <= std::max<int64_t>(1000000, expected / 20);
}

std::string WithFileName(const std::string& file, const std::string& msg) {
  if (msg.find(file) != std::string::npos) return msg;
  return file + ": " + msg;
}

TJobPreparation::TJobPreparation(const TAppSettings& settings, TBuilderPrompts& prompts, TConversionRenderer& renderer,
                                 TPrepareOptions options)
    : settings_(settings), prompts_(prompts), renderer_(renderer), options_(std::move(options)),
      builder_(settings, prompts) {}

std::string TJobPreparation::ResolveFolder() {
  if (folder_.empty())
    folder_ = !options_.OutputDir.empty()
                  ? options_.OutputDir
                  : builder_.OutputFolder(!options_.DryRun, options_.StoreFallback && !options_.DryRun);
  return folder_;
}

bool TJobPreparation::Prepare(const TJobSettings& settings, int32_t code, TAVProbe& probe, TPreparedJob& result,
                              std::string& err) {
  const std::string& file = settings.Job.SourceFile;
  if (!CheckReadableMoreThanOnce(file, err)) return false;
  if (!probe.LoadFile(file)) {
    err = WithFileName(file, probe.LastErrMsg());
    return false;
  }
  const TSourceInfo src = SourceInfoFromProbe(probe);
  const int64_t durationUS = probe.GetFileStreamInfo().Duration;
  probe.CloseFile();

  TlvFilesRecord job = settings.Job;
  job.DurationSec = durationUS > 0 ? static_cast<int32_t>(durationUS / 1000000) : 0;
  const bool hasVideo = src.VideoStreamCount > 0;
  // Crop margins concern the picture: a file without one converts its sound as it is.
  if (!hasVideo) job.CropTop = job.CropBottom = job.CropLeft = job.CropRight = 0;
  const bool cropped = job.CropTop > 0 || job.CropBottom > 0 || job.CropLeft > 0 || job.CropRight > 0;
  if (cropped &&
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
  if (hasVideo) {
    for (TWmRec& item : job.WaterMarks)
      if (item.Kind == wmkText && !MeasureText(item, err)) {
        err = file + ": " + err;
        return false;
      }
    if (!CheckPictures(job, src.DisplayWidth(), src.DisplayHeight(), renderer_, err)) {
      err = WithFileName(file, err);
      return false;
    }
  }

  try {
    if (!settings.ZoomSet) job.ZoomMode = settings_.Zoom(code);
    const std::string ext = settings_.OutputExtension(code);
    const std::string folder = ResolveFolder();
    TOutputOptions out;
    TInputOptions in;
    in.FileName = file;
    if (cropped) {
      out.CropTop = job.CropTop;
      out.CropBottom = job.CropBottom;
      out.CropLeft = job.CropLeft;
      out.CropRight = job.CropRight;
    }
    if (job.TrimStart > 0) in.StartTime = job.TrimStart;
    // Only a trim sets the length: a length the container only estimates (a sound file
    // without a length header, joined stream segments) must not cut the conversion short.
    if (job.TrimLength > 0) out.Duration = job.TrimLength;
    // The options first: a profile that cannot be used leaves no reserved name behind.
    builder_.BuildOutputOptions(job, code, out, src, in);
    out.CustomHook = hasVideo && NeedsCustomHook(job);
    if (options_.DryRun) {
      job.DestFile = FirstFreeOutputName(folder, file, ext);
      out.FileName = job.DestFile;
    } else {
      TOutputReservation::TOwnName own;
      result.Output = TOutputReservation::Reserve(folder, file, ext, settings.FirstOutputNumber,
                                                  options_.OwnOutputNames ? &own : nullptr);
      result.OwnNameTaken = own.Taken;
      if (own.HeldElsewhere) {
        result.OutputHeldElsewhere = true;
        err = file + ": another running process converts it into " +
              OutputCandidate(folder, file, ext, settings.FirstOutputNumber);
        return false;
      }
      job.DestFile = result.Output.FinalPath();
      out.FileName = result.Output.TempPath();
    }
    result.Job = std::move(job);
    result.In = std::move(in);
    result.Out = std::move(out);
  } catch (const FFmpegException& e) {
    err = WithFileName(file, e.what());
    return false;
  }
  return true;
}

std::string EndedEarlyText(int64_t endedAtUs, int64_t durationUs) {
  std::string text = "the input ended early, at " + FormatClock(std::max<int64_t>(0, endedAtUs) / 1000000);
  if (durationUs > 0) text += " of " + FormatClock((durationUs + 500000) / 1000000);
  return text;
}

int TRunBook::Add(int row, TPreparedJob job) {
  tasks_.push_back(TTask{row, std::move(job)});
  return int(tasks_.size()) - 1;
}

void TRunBook::Recorded(int task) {
  if (task >= 0 && size_t(task) < tasks_.size()) tasks_[size_t(task)].Job.Output.Release();
}

int TRunBook::Row(int task) const { return task >= 0 && size_t(task) < tasks_.size() ? tasks_[size_t(task)].Row : -1; }

TTaskOutcome TRunBook::TaskEnded(const TTerminateInfo& info, const std::string& hookFailure) {
  std::string failure = hookFailure;
  if (info.Exception) failure = info.ExceptionMsg.empty() ? "the conversion failed" : info.ExceptionMsg;
  const bool early = info.Finished && info.EndedEarly && failure.empty();
  const std::string earlyText = early ? EndedEarlyText(info.EndedAtUs, info.DurationUs) : std::string();
  if (early && !acceptPartial_) failure = earlyText;
  TTaskOutcome outcome = TaskEnded(info.TaskIndex, info.Finished, failure);
  if (early) {
    outcome.EndedEarly = true;
    outcome.EndedAtUs = std::max<int64_t>(0, info.EndedAtUs);
    outcome.DurationUs = info.DurationUs;
    if (outcome.Kind == TTaskOutcome::Converted) outcome.Message = earlyText;
  }
  return outcome;
}

TTaskOutcome TRunBook::TaskEnded(int task, bool finished, const std::string& failure) {
  TTaskOutcome outcome;
  if (task < 0 || size_t(task) >= tasks_.size()) return outcome;
  TOutputReservation& output = tasks_[size_t(task)].Job.Output;
  if (!failure.empty()) {
    outcome.Kind = TTaskOutcome::Failed;
    outcome.Message = failure;
    // The converter only knows the temporary name; the user knows the final one.
    if (output.Reserved())
      for (size_t at = outcome.Message.find(output.TempPath()); at != std::string::npos;
           at = outcome.Message.find(output.TempPath(), at + output.FinalPath().size()))
        outcome.Message.replace(at, output.TempPath().size(), output.FinalPath());
    // The output of a failed file is not what was asked for (often only a header): it goes,
    // so that no broken file is taken for a result.
    if (output.Discard()) outcome.Message += " (the incomplete output was removed)";
    return outcome;
  }
  struct stat st {};
  const bool written = output.Reserved() && ::stat(output.TempPath().c_str(), &st) == 0 && st.st_size > 0;
  if (!finished && written && !keepStopped_) {
    // A part that the resumed run converts again, whole.
    output.Discard();
    outcome.Kind = TTaskOutcome::Stopped;
    return outcome;
  }
  if (!finished && !written) {
    // Stopped before it began: nothing to keep.
    output.Discard();
    outcome.Kind = TTaskOutcome::NotStarted;
    return outcome;
  }
  if (!written) {
    output.Discard();
    outcome.Kind = TTaskOutcome::Failed;
    outcome.Message = "the conversion wrote no output";
    return outcome;
  }
  try {
    outcome.Output = output.Commit(holdCommitted_ && finished);
    outcome.Kind = finished ? TTaskOutcome::Converted : TTaskOutcome::Stopped;
  } catch (const FFmpegException& e) {
    outcome.Kind = TTaskOutcome::Failed;
    // The converted file stays under its temporary name, which the message names.
    outcome.Message = e.what();
    output.Release();
  }
  return outcome;
}
