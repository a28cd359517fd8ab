#include "engine/engine.h"
#include "engine/transcoder/transcoder.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "media/dispatcher.h"
#include "media/errors.h"
#include "media/loader.h"

namespace {
const std::string kVersion = "3.3";
}

// ---- TFFmpegList ----

int TFFmpegList::Add(TFFmpegPtr task) {
  items_.push_back(std::move(task));
  return int(items_.size()) - 1;
}

TFFmpegPtr TFFmpegList::Extract(int index) {
  TFFmpegPtr task = std::move(items_.at(size_t(index)));
  items_.erase(items_.begin() + index);
  return task;
}

std::vector<TFFmpegPtr> TFFmpegList::ExtractAll() {
  std::vector<TFFmpegPtr> all;
  all.swap(items_);
  return all;
}

int TFFmpegList::IndexOf(const TCustomFFmpeg* task) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == task) return int(i);
  return -1;
}

// ---- engine::TDoTerminateThread ----

namespace engine {

TDoTerminateThread::TDoTerminateThread(TCustomConvertEngine* owner, TTerminateEvent handler, const TTerminateInfo& info,
                                       uint64_t ticket)
    : owner_(owner), handler_(std::move(handler)), info_(info), ticket_(ticket) {}

void TDoTerminateThread::Resume() {
  try {
    owner_->NoticeThreads().Start([this] { Execute(); });
  } catch (const std::system_error&) {
    // No thread to be had: deliver on the caller's thread, still in issue order.
    Execute();
  }
}

void TDoTerminateThread::Execute() {
  TCustomConvertEngine* owner = owner_;
  TTerminateEvent handler = std::move(handler_);
  TTerminateInfo info = std::move(info_);
  uint64_t ticket = ticket_;
  delete this;
  owner->WaitNoticeTurn(ticket);
  try {
    handler(owner, &info);
  } catch (const std::exception& e) {
    GetFFLogger().Log(owner, llError, e.what());
  } catch (...) {
    GetFFLogger().Log(owner, llError, "Unknown error in OnTerminate handler");
  }
  // Last touch of the component: it may be freed as soon as no notice thread is left.
  owner->NoticeDelivered();
}

}  // namespace engine

// ---- TCustomConvertEngine ----

TCustomConvertEngine::TCustomConvertEngine() = default;

TCustomConvertEngine::~TCustomConvertEngine() {
  try {
    if (working_) StopTask(true);
  } catch (const std::exception& e) {
    GetFFLogger().Log(this, llError, e.what());
  }
  std::vector<TFFmpegPtr> all;
  {
    std::lock_guard<std::mutex> g(listLock_);
    all = tasks_.ExtractAll();
  }
  all.clear();
  WaitForNoticeThreads();
}

bool TCustomConvertEngine::LoadAVLib(const std::string& path) {
  TFFmpegLoader& loader = FFLoader();
  loader.SetLibraryFolder(path);
  if (!loader.LoadLibs(kEngineLibs)) {
    SetLastErrMsg(loader.LastError());
    return false;
  }
  return true;
}

void TCustomConvertEngine::CheckWorking(const char* operation) const {
  if (working_) throw FFmpegException(StrFormat("Cannot %s while working.", operation));
}

void TCustomConvertEngine::SetLastErrMsg(const std::string& text) {
  GetFFLogger().Log(this, llError, text);
  lastErrMsg_ = text;
}

std::string TCustomConvertEngine::LastErrMsg() const { return lastErrMsg_; }

const std::string& TCustomConvertEngine::Version() const { return kVersion; }

TFFmpegPtr TCustomConvertEngine::CreateTask() { return TFFmpegPtr(new TTranscoder()); }

int TCustomConvertEngine::TasksCount() const {
  std::lock_guard<std::mutex> g(listLock_);
  return tasks_.Count();
}

TFFmpeg* TCustomConvertEngine::Task(int taskIndex) const {
  std::lock_guard<std::mutex> g(listLock_);
  if (taskIndex < 0 || taskIndex >= tasks_.Count()) return nullptr;
  return tasks_[taskIndex];
}

int TCustomConvertEngine::IndexOfTask(const TCustomFFmpeg* task) const {
  std::lock_guard<std::mutex> g(listLock_);
  return tasks_.IndexOf(task);
}

TAVProbe* TCustomConvertEngine::InputProbe(int taskIndex, int fileIndex) const {
  std::lock_guard<std::mutex> g(listLock_);
  if (taskIndex < 0 || taskIndex >= tasks_.Count()) return nullptr;
  return tasks_[taskIndex]->InputProbe(fileIndex);
}

int TCustomConvertEngine::FinishedCount() const {
  std::lock_guard<std::recursive_mutex> g(runLock_);
  return finishedCount_;
}

int TCustomConvertEngine::NextTaskIndex() const {
  std::lock_guard<std::recursive_mutex> g(runLock_);
  return nextTaskIndex_;
}

int TCustomConvertEngine::PendingCount() const {
  std::lock_guard<std::recursive_mutex> g(runLock_);
  return pendingCount_;
}

void TCustomConvertEngine::ConnectTask(TFFmpeg* task) {
  task->SetProgressCallback([this](TCustomFFmpeg* t, TProgressInfo& info) { DispatchProgress(t, info); });
  task->SetTerminateCallback([this](TCustomFFmpeg* t) { DispatchTerminate(t); });
}

int TCustomConvertEngine::AddTask(const std::string& fileName, const TInputOptions* inputOptions) {
  CheckWorking("AddTask");
  try {
    TFFmpegPtr task = CreateTask();
    if (!task) {
      SetLastErrMsg("Cannot open input: transcoder not available");
      return -1;
    }
    task->SetVerbose(verbose_);
    task->SetFlagBit(kFlagPreviewWindow, preview_);
    task->SetFlagBit(kFlagPreviewBitmap, previewBitmap_);
    task->SetPreviewCallback([this](TCustomFFmpeg* t, TPreviewInfo& info) { DispatchPreview(t, info); });
    if (!task->OpenInput(fileName, inputOptions)) {
      SetLastErrMsg(task->LastError());
      return -1;
    }
    // Checked now, opened again when the task starts: a long queue holds no open file.
    task->Park();
    ConnectTask(task.get());
    std::lock_guard<std::mutex> g(listLock_);
    return tasks_.Add(std::move(task));
  } catch (const std::exception& e) {
    SetLastErrMsg(e.what());
    return -1;
  }
}

bool TCustomConvertEngine::SetOutputFile(int taskIndex, const std::string& fileName,
                                         const TOutputOptions* outputOptions) {
  CheckWorking("SetOutputFile");
  TFFmpeg* task = Task(taskIndex);
  if (!task) {
    SetLastErrMsg(StrFormat("Invalid task index %d", taskIndex));
    return false;
  }
  if (task->OutputCount() >= kMaxOutputFiles) {
    SetLastErrMsg(StrFormat("max output files %d reached", kMaxOutputFiles));
    return false;
  }
  try {
    if (outputOptions && outputOptions->CustomHook) {
      task->SetHookCallback([this](TCustomFFmpeg* t, THookInfo& info) { DispatchHook(t, info); });
      task->SetHookNeededCallback([this](TCustomFFmpeg* t, int, int64_t pts) { return DispatchHookNeeded(t, pts); });
    }
    const bool ok = task->OpenOutput(fileName, outputOptions);
    if (!ok) SetLastErrMsg(task->LastError());
    // Checked now, opened again when the task starts.
    task->Park();
    return ok;
  } catch (const std::exception& e) {
    SetLastErrMsg(e.what());
    task->Park();
    return false;
  }
}

void TCustomConvertEngine::RemoveTask(int taskIndex) {
  CheckWorking("RemoveTask");
  TFFmpegPtr task;
  {
    std::lock_guard<std::mutex> g(listLock_);
    if (taskIndex < 0 || taskIndex >= tasks_.Count())
      throw FFmpegException(StrFormat("List index out of bounds (%d)", taskIndex));
    task = tasks_.Extract(taskIndex);
  }
  // Freed here, outside the list lock: freeing waits for the task's threads.
}

void TCustomConvertEngine::ClearTasks() {
  if (working_ && !allDone_) throw FFmpegException("Cannot ClearTasks while working.");
  std::vector<TFFmpegPtr> all;
  {
    std::lock_guard<std::mutex> g(listLock_);
    all = tasks_.ExtractAll();
  }
  all.clear();
  std::lock_guard<std::recursive_mutex> g(runLock_);
  finishedCount_ = 0;
  nextTaskIndex_ = -1;
  pendingCount_ = 0;
  endOfRunSent_ = false;
  endOfRunDue_ = false;
  inlineLoop_ = false;
  allDone_ = false;
  threaded_ = false;
  working_ = false;
}

TFFmpeg* TCustomConvertEngine::ClaimNextTask() {
  if (pendingCount_ <= 0) return nullptr;
  TFFmpeg* task = Task(nextTaskIndex_);
  if (!task) {
    pendingCount_ = 0;
    return nullptr;
  }
  --pendingCount_;
  // Counted before the start: a task that fails at once dispatches its end, and that
  // dispatch must see this one as taken.
  ++nextTaskIndex_;
  task->Queued = true;
  task->SetProgressIntervalUs(int64_t(progressInterval_) * 1000);
  if (threaded_ && paused_) task->Pause();
  return task;
}

void TCustomConvertEngine::StartNextTask() {
  TFFmpeg* task = ClaimNextTask();
  if (!task) return;
  if (TConvertThread* thread = task->Start(true, threadPriority_)) thread->Resume();
}

void TCustomConvertEngine::StartTask(int parallel) {
  CheckWorking("StartTask");
  std::unique_lock<std::recursive_mutex> lock(runLock_);
  int count = TasksCount();
  finishedCount_ = 0;
  nextTaskIndex_ = 0;
  pendingCount_ = count;
  allDone_ = false;
  threaded_ = parallel > 0;
  working_ = true;
  paused_ = false;
  endOfRunSent_ = false;
  endOfRunDue_ = false;
  inlineLoop_ = false;
  if (count == 0) {
    // Nothing to run: the run ends at once, so that it can be cleared.
    SendEndOfRun(lock);
    return;
  }
  if (threaded_) {
    // Held while starting: an early ending task starts its successor only after this loop.
    for (int started = 0; pendingCount_ > 0 && started < parallel; ++started) StartNextTask();
    return;
  }
  inlineLoop_ = true;
  while (TFFmpeg* task = ClaimNextTask()) {
    lock.unlock();
    task->Start(false, threadPriority_);
    lock.lock();
  }
  inlineLoop_ = false;
  // The end-of-run notice of an inline run comes after the last task has returned, so that
  // its handler may clear the list.
  if (endOfRunDue_) SendEndOfRun(lock);
}

void TCustomConvertEngine::PauseTask() {
  std::lock_guard<std::recursive_mutex> run(runLock_);
  paused_ = true;
  std::lock_guard<std::mutex> g(listLock_);
  for (int i = 0; i < tasks_.Count(); ++i)
    if (tasks_[i]->HasThread()) tasks_[i]->Pause();
}

void TCustomConvertEngine::ResumeTask() {
  std::lock_guard<std::recursive_mutex> run(runLock_);
  paused_ = false;
  std::lock_guard<std::mutex> g(listLock_);
  for (int i = 0; i < tasks_.Count(); ++i) tasks_[i]->Resume();
}

void TCustomConvertEngine::StopTask(bool wait) {
  // Without a run there is nothing to stop; marking idle tasks as ended would make a later
  // run skip them and never finish.
  if (!working_) return;
  struct Action {
    TFFmpeg* task;
    bool running;
  };
  std::vector<Action> actions;
  {
    std::lock_guard<std::recursive_mutex> run(runLock_);
    pendingCount_ = 0;
    std::lock_guard<std::mutex> g(listLock_);
    for (int i = 0; i < tasks_.Count(); ++i) {
      TFFmpeg* task = tasks_[i];
      if (task->Queued) {
        if (task->Working()) actions.push_back({task, true});
      } else if (!task->Terminated()) {
        task->Queued = true;
        actions.push_back({task, false});
      }
    }
  }
  for (const Action& a : actions) {
    if (a.running) {
      a.task->Stop(wait);
    } else {
      (new transcoder::TDoTerminateThread(a.task))->Resume();
      if (wait) WaitEventPumping(a.task->TerminateDone());
    }
  }
}

void TCustomConvertEngine::SetPreview(bool value) {
  preview_ = value;
  std::vector<TFFmpeg*> tasks;
  {
    std::lock_guard<std::mutex> g(listLock_);
    for (int i = 0; i < tasks_.Count(); ++i) tasks.push_back(tasks_[i]);
  }
  for (TFFmpeg* t : tasks) t->SetFlagBit(kFlagPreviewWindow, value);
}

void TCustomConvertEngine::SetPreviewBitmap(bool value) {
  previewBitmap_ = value;
  std::vector<TFFmpeg*> tasks;
  {
    std::lock_guard<std::mutex> g(listLock_);
    for (int i = 0; i < tasks_.Count(); ++i) tasks.push_back(tasks_[i]);
  }
  for (TFFmpeg* t : tasks) t->SetFlagBit(kFlagPreviewBitmap, value);
}

void TCustomConvertEngine::SetProgressInterval(int value) { progressInterval_ = value < 100 ? 100 : value; }

void TCustomConvertEngine::SetOnCustomHook(TCustomHookEvent handler) {
  std::lock_guard<std::mutex> g(handlersLock_);
  onCustomHook_ = std::move(handler);
}

void TCustomConvertEngine::SetOnCustomHookNeeded(TCustomHookNeededEvent handler) {
  std::lock_guard<std::mutex> g(handlersLock_);
  onCustomHookNeeded_ = std::move(handler);
}

void TCustomConvertEngine::SetOnPreviewBitmap(TPreviewBitmapEvent handler) {
  std::lock_guard<std::mutex> g(handlersLock_);
  onPreviewBitmap_ = std::move(handler);
}

void TCustomConvertEngine::SetOnProgress(TProgressEvent handler) {
  std::lock_guard<std::mutex> g(handlersLock_);
  onProgress_ = std::move(handler);
}

void TCustomConvertEngine::SetOnTerminate(TTerminateEvent handler) {
  std::lock_guard<std::mutex> g(handlersLock_);
  onTerminate_ = std::move(handler);
}

// ---- Event dispatch ----

void TCustomConvertEngine::DeliverTerminate(const TTerminateInfo& info, std::unique_lock<std::recursive_mutex>& lock) {
  TTerminateEvent handler;
  {
    std::lock_guard<std::mutex> g(handlersLock_);
    handler = onTerminate_;
  }
  if (!handler) return;
  terminateInfo_ = info;
  if (threaded_) {
    (new engine::TDoTerminateThread(this, std::move(handler), terminateInfo_, IssueNoticeTicket()))->Resume();
    return;
  }
  // Inline: on the caller's thread, with a copy and without the lock, so that the handler
  // may call StopTask or (at the end of the run) ClearTasks.
  TTerminateInfo copy = terminateInfo_;
  lock.unlock();
  try {
    handler(this, &copy);
  } catch (const std::exception& e) {
    GetFFLogger().Log(this, llError, e.what());
  } catch (...) {
    GetFFLogger().Log(this, llError, "Unknown error in OnTerminate handler");
  }
  lock.lock();
}

void TCustomConvertEngine::SendEndOfRun(std::unique_lock<std::recursive_mutex>& lock) {
  if (endOfRunSent_) return;
  endOfRunSent_ = true;
  endOfRunDue_ = false;
  // Set before the notice goes out: its handler is where the list gets cleared.
  allDone_ = true;
  TTerminateInfo info;
  info.TaskIndex = -1;
  info.Finished = true;
  info.Exception = false;
  DeliverTerminate(info, lock);
}

void TCustomConvertEngine::DispatchTerminate(TCustomFFmpeg* task) {
  std::unique_lock<std::recursive_mutex> lock(runLock_);
  TTerminateInfo info;
  info.TaskIndex = IndexOfTask(task);
  info.Finished = task->Finished();
  info.Exception = task->Exception();
  info.ExceptionMsg = task->ExceptionMsg();
  info.EndedEarly = task->EndedEarly();
  if (info.EndedEarly) {
    info.EndedAtUs = task->EndedAtUs();
    info.DurationUs = task->InputDurationUs();
  }
  DeliverTerminate(info, lock);
  ++finishedCount_;
  if (pendingCount_ <= 0 && finishedCount_ >= TasksCount()) {
    if (!threaded_ && inlineLoop_)
      endOfRunDue_ = true;
    else
      SendEndOfRun(lock);
  } else if (pendingCount_ > 0 && threaded_) {
    StartNextTask();
  }
}

void TCustomConvertEngine::DispatchProgress(TCustomFFmpeg* task, TProgressInfo& info) {
  TProgressEvent handler;
  {
    std::lock_guard<std::mutex> g(handlersLock_);
    handler = onProgress_;
  }
  if (!handler) return;
  // The record is the task's own (it lives on the worker's stack): tasks running at once do
  // not share it, and no lock of the component is held while the handler runs.
  info.TaskIndex = IndexOfTask(task);
  auto call = [&] { handler(this, &info); };
  if (triggerEventInMainThread_ && !IsMainThread())
    RunInMainThread(call);
  else
    call();
}

void TCustomConvertEngine::DispatchHook(TCustomFFmpeg* task, THookInfo& info) {
  TCustomHookEvent handler;
  {
    std::lock_guard<std::mutex> g(handlersLock_);
    handler = onCustomHook_;
  }
  if (!handler) return;
  // Each task's hook gets its own record and no lock: the hooks of tasks running at once
  // draw at the same time.
  info.TaskIndex = IndexOfTask(task);
  handler(this, &info);
}

bool TCustomConvertEngine::DispatchHookNeeded(TCustomFFmpeg* task, int64_t pts) {
  TCustomHookNeededEvent needed;
  {
    std::lock_guard<std::mutex> g(handlersLock_);
    if (!onCustomHook_) return false;
    needed = onCustomHookNeeded_;
  }
  return !needed || needed(this, IndexOfTask(task), pts);
}

void TCustomConvertEngine::DispatchPreview(TCustomFFmpeg* task, TPreviewInfo& info) {
  TPreviewBitmapEvent handler;
  {
    std::lock_guard<std::mutex> g(handlersLock_);
    handler = onPreviewBitmap_;
  }
  if (!handler) return;
  info.TaskIndex = IndexOfTask(task);
  auto call = [&] { handler(this, &info); };
  if (triggerEventInMainThread_ && !IsMainThread())
    RunInMainThread(call);
  else
    call();
}

// ---- Notice threads ----

uint64_t TCustomConvertEngine::IssueNoticeTicket() {
  std::lock_guard<std::mutex> g(noticeLock_);
  ++liveNoticeThreads_;
  return nextTicket_++;
}

void TCustomConvertEngine::WaitNoticeTurn(uint64_t ticket) {
  std::unique_lock<std::mutex> g(noticeLock_);
  noticeCv_.wait(g, [&] { return deliverTurn_ == ticket; });
}

void TCustomConvertEngine::NoticeDelivered() {
  std::lock_guard<std::mutex> g(noticeLock_);
  ++deliverTurn_;
  --liveNoticeThreads_;
  noticeCv_.notify_all();
}

void TCustomConvertEngine::WaitForNoticeThreads() {
  std::unique_lock<std::mutex> g(noticeLock_);
  while (liveNoticeThreads_ > 0) {
    if (noticeCv_.wait_for(g, std::chrono::milliseconds(20), [&] { return liveNoticeThreads_ == 0; })) break;
    if (IsMainThread()) {
      g.unlock();
      ProcessPendingMessages();
      g.lock();
    }
  }
}
