// One conversion run, for both front ends: it owns the engine component, prepares each job
// and adds it as a task, draws the picture adjustments and watermarks on the workers (a
// failing picture hook fails its file), turns each task's end notice into an outcome (the
// output under its final name or removed) and counts the run's totals. The front ends only
// present what it reports: the desktop program its rows and progress window, the command line
// its live line, plain lines or JSON.
//
// Threads: every call is made on the front end's main thread. The notices handed to
// SetNotices are called on the engine's threads (progress and pictures on the workers, or on
// the main thread through the process's main-thread dispatcher when OnMainThread is set; end
// notices on the engine's notice threads, one at a time and in order); a front end copies
// what it needs and hands it to its main thread, where it calls TaskEnded.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/core/jobprep.h"
#include "engine/options.h"

class TAppSettings;
class TBuilderPrompts;
class TConversionRenderer;
class TConvertEngine;

// How a front end runs its jobs.
struct TRunOptions {
  TPrepareOptions Prepare;
  // What the book does with each output at its task's end (see TRunBook's setters).
  bool KeepStopped = true;
  bool AcceptPartial = false;
  bool HoldCommitted = false;
};

// Where the engine's notices go. Each is called on an engine thread (see the top of this file)
// and must not wait for the main thread.
struct TRunNotices {
  // Progress and pictures through the process's main-thread dispatcher (the worker waits for
  // them) instead of on the workers.
  bool OnMainThread = false;
  int ProgressIntervalMs = 0;  // 0: the engine's default
  std::function<void(const TProgressInfo&)> Progress;
  // The running task's latest picture, in full size (none without a handler).
  std::function<void(const TBitmap24&)> Picture;
  // A task's end, and the end of the run (TaskIndex -1): the front end hands the copy to its
  // main thread.
  std::function<void(const TTerminateInfo&)> Ended;
};

// What became of one job that Add was given.
struct TJobAdded {
  int Task = -1;      // its task number; -1 when it got none
  std::string Error;  // why it got none (naming its file); empty when withdrawn or held elsewhere
  // Another running process converts the job under its own output name: left to it, no failure.
  bool HeldElsewhere = false;
  bool Withdrawn = false;  // the front end's check dropped it once prepared
};

// The run's totals. Skipped jobs got no task (they could not be prepared or added); NotStarted
// tasks were stopped before they began. MayPass counts the skipped and failed jobs whose
// failure may pass on a retry (an I/O error, a full disk, the output folder unavailable).
struct TRunTotals {
  int Converted = 0, Failed = 0, Stopped = 0, NotStarted = 0, Skipped = 0;
  int EndedEarly = 0;  // converted although the input ended before its length (partial inputs accepted)
  int MayPass = 0;
};

class TConversionRun {
public:
  TConversionRun();
  ~TConversionRun();
  TConversionRun(const TConversionRun&) = delete;
  TConversionRun& operator=(const TConversionRun&) = delete;

  // The engine component, for what the run does not cover (its probe, its counters).
  TConvertEngine& Engine() { return *engine_; }
  // Replaces the notice handlers; an empty function drops its notices.
  void SetNotices(const TRunNotices& notices);

  // A new run: no tasks, totals and hook errors cleared, jobs prepared with `settings` and
  // `prompts` (both outlive the run) as `options` say.
  void Begin(const TAppSettings& settings, TBuilderPrompts& prompts, const TRunOptions& options = {});
  // Prepares the job for profile `code` and adds it as the next task, which `row` (the front
  // end's number for the job) stands for. `keep`, when given, is asked once the job is
  // prepared: false withdraws it (its reserved name goes, nothing is counted). A job that
  // cannot be prepared or added counts as skipped (never a job held elsewhere).
  TJobAdded Add(int row, const TJobSettings& job, int32_t code,
                const std::function<bool(const TPreparedJob&)>& keep = {});
  // The output folder of the run (resolved at its first job; empty before).
  const std::string& OutputFolder() const;

  size_t TaskCount() const { return book_.Count(); }
  int Row(int task) const { return book_.Row(task); }
  const TPreparedJob& Job(int task) const { return book_.Job(task); }
  // Whether the task's end notice has been taken (its progress is stale from then on).
  bool HasEnded(int task) const;

  // Starts the tasks, `parallel` at once, at the stored work priority (kept as it is when the
  // stored value names none).
  void Start(int parallel, int32_t storedPriority);
  void Pause();
  void Resume();
  // Stops the run without waiting; the end notices follow.
  void Stop();

  // A task's end notice on the main thread: its outcome, counted in the totals. None for the
  // end-of-run notice, a task of no run of this object and a notice taken already.
  std::optional<TTaskOutcome> TaskEnded(const TTerminateInfo& info);
  // The converted task's output is recorded (in a ledger): its name is released.
  void Recorded(int task) { book_.Recorded(task); }
  const TRunTotals& Totals() const { return totals_; }
  // The end of the run: the engine's tasks are freed.
  void End();

private:
  void CountFailure(const std::string& message, int& counter);

  std::unique_ptr<TConvertEngine> engine_;
  std::unique_ptr<TConversionRenderer> renderer_;
  std::unique_ptr<TJobPreparation> preparation_;
  std::string prepareDir_;  // the folder asked for (TPrepareOptions::OutputDir)
  // Written on the main thread only before the run starts; read by the picture hook on the
  // workers while it runs.
  TRunBook book_;
  std::vector<bool> ended_;
  TRunTotals totals_;

  // The picture hook's failures by task, written on the workers.
  mutable std::mutex hookErrorsLock_;
  std::vector<std::string> hookErrors_;
};
