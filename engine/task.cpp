#include "engine/task.h"

#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

#include "media/dispatcher.h"
#include "media/errors.h"
#include "media/loader.h"
#include "media/logger.h"

// ---- TEvent ----

void TEvent::Set() {
  // Notified under the lock: a waiter that frees the event after waking cannot do so before
  // this call has let go of it.
  std::lock_guard<std::mutex> g(lock_);
  set_ = true;
  cv_.notify_all();
}

void TEvent::Reset() {
  std::lock_guard<std::mutex> g(lock_);
  set_ = false;
}

bool TEvent::IsSet() const {
  std::lock_guard<std::mutex> g(lock_);
  return set_;
}

bool TEvent::WaitFor(int timeoutMs) {
  std::unique_lock<std::mutex> g(lock_);
  return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return set_; });
}

void WaitEventPumping(TEvent& event) {
  while (!event.WaitFor(20)) {
    if (IsMainThread()) ProcessPendingMessages();
  }
}

std::mutex& PreviewFlagsLock() {
  static std::mutex lock;
  return lock;
}

// ---- TCustomFFmpeg ----

TCustomFFmpeg::TCustomFFmpeg() = default;
TCustomFFmpeg::~TCustomFFmpeg() = default;

std::string TCustomFFmpeg::ExceptionMsg() const {
  std::lock_guard<std::mutex> g(errorLock_);
  return exceptionMsg_;
}

void TCustomFFmpeg::RecordError(const std::string& message) {
  GetFFLogger().Log(this, llQuiet, message);
  std::lock_guard<std::mutex> g(errorLock_);
  exceptionMsg_ = message;
  exception_ = true;
}

template <typename F>
void TCustomFFmpeg::Guarded(F&& step) {
  try {
    step();
  } catch (const std::exception& e) {
    RecordError(e.what());
  } catch (...) {
    RecordError("Unknown error");
  }
}

TConvertThread* TCustomFFmpeg::Start(bool threaded, TThreadPriority priority) {
  if (working_ || terminated_) return nullptr;
  try {
    if (OutputCount() == 0) throw FFmpegException("At least one output file must be specified");
    if (InputCount() == 0) throw FFmpegException("At least one input file must be specified");
  } catch (const FFmpegException& e) {
    RecordError(e.what());
    Guarded([&] { CloseFiles(); });
    DoTerminate();
    return nullptr;
  }
  working_ = true;
  stopRequested_ = false;
  finished_ = false;
  terminated_ = false;
  if (!threaded) {
    Run();
    return nullptr;
  }
  // Reset here, before the thread exists, so that a Stop(true) issued right after Start
  // cannot see the event of the previous state and return early.
  threadDone_.Reset();
  hasThread_ = true;
  return new TConvertThread(this, priority);
}

void TCustomFFmpeg::NoteEndedEarly(int64_t endedAtUs, int64_t durationUs) {
  if (endedEarly_) return;
  endedAtUs_ = endedAtUs;
  inputDurationUs_ = durationUs;
  endedEarly_ = true;
}

void TCustomFFmpeg::Run() {
  finished_ = false;
  endedEarly_ = false;
  Guarded([&] {
    if (!BeforeTranscode()) throw FFmpegException(LastError());
    Transcode();
    finished_ = !stopRequested_;
  });
  Guarded([&] {
    std::lock_guard<std::mutex> g(CodecLock());
    CloseEncoders();
  });
  Guarded([&] {
    std::lock_guard<std::mutex> g(CodecLock());
    CloseDecoders();
  });
  Guarded([&] { CloseFiles(); });
  Guarded([&] { DoTerminate(); });
}

void TCustomFFmpeg::DoTerminate() {
  working_ = false;
  terminated_ = true;
  hasThread_ = false;
  if (onTerminate_) onTerminate_(this);
}

void TCustomFFmpeg::Stop(bool wait) {
  stopRequested_ = true;
  Resume();
  if (wait) WaitEventPumping(threadDone_);
}

void TCustomFFmpeg::Shutdown() {
  Stop(true);
  WaitEventPumping(terminateDone_);
  Guarded([&] { CloseFiles(); });
}

void TCustomFFmpeg::FailToStart(const std::string& message) {
  RecordError(message);
  Guarded([&] { CloseFiles(); });
  Guarded([&] { DoTerminate(); });
}

void TCustomFFmpeg::Pause() {
  std::lock_guard<std::mutex> g(gateLock_);
  paused_ = true;
}

void TCustomFFmpeg::Resume() {
  std::lock_guard<std::mutex> g(gateLock_);
  paused_ = false;
  gateCv_.notify_all();
}

bool TCustomFFmpeg::Paused() const {
  std::lock_guard<std::mutex> g(gateLock_);
  return paused_;
}

bool TCustomFFmpeg::HeldAtGate() const {
  std::lock_guard<std::mutex> g(gateLock_);
  return heldAtGate_;
}

void TCustomFFmpeg::PassPauseGate() {
  std::unique_lock<std::mutex> g(gateLock_);
  if (!paused_) return;
  heldAtGate_ = true;
  gateCv_.wait(g, [&] { return !paused_ || stopRequested_; });
  heldAtGate_ = false;
}

int TCustomFFmpeg::Flags() const {
  std::lock_guard<std::mutex> g(PreviewFlagsLock());
  return flags_;
}

void TCustomFFmpeg::SetFlagBit(int bit, bool on) {
  // A worker's preview step may hold the flags lock while it waits for the main thread to
  // run the preview handler; the main thread therefore keeps running those calls while it
  // waits for the lock.
  std::unique_lock<std::mutex> g(PreviewFlagsLock(), std::defer_lock);
  if (IsMainThread()) {
    while (!g.try_lock()) {
      ProcessPendingMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  } else {
    g.lock();
  }
  flags_ = on ? (flags_ | bit) : (flags_ & ~bit);
}

void TCustomFFmpeg::AddInputFile(const std::string& fileName) { inputFiles_.push_back(fileName); }

void TCustomFFmpeg::AddOutputFile(const std::string& fileName, bool join) {
  outputFiles_.push_back(TOutputSlot{fileName, join});
}

void TCustomFFmpeg::DoProgress(TProgressInfo& info) {
  if (onProgress_) onProgress_(this, info);
}

bool TCustomFFmpeg::HookNeeded(int frameNumber, int64_t pts) {
  return !onHookNeeded_ || onHookNeeded_(this, frameNumber, pts);
}

void TCustomFFmpeg::DoHook(THookInfo& info) {
  if (onHook_) onHook_(this, info);
}

void TCustomFFmpeg::DoPreview(TPreviewInfo& info) {
  if (onPreview_) onPreview_(this, info);
}

namespace {

// Deletes a regular file that holds no bytes. Devices, pipes and links are never touched:
// an output name may point at something that is not ours to remove.
void DeleteIfEmpty(const std::string& fileName) {
  if (fileName.empty()) return;
  std::error_code ec;
  std::filesystem::path path(fileName);
  auto status = std::filesystem::symlink_status(path, ec);
  if (ec || !std::filesystem::is_regular_file(status)) return;
  auto size = std::filesystem::file_size(path, ec);
  if (ec || size != 0) return;
  std::filesystem::remove(path, ec);
  if (ec) GetFFLogger().Log(nullptr, llWarning, "Cannot delete empty output file " + fileName + ": " + ec.message());
}

}  // namespace

void TCustomFFmpeg::CloseFiles() {
  // The slot lists are emptied even when a release step fails, so a second clean-up finds
  // nothing left to do.
  std::vector<TOutputSlot> outputs;
  outputs.swap(outputFiles_);
  std::vector<std::string> inputs;
  inputs.swap(inputFiles_);
  std::exception_ptr error;
  try {
    CloseOutputs();
  } catch (...) {
    error = std::current_exception();
  }
  bool join = !outputs.empty() && outputs.front().Join;
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (join && i > 0) break;
    DeleteIfEmpty(outputs[i].FileName);
  }
  try {
    ReleaseFiles();
  } catch (...) {
    if (!error) error = std::current_exception();
  }
  if (error) std::rethrow_exception(error);
}

// ---- TFFmpeg ----

bool TFFmpeg::OpenInput(const std::string& fileName, const TInputOptions* options) {
  if (!Unpark()) return false;
  TInputOptions record = options ? *options : TInputOptions();
  if (record.FileName.empty()) record.FileName = fileName;
  if (!OpenInputFile(record, options != nullptr)) return false;
  inputOptions_.push_back(record);
  inputHasRecord_.push_back(options != nullptr);
  AddInputFile(record.FileName);
  return true;
}

bool TFFmpeg::OpenOutput(const std::string& fileName, const TOutputOptions* options) {
  if (!Unpark()) return false;
  TOutputOptions record = options ? *options : TOutputOptions();
  if (record.FileName.empty()) record.FileName = fileName;
  if (!OpenOutputFile(record, options != nullptr)) return false;
  outputOptions_.push_back(record);
  outputHasRecord_.push_back(options != nullptr);
  AddOutputFile(record.FileName, options != nullptr && record.Join);
  return true;
}

void TFFmpeg::Park() {
  if (!parked_) parked_ = ResetOpenedFiles();
}

bool TFFmpeg::Unpark() {
  if (!parked_) return true;
  // The same openings in the same order as when the task was queued: the option state they
  // build up (an output inherits its input's picture and sound) comes out the same.
  parked_ = false;
  bool ok = true;
  try {
    for (size_t i = 0; ok && i < inputOptions_.size(); ++i) ok = OpenInputFile(inputOptions_[i], inputHasRecord_[i]);
    for (size_t i = 0; ok && i < outputOptions_.size(); ++i)
      ok = OpenOutputFile(outputOptions_[i], outputHasRecord_[i]);
  } catch (const std::exception& e) {
    SetLastError(e.what());
    ok = false;
  }
  if (!ok) {
    ResetOpenedFiles();
    parked_ = true;
  }
  return ok;
}

void TTaskDeleter::operator()(TCustomFFmpeg* task) const {
  if (!task) return;
  task->Shutdown();
  delete task;
}

// ---- TConvertThread ----

void TConvertThread::Resume() {
  try {
    task_->Threads().Start([this] { Execute(); });
  } catch (const std::system_error& e) {
    TCustomFFmpeg* task = task_;
    delete this;
    task->FailToStart(std::string("Cannot create worker thread: ") + e.what());
    task->ThreadDone().Set();
  }
}

void TConvertThread::Execute() {
  TCustomFFmpeg* task = task_;
  if (!ApplyThreadPriority(priority_))
    GetFFLogger().LogFmt(task, llVerbose, "Thread priority %d not applied", int(priority_));
  delete this;
  task->Run();
  // Last touch of the task: once the event is set its owner may free it.
  task->ThreadDone().Set();
}

// ---- transcoder::TDoTerminateThread ----

namespace transcoder {

TDoTerminateThread::TDoTerminateThread(TCustomFFmpeg* task) : task_(task) { task_->TerminateDone().Reset(); }

void TDoTerminateThread::Resume() {
  try {
    task_->Threads().Start([this] { Execute(); });
  } catch (const std::system_error&) {
    // No thread to be had: deliver the notice on the caller's thread instead.
    Execute();
  }
}

void TDoTerminateThread::Execute() {
  TCustomFFmpeg* task = task_;
  delete this;
  try {
    task->DoTerminate();
  } catch (const std::exception& e) {
    GetFFLogger().Log(task, llError, e.what());
  } catch (...) {
    GetFFLogger().Log(task, llError, "Unknown error in end notice");
  }
  task->TerminateDone().Set();
}

}  // namespace transcoder
