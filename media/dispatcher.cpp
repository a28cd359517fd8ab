#include "media/dispatcher.h"

#include <atomic>
#include <chrono>

namespace {
// Recorded during static initialisation, which runs on the thread that starts the process.
const std::thread::id gProcessMainThread = std::this_thread::get_id();
std::atomic<IMainThreadDispatcher*> gDispatcher{nullptr};
}  // namespace

THeadlessDispatcher::THeadlessDispatcher() : mainThread_(gProcessMainThread) {}

bool THeadlessDispatcher::IsMainThread() const {
  std::lock_guard<std::mutex> g(lock_);
  return std::this_thread::get_id() == mainThread_;
}

void THeadlessDispatcher::SetMainThread(std::thread::id id) {
  std::lock_guard<std::mutex> g(lock_);
  mainThread_ = id;
}

void THeadlessDispatcher::RunInMainThread(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  Call call{fn, false, nullptr};
  std::unique_lock<std::mutex> g(lock_);
  queue_.push_back(&call);
  arrived_.notify_all();
  finished_.wait(g, [&] { return call.done; });
  if (call.error) std::rethrow_exception(call.error);
}

void THeadlessDispatcher::ProcessPendingMessages() {
  // Only the main thread runs main-thread calls; elsewhere this would run them on the wrong
  // thread.
  if (!IsMainThread()) return;
  std::unique_lock<std::mutex> g(lock_);
  while (!queue_.empty()) {
    Call* call = queue_.front();
    queue_.pop_front();
    g.unlock();
    try {
      call->fn();
    } catch (...) {
      call->error = std::current_exception();
    }
    g.lock();
    call->done = true;
    finished_.notify_all();
  }
}

bool THeadlessDispatcher::WaitAndProcess(int timeoutMs) {
  if (!IsMainThread()) return false;
  {
    std::unique_lock<std::mutex> g(lock_);
    if (!arrived_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return !queue_.empty(); })) return false;
  }
  ProcessPendingMessages();
  return true;
}

THeadlessDispatcher& HeadlessDispatcher() {
  static THeadlessDispatcher dispatcher;
  return dispatcher;
}

IMainThreadDispatcher& MainThreadDispatcher() {
  IMainThreadDispatcher* d = gDispatcher.load();
  return d ? *d : HeadlessDispatcher();
}

void SetMainThreadDispatcher(IMainThreadDispatcher* dispatcher) { gDispatcher.store(dispatcher); }

void RunInMainThread(const std::function<void()>& fn) { MainThreadDispatcher().RunInMainThread(fn); }
void ProcessPendingMessages() { MainThreadDispatcher().ProcessPendingMessages(); }
bool IsMainThread() { return MainThreadDispatcher().IsMainThread(); }
