// Threads that an object starts and forgets, joined before the object goes away.
//
// A worker that touched a library with per-thread state (the font system of the text
// watermarks, the event system of the windows) still runs that library's per-thread clean-up
// after its function has returned. A detached thread can therefore still be running library
// code while the program exits and the library's own data is torn down. Keeping the threads
// and joining them in the owner's destructor makes the owner's end the threads' end.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class TWorkerThreads {
public:
  TWorkerThreads() = default;
  TWorkerThreads(const TWorkerThreads&) = delete;
  TWorkerThreads& operator=(const TWorkerThreads&) = delete;
  ~TWorkerThreads() { JoinAll(); }

  // Starts fn on a new thread (std::system_error when none can be had). Threads whose function
  // has already returned are joined first, so a long-lived owner keeps no list of dead threads.
  template <typename F>
  void Start(F&& fn) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard<std::mutex> g(lock_);
    ReapLocked();
    threads_.push_back({std::thread([f = std::forward<F>(fn), done]() mutable {
                          f();
                          done->store(true);
                        }),
                        done});
  }

  // Joins every thread; a thread that ends its own owner is detached instead (it cannot wait
  // for itself) and is the last user of nothing the owner holds.
  void JoinAll() {
    std::vector<TEntry> all;
    {
      std::lock_guard<std::mutex> g(lock_);
      all.swap(threads_);
    }
    for (TEntry& e : all) Finish(e.thread);
  }

private:
  struct TEntry {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  static void Finish(std::thread& t) {
    if (!t.joinable()) return;
    if (t.get_id() == std::this_thread::get_id())
      t.detach();
    else
      t.join();
  }

  void ReapLocked() {
    for (size_t i = 0; i < threads_.size();) {
      if (threads_[i].done->load() && threads_[i].thread.get_id() != std::this_thread::get_id()) {
        Finish(threads_[i].thread);
        threads_.erase(threads_.begin() + std::ptrdiff_t(i));
      } else {
        ++i;
      }
    }
  }

  std::mutex lock_;
  std::vector<TEntry> threads_;
};
