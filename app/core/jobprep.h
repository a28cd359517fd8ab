// Turning jobs into engine tasks, for both front ends: the source is probed, the crop, trim and
// watermark pictures are checked against it, the output is named and reserved, and the option
// builder fills the two option records. A run's book then maps each task number to its job (and
// the front end's row) and, at each task's end, puts the output under its final name or
// removes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/core/jobrecord.h"
#include "app/core/optionbuilder.h"
#include "app/core/outputfile.h"
#include "app/core/settings.h"
#include "engine/options.h"

class TAVProbe;
class TConversionRenderer;

// The settings of one job before its source file is opened: the job record with the crop,
// trim, picture adjustments and watermark items, and whether the zoom mode was chosen
// (otherwise the profile's zoom mode applies).
struct TJobSettings {
  TlvFilesRecord Job;
  bool ZoomSet = false;
  // The first output name number tried ("_(new_N)"): a job list split over several processes
  // gives the jobs whose outputs would share a name the numbers one whole run gives them.
  int32_t FirstOutputNumber = 0;
};

// A watermark item that should show to the end of the file.
constexpr int32_t kWmToTheEnd = INT32_MAX;

struct TPreparedJob {
  TlvFilesRecord Job;  // with DestFile (the final name), ZoomMode and measured watermark boxes
  TInputOptions In;
  TOutputOptions Out;         // Out.FileName is where the converter writes (the reserved temporary name)
  TOutputReservation Output;  // empty in a dry run
  // With TPrepareOptions::OwnOutputNames: the job's own output name is written (or held) by
  // another running process, which converts the job (Prepare fails, nothing is reserved); or
  // a finished file nobody holds has it, and a later name was reserved.
  bool OutputHeldElsewhere = false;
  bool OwnNameTaken = false;
};

// How a front end prepares its jobs.
struct TPrepareOptions {
  // A folder chosen for this run (the command line's --output-dir), used as it is; empty: the
  // stored [settings] OutPutDir with its fallback to the default folder.
  std::string OutputDir;
  // Names and options only: nothing on disk is created or written, no output is reserved.
  bool DryRun = false;
  // The fallback folder is stored as OutPutDir when the stored folder cannot be made (the
  // desktop program); the command line never rewrites the user's settings.
  bool StoreFallback = true;
  // Each job's first output number is its own name (a job list split over several processes,
  // or a resumable run): another running process writing that name converts the job, and this
  // one leaves it (TPreparedJob::OutputHeldElsewhere) instead of converting it a second time
  // under the next free name.
  bool OwnOutputNames = false;
};

// True when the job changes the pictures through the frame hook (adjustments or watermarks).
bool NeedsCustomHook(const TlvFilesRecord& job);

// Whether a finished output found under a job's own name is that job's whole result: it opens
// and is as long as the job's part of its source (the source's length, or the trim), give or
// take a second or 5 %. The probe is closed again.
bool OutputLooksComplete(const std::string& output, const TlvFilesRecord& job, TAVProbe& probe);

// "file: message", unless the message names the file already.
std::string WithFileName(const std::string& file, const std::string& msg);

class TJobPreparation {
public:
  TJobPreparation(const TAppSettings& settings, TBuilderPrompts& prompts, TConversionRenderer& renderer,
                  TPrepareOptions options = {});

  // Opens the job's source with `probe` (closed again before returning), checks the crop, trim
  // and watermark pictures against it, names (and, unless a dry run, reserves) the output and
  // fills the option records for profile `code`. False with the message (naming the file) in
  // err. Text watermarks are measured here, which needs the program's QGuiApplication.
  bool Prepare(const TJobSettings& settings, int32_t code, TAVProbe& probe, TPreparedJob& result, std::string& err);

  // The output folder the jobs go to (resolved at the first job; empty before).
  const std::string& OutputFolder() const { return folder_; }

private:
  std::string ResolveFolder();

  const TAppSettings& settings_;
  TBuilderPrompts& prompts_;
  TConversionRenderer& renderer_;
  TPrepareOptions options_;
  TOutputOptionBuilder builder_;
  std::string folder_;
};

// How one task of a run ended, as the front ends report it.
struct TTaskOutcome {
  enum TKind { Converted, Failed, Stopped, NotStarted } Kind = Failed;
  std::string Output;   // the final output name (empty when none is left)
  std::string Message;  // why it failed, or a note about the output
  // The input ended before its known length: a failure, or (partial inputs accepted) a note
  // on a converted file. Times in µs; -1 when unknown.
  bool EndedEarly = false;
  int64_t EndedAtUs = -1, DurationUs = -1;
};

// "the input ended early, at H:MM:SS of H:MM:SS" (times in µs; an unknown length is left out).
std::string EndedEarlyText(int64_t endedAtUs, int64_t durationUs);

// The tasks of one run: task number -> the job's row and its prepared job, and what happens to
// each output at its task's end. Outputs still reserved when the run goes are removed. The
// conversion run (app/core/conversionrun.h) keeps it as its private part; the front ends see
// only the outcomes it reports.
class TRunBook {
public:
  // Adds the prepared job as the next task; returns its task number.
  int Add(int row, TPreparedJob job);
  size_t Count() const { return tasks_.size(); }
  int Row(int task) const;
  const TPreparedJob& Job(int task) const { return tasks_.at(size_t(task)).Job; }
  // Whether an output stopped halfway takes its final name (the default) or is removed. A
  // resumable run removes it: the next run converts that job again, whole, under the same name.
  void SetKeepStopped(bool keep) { keepStopped_ = keep; }
  // Whether a task whose input ended before its known length (cut off, or truncated while it
  // was read) counts as converted with what there was, or fails (the default): a partial
  // input must not pass for a converted file unless the user asked for it.
  void SetAcceptPartial(bool accept) { acceptPartial_ = accept; }
  // Whether a finished output keeps its lock after taking its final name, until Recorded: a
  // run with a ledger holds it until the job is recorded there, so that a process converting
  // the same list sees the job as not yet settled instead of taking the next free name.
  void SetHoldCommitted(bool hold) { holdCommitted_ = hold; }
  void Recorded(int task);

  // A task's end as the engine reports it; `hookFailure` is the error of its picture hook
  // (empty: none). Decides the outcome for both front ends alike, then as below.
  TTaskOutcome TaskEnded(const TTerminateInfo& info, const std::string& hookFailure);

  // A task's end: a finished or cleanly stopped output takes its final name; a failed one (or
  // one stopped before it wrote anything) is removed. `failure` is the task's error text,
  // empty when it did not fail.
  TTaskOutcome TaskEnded(int task, bool finished, const std::string& failure);

private:
  struct TTask {
    int Row = 0;
    TPreparedJob Job;
  };
  std::vector<TTask> tasks_;
  bool keepStopped_ = true;
  bool acceptPartial_ = false;
  bool holdCommitted_ = false;
};
