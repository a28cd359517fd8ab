// One conversion task of the engine component and the threads that run it.
//
// `TCustomFFmpeg` holds the state every task shares (run flags, error texts, the input and
// output slots, pacing, preview flags, the four event callbacks) and the task operations
// Start/Run/Stop/DoTerminate. The transcoder derives from `TFFmpeg` and supplies the work
// itself: opening inputs and outputs from the option records and the transcode.
//
// Threads: a threaded task runs on a `TConvertThread` that frees itself when the task ends.
// A task stopped before it ever ran receives its end notice through a
// `transcoder::TDoTerminateThread`. Pausing is a gate that the transcode loop passes at the
// top of each turn (`PassPauseGate`), at points where the worker holds no codec lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/options.h"
#include "engine/thread_priority.h"
#include "engine/worker_threads.h"

// A manual-reset event.
class TEvent {
public:
  explicit TEvent(bool signalled) : set_(signalled) {}
  void Set();
  void Reset();
  bool IsSet() const;
  // Waits up to timeoutMs; true when the event is signalled.
  bool WaitFor(int timeoutMs);

private:
  mutable std::mutex lock_;
  std::condition_variable cv_;
  bool set_;
};

// Waits until the event is signalled, in steps of 20 ms. On the main thread the calls that
// worker threads are waiting to run there are processed between two steps, so that a worker
// blocked in a marshalled event can finish.
void WaitEventPumping(TEvent& event);

// The global lock around every task's Flags and the preview step that reads them.
std::mutex& PreviewFlagsLock();

constexpr int kFlagPreviewWindow = 1;  // bit 0: pictures shown in a previewer window
constexpr int kFlagPreviewBitmap = 2;  // bit 1: the preview-bitmap event is raised
constexpr int kMaxInputFiles = 20;
constexpr int kMaxOutputFiles = 20;
constexpr int64_t kDefaultProgressIntervalUs = 500000;
constexpr int64_t kPreviewIntervalUs = 100000;

class TConvertThread;
class TAVProbe;

class TCustomFFmpeg {
public:
  // Callbacks to the owner (the engine component connects them when the task is added).
  using TTaskProgress = std::function<void(TCustomFFmpeg* task, TProgressInfo& info)>;
  using TTaskHook = std::function<void(TCustomFFmpeg* task, THookInfo& info)>;
  // Asked before a picture is converted for the hook: false means the hook would leave this
  // picture as it is, so it is passed on without the round trip through the bitmap.
  using TTaskHookNeeded = std::function<bool(TCustomFFmpeg* task, int frameNumber, int64_t pts)>;
  using TTaskPreview = std::function<void(TCustomFFmpeg* task, TPreviewInfo& info)>;
  using TTaskTerminate = std::function<void(TCustomFFmpeg* task)>;

  TCustomFFmpeg();
  virtual ~TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

  // ---- Task operations ----

  // Does nothing (and returns null) when the task is working or terminated. Checks that an
  // output and an input exist; a failed check is logged at llQuiet, stored as
  // Exception/ExceptionMsg, the files are closed and the task terminated at once. Inline the
  // task runs to its end here and null is returned; threaded a suspended worker thread is
  // returned, which the caller starts with TConvertThread::Resume.
  TConvertThread* Start(bool threaded, TThreadPriority priority);
  // The worker body: the transcode, then (each step guarded) closing encoders and decoders
  // under the codec lock, closing the files, DoTerminate.
  void Run();
  // Working false, Terminated true, no thread, then the terminate callback.
  void DoTerminate();
  // Asks the transcode to end at its next turn and opens the pause gate; with wait, returns
  // once the worker has ended (draining main-thread calls when called on the main thread).
  void Stop(bool wait);
  // Stops with waiting, waits for a pending end notice and closes the files: the step before
  // a task is freed (see TTaskDeleter).
  void Shutdown();

  // ---- Pause gate ----
  void Pause();
  void Resume();
  bool Paused() const;
  // True while the worker stands at the closed gate.
  bool HeldAtGate() const;
  // Called by the transcode loop at the top of each turn, never while the codec lock is held:
  // waits while the task is paused and not asked to stop.
  void PassPauseGate();

  // ---- State ----
  bool Working() const { return working_; }
  bool StopRequested() const { return stopRequested_; }
  bool Finished() const { return finished_; }
  bool Terminated() const { return terminated_; }
  bool Exception() const { return exception_; }
  std::string ExceptionMsg() const;
  bool HasThread() const { return hasThread_; }
  // Set when an input ended before its known length: where it ended and that length (µs).
  bool EndedEarly() const { return endedEarly_; }
  int64_t EndedAtUs() const { return endedAtUs_; }
  int64_t InputDurationUs() const { return inputDurationUs_; }
  // Text of the last failed set-up step.
  const std::string& LastError() const { return lastError_; }
  void SetLastError(const std::string& text) { lastError_ = text; }

  int Verbose() const { return verbose_; }
  void SetVerbose(int value) { verbose_ = value; }
  int64_t ProgressIntervalUs() const { return progressIntervalUs_; }
  void SetProgressIntervalUs(int64_t value) { progressIntervalUs_ = value; }
  int64_t PreviewIntervalUs() const { return kPreviewIntervalUs; }

  // Flags (bit 0 previewer window, bit 1 preview-bitmap event). These take the global flags
  // lock; FlagsLocked is for code that already holds PreviewFlagsLock().
  int Flags() const;
  void SetFlagBit(int bit, bool on);
  int& FlagsLocked() { return flags_; }

  int InputCount() const { return int(inputFiles_.size()); }
  int OutputCount() const { return int(outputFiles_.size()); }
  const std::string& InputFileName(int index) const { return inputFiles_.at(size_t(index)); }
  const std::string& OutputFileName(int index) const { return outputFiles_.at(size_t(index)).FileName; }

  // Callbacks are connected while the task is not running.
  void SetProgressCallback(TTaskProgress cb) { onProgress_ = std::move(cb); }
  void SetHookCallback(TTaskHook cb) { onHook_ = std::move(cb); }
  void SetHookNeededCallback(TTaskHookNeeded cb) { onHookNeeded_ = std::move(cb); }
  void SetPreviewCallback(TTaskPreview cb) { onPreview_ = std::move(cb); }
  void SetTerminateCallback(TTaskTerminate cb) { onTerminate_ = std::move(cb); }
  bool HasProgressCallback() const { return bool(onProgress_); }
  bool HasHookCallback() const { return bool(onHook_); }
  bool HasPreviewCallback() const { return bool(onPreview_); }

  // Manual-reset events, created signalled: reset while a worker thread (or an end-notice
  // thread) is about to run the task, set when it has ended.
  TEvent& ThreadDone() { return threadDone_; }
  TEvent& TerminateDone() { return terminateDone_; }
  // The task's worker and end-notice threads, joined when the task is freed.
  TWorkerThreads& Threads() { return threads_; }

  // Used by the worker thread when it could not be created: the task ends with the error.
  void FailToStart(const std::string& message);

  // Set by the engine component, under its run lock, when it hands the task to a run.
  bool Queued = false;

protected:
  // The transcode itself (set-up, packet loop, finish). Runs on the worker, or on the
  // caller's thread inline. It reads StopRequested and passes the pause gate at the top of
  // each turn; errors are raised as FFmpegException.
  virtual void Transcode() = 0;
  // Runs on the worker before Transcode; false fails the task with LastError.
  virtual bool BeforeTranscode() { return true; }
  // Close every encoder / decoder still open. Run() calls each with the codec lock held.
  virtual void CloseEncoders() {}
  virtual void CloseDecoders() {}
  // Closes the I/O of every output, so that an output that stayed empty can be recognised.
  virtual void CloseOutputs() {}
  // Frees output contexts, inputs and everything else the transcode set up.
  virtual void ReleaseFiles() {}

  // Records that an input ended early (the first such input counts).
  void NoteEndedEarly(int64_t endedAtUs, int64_t durationUs);

  // Registers an opened input / output (the slots the start checks and the clean-up use).
  void AddInputFile(const std::string& fileName);
  void AddOutputFile(const std::string& fileName, bool join);

  // Raise the events through the owner; each does nothing without a connected callback.
  void DoProgress(TProgressInfo& info);
  void DoHook(THookInfo& info);
  // True unless a connected hook-needed callback says the picture stays as it is.
  bool HookNeeded(int frameNumber, int64_t pts);
  void DoPreview(TPreviewInfo& info);

  // Closes the outputs, deletes an output file that is empty (only the first slot in join
  // mode), releases everything else and empties the slot lists.
  void CloseFiles();

private:
  struct TOutputSlot {
    std::string FileName;
    bool Join = false;
  };
  // Logs the message at llQuiet and records it as the task's exception.
  void RecordError(const std::string& message);
  template <typename F>
  void Guarded(F&& step);

  std::atomic<bool> working_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> terminated_{false};
  std::atomic<bool> exception_{false};
  std::atomic<bool> hasThread_{false};
  std::atomic<bool> endedEarly_{false};
  std::atomic<int64_t> endedAtUs_{-1};
  std::atomic<int64_t> inputDurationUs_{-1};
  mutable std::mutex errorLock_;
  std::string exceptionMsg_;
  std::string lastError_;
  int verbose_ = 1;
  std::atomic<int64_t> progressIntervalUs_{kDefaultProgressIntervalUs};
  int flags_ = 0;

  std::vector<std::string> inputFiles_;
  std::vector<TOutputSlot> outputFiles_;

  TTaskProgress onProgress_;
  TTaskHook onHook_;
  TTaskHookNeeded onHookNeeded_;
  TTaskPreview onPreview_;
  TTaskTerminate onTerminate_;

  TEvent threadDone_{true};
  TEvent terminateDone_{true};

  mutable std::mutex gateLock_;
  std::condition_variable gateCv_;
  bool paused_ = false;
  bool heldAtGate_ = false;

  // Last member: joined first when the task is freed.
  TWorkerThreads threads_;
};

// A task with its stored option records: one copy per opened input and output slot. The
// transcoder derives from it and implements the opening of inputs and outputs.
class TFFmpeg : public TCustomFFmpeg {
public:
  // Opens the task's next input: fills an empty record FileName from the argument, stores a
  // copy and has the transcoder apply it and open the file. False with LastError set on
  // failure; set-up errors may also be raised as FFmpegException.
  bool OpenInput(const std::string& fileName, const TInputOptions* options);
  // Adds one output file in the same way (Join is false without a record).
  bool OpenOutput(const std::string& fileName, const TOutputOptions* options);

  const TInputOptions& InputOptions(int index) const { return inputOptions_.at(size_t(index)); }
  const TOutputOptions& OutputOptions(int index) const { return outputOptions_.at(size_t(index)); }
  // The media probe bound to an opened input; null for an index without one, and while the
  // task is queued with its files closed (Park). Valid until the task's files are closed.
  virtual TAVProbe* InputProbe(int index) const {
    (void)index;
    return nullptr;
  }

  // A queued task holds no open file and little memory: Park closes what the openings made
  // (an output file stays on disk, empty) and keeps the records; the task opens its files
  // again from the records when it runs, or when another input or output is added.
  void Park();
  bool Parked() const { return parked_; }
  // Opens a parked task's files again from the records; false with LastError on failure
  // (the task then stays parked). Does nothing for a task that is not parked.
  bool Unpark();

protected:
  // Applies the record and opens the input it names. hasRecord is false when the caller gave
  // only a file name (the record then holds nothing but FileName).
  virtual bool OpenInputFile(const TInputOptions& options, bool hasRecord) = 0;
  virtual bool OpenOutputFile(const TOutputOptions& options, bool hasRecord) = 0;
  // Frees everything the openings made and returns the option state to its defaults; false
  // (the default) for a task that cannot open its files again, which then stays open.
  virtual bool ResetOpenedFiles() { return false; }
  bool BeforeTranscode() override { return Unpark(); }

private:
  std::vector<TInputOptions> inputOptions_;
  std::vector<TOutputOptions> outputOptions_;
  std::vector<bool> inputHasRecord_, outputHasRecord_;
  bool parked_ = false;
};

// Frees a task: Shutdown first (the worker must be gone before the derived parts are), then
// the object.
struct TTaskDeleter {
  void operator()(TCustomFFmpeg* task) const;
};
using TFFmpegPtr = std::unique_ptr<TFFmpeg, TTaskDeleter>;

// Runs one task on a thread of its own. Created suspended by TCustomFFmpeg::Start; Resume
// starts it, after which the object belongs to the thread and frees itself. The task's
// thread-done event is set when the task has ended.
class TConvertThread {
public:
  TConvertThread(TCustomFFmpeg* task, TThreadPriority priority) : task_(task), priority_(priority) {}
  void Resume();
  TThreadPriority Priority() const { return priority_; }

private:
  void Execute();
  TCustomFFmpeg* task_;
  TThreadPriority priority_;
};

namespace transcoder {

// Delivers the end notice of a task stopped before it ever ran: DoTerminate on a thread of
// its own between resetting and setting the task's terminate-done event; frees itself.
class TDoTerminateThread {
public:
  explicit TDoTerminateThread(TCustomFFmpeg* task);
  void Resume();

private:
  void Execute();
  TCustomFFmpeg* task_;
};

}  // namespace transcoder
