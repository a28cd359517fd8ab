// Calls that must run on the main thread.
//
// One dispatcher serves the whole process. A worker thread hands a call to the main thread
// and waits until it has run; a main thread that waits for workers keeps draining the
// pending calls (ProcessPendingMessages), so a worker blocked in such a call can finish.
// The headless dispatcher queues the calls; the desktop program installs one that runs them
// through its event loop.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class IMainThreadDispatcher {
public:
  virtual ~IMainThreadDispatcher() = default;
  virtual bool IsMainThread() const = 0;
  // Runs fn on the main thread: at once when called there, otherwise queued and waited for.
  virtual void RunInMainThread(const std::function<void()>& fn) = 0;
  // Main thread only: runs every call waiting for it (and, in a GUI, pending window events).
  virtual void ProcessPendingMessages() = 0;
};

// The queue-based dispatcher of headless programs. The main thread is the one that started
// the process, unless SetMainThread names another.
class THeadlessDispatcher : public IMainThreadDispatcher {
public:
  THeadlessDispatcher();
  bool IsMainThread() const override;
  void RunInMainThread(const std::function<void()>& fn) override;
  void ProcessPendingMessages() override;
  void SetMainThread(std::thread::id id);
  // Main thread only: waits up to timeoutMs for a call to arrive, then runs what is pending.
  // Returns true when something ran.
  bool WaitAndProcess(int timeoutMs);

private:
  struct Call {
    std::function<void()> fn;
    bool done = false;
    std::exception_ptr error;
  };
  mutable std::mutex lock_;
  std::condition_variable arrived_;
  std::condition_variable finished_;
  std::deque<Call*> queue_;
  std::thread::id mainThread_;
};

IMainThreadDispatcher& MainThreadDispatcher();
// Installs another dispatcher (null restores the headless one). The caller keeps ownership.
void SetMainThreadDispatcher(IMainThreadDispatcher* dispatcher);
THeadlessDispatcher& HeadlessDispatcher();

void RunInMainThread(const std::function<void()>& fn);
void ProcessPendingMessages();
bool IsMainThread();
