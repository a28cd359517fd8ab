// The main-thread dispatcher of headless programs: calls from workers run on the main thread
// while it drains, errors travel back to the caller, the main thread's own calls run at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "media/dispatcher.h"
#include "media/errors.h"

namespace {

// Drains the dispatcher on this (the main) thread until every worker has finished.
void DrainUntilJoined(std::vector<std::thread>& workers, const std::atomic<int>& finished) {
  while (finished.load() < int(workers.size())) HeadlessDispatcher().WaitAndProcess(20);
  for (std::thread& w : workers) w.join();
  ProcessPendingMessages();
}

TEST(Dispatcher, CallFromTheMainThreadRunsAtOnce) {
  ASSERT_TRUE(IsMainThread());
  bool ran = false;
  RunInMainThread([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_THROW(RunInMainThread([] { throw FFmpegException("direct"); }), FFmpegException);
}

TEST(Dispatcher, WorkerCallsRunOnTheMainThreadAndWait) {
  const std::thread::id mainId = std::this_thread::get_id();
  constexpr int kWorkers = 4, kCalls = 50;
  int counter = 0;  // touched only on the main thread: no lock needed if the dispatcher is right
  std::atomic<int> wrongThread{0}, notWaited{0}, finished{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w)
    workers.emplace_back([&] {
      EXPECT_FALSE(IsMainThread());
      for (int i = 0; i < kCalls; ++i) {
        bool ran = false;
        RunInMainThread([&] {
          if (std::this_thread::get_id() != mainId) ++wrongThread;
          ++counter;
          ran = true;
        });
        if (!ran) ++notWaited;  // the call returned before the main thread ran it
      }
      ++finished;
    });
  DrainUntilJoined(workers, finished);
  EXPECT_EQ(counter, kWorkers * kCalls);
  EXPECT_EQ(wrongThread.load(), 0);
  EXPECT_EQ(notWaited.load(), 0);
}

TEST(Dispatcher, ExceptionsTravelBackToTheCaller) {
  std::atomic<int> finished{0};
  std::string caught;
  bool afterThrowRan = false;
  std::vector<std::thread> workers;
  workers.emplace_back([&] {
    try {
      RunInMainThread([] { throw FFmpegException("Cannot open the output"); });
    } catch (const FFmpegException& e) {
      caught = e.what();
    }
    // The dispatcher still serves the worker after a failed call.
    RunInMainThread([&] { afterThrowRan = true; });
    ++finished;
  });
  DrainUntilJoined(workers, finished);
  EXPECT_EQ(caught, "Cannot open the output");
  EXPECT_TRUE(afterThrowRan);
}

TEST(Dispatcher, OnlyTheMainThreadDrains) {
  std::atomic<bool> queued{false}, ran{false}, workerDone{false};
  std::atomic<bool> drainerRanIt{false};
  std::thread caller([&] {
    queued = true;
    RunInMainThread([&] { ran = true; });
    workerDone = true;
  });
  while (!queued) std::this_thread::yield();
  // Another worker trying to drain must not run the call on its own thread.
  std::thread drainer([&] {
    for (int i = 0; i < 20; ++i) {
      ProcessPendingMessages();
      EXPECT_FALSE(HeadlessDispatcher().WaitAndProcess(1));
      if (ran) drainerRanIt = true;
    }
  });
  drainer.join();
  EXPECT_FALSE(drainerRanIt.load());
  EXPECT_FALSE(workerDone.load());
  while (!workerDone) HeadlessDispatcher().WaitAndProcess(20);
  caller.join();
  EXPECT_TRUE(ran.load());
}

}  // namespace
