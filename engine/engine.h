// The conversion engine component: a list of tasks, run one after another (or a few at once)
// on worker threads or inline, with progress, per-picture hook, preview and end notices.
//
// All operations are called from the main thread. Events: OnProgress and OnPreviewBitmap run
// on the main thread when TriggerEventInMainThread is set (the worker waits for them);
// OnCustomHook runs on the worker; OnTerminate runs, in threaded runs, on a notice thread of
// its own with its own copy of the record, in the order the notices were issued; in inline
// runs on the caller's thread. The end-of-run notice carries TaskIndex -1.
//
// Every event call gets a record of its own (the calling task's), and no lock of the
// component is held while a handler runs: with TriggerEventInMainThread false a handler on
// the worker can copy the record and post it to its main thread, and the hooks of tasks
// running at once never wait for each other.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/options.h"
#include "engine/task.h"
#include "engine/thread_priority.h"
#include "media/logger.h"
#include "media/probe.h"

// Owning list of tasks: freeing an entry stops the task (waiting) and frees it.
class TFFmpegList {
public:
  int Count() const { return int(items_.size()); }
  TFFmpeg* operator[](int index) const { return items_.at(size_t(index)).get(); }
  int Add(TFFmpegPtr task);
  // Takes the entry out of the list; later entries move down one index.
  TFFmpegPtr Extract(int index);
  // Empties the list and hands over its entries (to be freed outside any lock).
  std::vector<TFFmpegPtr> ExtractAll();
  int IndexOf(const TCustomFFmpeg* task) const;

private:
  std::vector<TFFmpegPtr> items_;
};

class TCustomConvertEngine;

namespace engine {

// Delivers one OnTerminate notice on a thread of its own with its own copy of the record.
// Notices are delivered in the order they were issued (each waits for its turn); the thread
// frees itself.
class TDoTerminateThread {
public:
  TDoTerminateThread(TCustomConvertEngine* owner, TTerminateEvent handler, const TTerminateInfo& info, uint64_t ticket);
  void Resume();

private:
  void Execute();
  TCustomConvertEngine* owner_;
  TTerminateEvent handler_;
  TTerminateInfo info_;
  uint64_t ticket_;
};

}  // namespace engine

class TCustomConvertEngine : public TFFBaseComponent {
public:
  TCustomConvertEngine();
  ~TCustomConvertEngine() override;
  TCustomConvertEngine(const TCustomConvertEngine&) = delete;
  TCustomConvertEngine& operator=(const TCustomConvertEngine&) = delete;

  // Sets the codec-library folder and loads the engine's libraries; on failure the loader's
  // error text goes to LastErrMsg.
  bool LoadAVLib(const std::string& path);

  // Creates a task and opens its input. -1 on failure, with the reason in LastErrMsg.
  // Raises "Cannot AddTask while working." during a run and until ClearTasks.
  int AddTask(const std::string& fileName, const TInputOptions* inputOptions = nullptr);
  int AddTask(const std::string& fileName, const TInputOptions& inputOptions) {
    return AddTask(fileName, &inputOptions);
  }
  // Adds one output file to a task. False on failure, with the reason in LastErrMsg.
  bool SetOutputFile(int taskIndex, const std::string& fileName, const TOutputOptions* outputOptions = nullptr);
  bool SetOutputFile(int taskIndex, const std::string& fileName, const TOutputOptions& outputOptions) {
    return SetOutputFile(taskIndex, fileName, &outputOptions);
  }
  void RemoveTask(int taskIndex);
  void ClearTasks();
  // Parallel > 0: up to Parallel tasks at once on worker threads; <= 0: every task on the
  // caller's thread, returning after the end-of-run notice.
  void StartTask(int parallel);
  void PauseTask();
  void ResumeTask();
  void StopTask(bool wait);

  int TasksCount() const;
  // The task at an index (null when out of range).
  TFFmpeg* Task(int taskIndex) const;

  std::string LastErrMsg() const;
  const std::string& Version() const;

  // The component's own media probe, for probing files without a task.
  TAVProbe& AVProbe() { return avProbe_; }
  // The media probe bound to an opened input of a task; null (never an exception) for a task
  // or file index without one. Valid until the task's files are closed at the end of its run.
  TAVProbe* InputProbe(int taskIndex, int fileIndex) const;

  // Run counters.
  int FinishedCount() const;
  int NextTaskIndex() const;
  int PendingCount() const;
  bool AllDone() const { return allDone_; }
  bool Threaded() const { return threaded_; }
  bool Working() const { return working_; }

protected:
  // Makes an empty task for AddTask: a transcoder. A subclass that returns null makes AddTask
  // fail with "Cannot open input: transcoder not available".
  virtual TFFmpegPtr CreateTask();

  bool Preview() const { return preview_; }
  void SetPreview(bool value);
  bool PreviewBitmap() const { return previewBitmap_; }
  void SetPreviewBitmap(bool value);
  int ProgressInterval() const { return progressInterval_; }
  // Values below 100 ms are stored as 100.
  void SetProgressInterval(int value);
  TThreadPriority ThreadPriority() const { return threadPriority_; }
  void SetThreadPriority(TThreadPriority value) { threadPriority_ = value; }
  bool TriggerEventInMainThread() const { return triggerEventInMainThread_; }
  void SetTriggerEventInMainThread(bool value) { triggerEventInMainThread_ = value; }
  void SetOnCustomHook(TCustomHookEvent handler);
  void SetOnCustomHookNeeded(TCustomHookNeededEvent handler);
  void SetOnPreviewBitmap(TPreviewBitmapEvent handler);
  void SetOnProgress(TProgressEvent handler);
  void SetOnTerminate(TTerminateEvent handler);

private:
  friend class engine::TDoTerminateThread;

  TAVProbe avProbe_;

  void CheckWorking(const char* operation) const;
  void SetLastErrMsg(const std::string& text);
  int IndexOfTask(const TCustomFFmpeg* task) const;
  void ConnectTask(TFFmpeg* task);

  // Run machinery; the caller holds runLock_. ClaimNextTask takes the next pending task off
  // the queue (null when none is pending); StartNextTask claims and starts it on a worker.
  TFFmpeg* ClaimNextTask();
  void StartNextTask();
  void SendEndOfRun(std::unique_lock<std::recursive_mutex>& lock);
  void DeliverTerminate(const TTerminateInfo& info, std::unique_lock<std::recursive_mutex>& lock);

  // The components' side of the task callbacks.
  void DispatchTerminate(TCustomFFmpeg* task);
  void DispatchProgress(TCustomFFmpeg* task, TProgressInfo& info);
  void DispatchHook(TCustomFFmpeg* task, THookInfo& info);
  bool DispatchHookNeeded(TCustomFFmpeg* task, int64_t pts);
  void DispatchPreview(TCustomFFmpeg* task, TPreviewInfo& info);

  // Notice threads: issue a ticket, wait for the turn, mark one delivered.
  uint64_t IssueNoticeTicket();
  void WaitNoticeTurn(uint64_t ticket);
  void NoticeDelivered();
  void WaitForNoticeThreads();
  TWorkerThreads& NoticeThreads() { return noticeThreads_; }

  mutable std::mutex listLock_;
  TFFmpegList tasks_;

  // The terminate lock: the terminate record, the run counters and the starting of tasks.
  // Recursive because a task that fails at its start terminates (and dispatches) at once.
  mutable std::recursive_mutex runLock_;
  int finishedCount_ = 0;
  int nextTaskIndex_ = -1;
  int pendingCount_ = 0;
  bool endOfRunSent_ = false;
  bool inlineLoop_ = false;
  bool endOfRunDue_ = false;
  std::atomic<bool> allDone_{false};
  std::atomic<bool> threaded_{false};
  std::atomic<bool> working_{false};
  std::atomic<bool> paused_{false};
  TTerminateInfo terminateInfo_;

  mutable std::mutex handlersLock_;
  TCustomHookEvent onCustomHook_;
  TCustomHookNeededEvent onCustomHookNeeded_;
  TPreviewBitmapEvent onPreviewBitmap_;
  TProgressEvent onProgress_;
  TTerminateEvent onTerminate_;

  std::mutex noticeLock_;
  std::condition_variable noticeCv_;
  uint64_t nextTicket_ = 0;
  uint64_t deliverTurn_ = 0;
  int liveNoticeThreads_ = 0;

  std::atomic<bool> preview_{false};
  std::atomic<bool> previewBitmap_{false};
  std::atomic<int> progressInterval_{500};
  std::atomic<TThreadPriority> threadPriority_{tpNormal};
  std::atomic<bool> triggerEventInMainThread_{true};
  int verbose_ = 1;
  std::string lastErrMsg_;

  // Last member: the notice threads are joined before anything else of the component goes.
  TWorkerThreads noticeThreads_;
};

// The published component.
class TConvertEngine : public TCustomConvertEngine {
public:
  using TCustomConvertEngine::Preview;
  using TCustomConvertEngine::PreviewBitmap;
  using TCustomConvertEngine::ProgressInterval;
  using TCustomConvertEngine::SetOnCustomHook;
  using TCustomConvertEngine::SetOnCustomHookNeeded;
  using TCustomConvertEngine::SetOnPreviewBitmap;
  using TCustomConvertEngine::SetOnProgress;
  using TCustomConvertEngine::SetOnTerminate;
  using TCustomConvertEngine::SetPreview;
  using TCustomConvertEngine::SetPreviewBitmap;
  using TCustomConvertEngine::SetProgressInterval;
  using TCustomConvertEngine::SetThreadPriority;
  using TCustomConvertEngine::SetTriggerEventInMainThread;
  using TCustomConvertEngine::ThreadPriority;
  using TCustomConvertEngine::TriggerEventInMainThread;
};
