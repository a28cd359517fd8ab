// The engine component and its task queue, driven through a task whose inputs, outputs and
// body are controlled by the test: a body runs a number of turns (reporting progress and
// passing the pause gate at the top of each), can fail with an error, or can hold until the
// test releases it or the task is stopped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "media/dispatcher.h"
#include "media/errors.h"
#include "media/gcc_warnings.h"
#include "media/loader.h"
#include "tests/support/test_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What a test task does when it runs. The input file name selects the script.
struct TScript {
  int turns = 3;
  int turnMs = 5;
  int failAtTurn = -1;  // raise failMsg at the top of this turn
  std::string failMsg;
  bool hold = false;             // after the turns, hold until released or stopped
  bool gateWhileHolding = true;  // false: the hold stands for finishing steps past the gate
  int outputBytes = -1;          // >= 0: write that many bytes to every output before the turns
};

TScript Turns(int turns, int turnMs) {
  TScript s;
  s.turns = turns;
  s.turnMs = turnMs;
  return s;
}
TScript Hold() {
  TScript s;
  s.turns = 0;
  s.hold = true;
  return s;
}
TScript FailAt(int turn, const std::string& msg) {
  TScript s = Turns(turn + 3, 1);
  s.failAtTurn = turn;
  s.failMsg = msg;
  return s;
}
TScript Writes(int bytes) {
  TScript s = Turns(1, 1);
  s.outputBytes = bytes;
  return s;
}

class TTestTask : public TFFmpeg {
public:
  explicit TTestTask(const std::map<std::string, TScript>& scripts) : scripts_(scripts) {}

  void Release() {
    std::lock_guard<std::mutex> g(lock_);
    released_ = true;
    cv_.notify_all();
  }
  bool WaitStarted(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> g(lock_);
    return cv_.wait_for(g, timeout, [&] { return started_; });
  }
  bool Started() const {
    std::lock_guard<std::mutex> g(lock_);
    return started_;
  }
  bool Ended() const {
    std::lock_guard<std::mutex> g(lock_);
    return ended_;
  }
  std::thread::id WorkerThread() const {
    std::lock_guard<std::mutex> g(lock_);
    return worker_;
  }
  Clock::time_point StartTime() const {
    std::lock_guard<std::mutex> g(lock_);
    return startTime_;
  }
  Clock::time_point EndTime() const {
    std::lock_guard<std::mutex> g(lock_);
    return endTime_;
  }
  int Turns() const { return turns_; }
  int ObservedNice() const { return nice_; }
  bool ObservedIdle() const { return idle_; }
  int HookCalls() const { return hookCalls_; }
  bool InPreview() const { return inPreview_; }

protected:
  bool OpenInputFile(const TInputOptions& options, bool) override {
    if (options.FileName.rfind("missing", 0) == 0) {
      SetLastError(options.FileName + ": No such file or directory");
      return false;
    }
    auto it = scripts_.find(options.FileName);
    if (it != scripts_.end()) script_ = it->second;
    return true;
  }
  bool OpenOutputFile(const TOutputOptions& options, bool) override {
    if (options.FileName == "refused") {
      SetLastError("Could not open 'refused'");
      return false;
    }
    return true;
  }
  void Transcode() override {
    {
      std::lock_guard<std::mutex> g(lock_);
      started_ = true;
      worker_ = std::this_thread::get_id();
      startTime_ = Clock::now();
      cv_.notify_all();
    }
    nice_ = CurrentThreadNice();
    idle_ = CurrentThreadIsIdleScheduled();
    if (script_.outputBytes >= 0)
      for (int i = 0; i < OutputCount(); ++i) {
        std::ofstream(OutputFileName(i)) << std::string(size_t(script_.outputBytes), 'x');
      }
    for (int turn = 0; turn < script_.turns && !StopRequested(); ++turn) {
      PassPauseGate();
      if (turn == script_.failAtTurn) throw FFmpegException(script_.failMsg);
      Turn();
      std::this_thread::sleep_for(std::chrono::milliseconds(script_.turnMs));
    }
    while (script_.hold && !StopRequested()) {
      if (script_.gateWhileHolding) PassPauseGate();
      Turn();
      std::unique_lock<std::mutex> g(lock_);
      if (cv_.wait_for(g, 2ms, [&] { return released_; })) break;
    }
    std::lock_guard<std::mutex> g(lock_);
    ended_ = true;
    endTime_ = Clock::now();
  }

private:
  void Turn() {
    ++turns_;
    TProgressInfo progress;
    progress.CurrentDuration = turns_;
    DoProgress(progress);
    if (HasHookCallback()) {
      THookInfo hook;
      hook.FrameNumber = turns_;
      DoHook(hook);
      ++hookCalls_;
      if (hook.StopHook) SetHookCallback(nullptr);
    }
    // As the transcoder's preview step: the flags are read under the global flags lock, the
    // picture is delivered outside it.
    int flags = 0;
    {
      std::lock_guard<std::mutex> g(PreviewFlagsLock());
      flags = FlagsLocked();
    }
    if (flags & kFlagPreviewBitmap) {
      TPreviewInfo preview;
      preview.FrameNumber = turns_;
      inPreview_ = true;
      DoPreview(preview);
    }
  }

  const std::map<std::string, TScript>& scripts_;
  TScript script_;
  mutable std::mutex lock_;
  std::condition_variable cv_;
  bool started_ = false;
  bool ended_ = false;
  bool released_ = false;
  std::thread::id worker_;
  Clock::time_point startTime_, endTime_;
  std::atomic<int> turns_{0};
  std::atomic<int> nice_{0};
  std::atomic<bool> idle_{false};
  std::atomic<int> hookCalls_{0};
  std::atomic<bool> inPreview_{false};
};

class TTestEngine : public TConvertEngine {
public:
  std::map<std::string, TScript> Scripts;
  TTestTask* TestTask(int i) const { return static_cast<TTestTask*>(Task(i)); }

protected:
  TFFmpegPtr CreateTask() override { return TFFmpegPtr(new TTestTask(Scripts)); }
};

struct TNotice {
  int TaskIndex;
  bool Finished;
  bool Exception;
  std::string Msg;
  std::thread::id Thread;
};

// Collects the end notices of an engine.
class TNotices {
public:
  explicit TNotices(TConvertEngine& engine) {
    engine.SetOnTerminate([this](TCustomConvertEngine*, const TTerminateInfo* info) {
      std::lock_guard<std::mutex> g(lock_);
      list_.push_back(
          {info->TaskIndex, info->Finished, info->Exception, info->ExceptionMsg, std::this_thread::get_id()});
      cv_.notify_all();
    });
  }
  // Waits for the end-of-run notice, running main-thread calls meanwhile.
  bool WaitEndOfRun(std::chrono::milliseconds timeout = 10s) {
    auto until = Clock::now() + timeout;
    while (Clock::now() < until) {
      ProcessPendingMessages();
      std::unique_lock<std::mutex> g(lock_);
      if (cv_.wait_for(g, 5ms, [&] { return HasEnd(); })) return true;
    }
    return false;
  }
  std::vector<TNotice> List() const {
    std::lock_guard<std::mutex> g(lock_);
    return list_;
  }
  std::vector<int> Indices() const {
    std::vector<int> out;
    for (const TNotice& n : List()) out.push_back(n.TaskIndex);
    return out;
  }

private:
  bool HasEnd() const {
    for (const TNotice& n : list_)
      if (n.TaskIndex == -1) return true;
    return false;
  }
  mutable std::mutex lock_;
  std::condition_variable cv_;
  std::vector<TNotice> list_;
};

// Adds a task reading `input` and writing `output`.
int AddWithOutput(TTestEngine& engine, const std::string& input, const std::string& output) {
  int index = engine.AddTask(input);
  EXPECT_GE(index, 0) << engine.LastErrMsg();
  EXPECT_TRUE(engine.SetOutputFile(index, output)) << engine.LastErrMsg();
  return index;
}

template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = 5s) {
  auto until = Clock::now() + timeout;
  while (!pred()) {
    if (Clock::now() >= until) return false;
    ProcessPendingMessages();
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A worker's per-thread clean-up (a library's thread data) runs after its function returns;
// the owner's end waits for it, so nothing of the thread is left running when the program
// tears its libraries down. A thread that ends its own owner is let go instead of waiting
// for itself.
namespace {
std::atomic<bool> gThreadDataCleaned{false};
struct TSlowThreadData {
  ~TSlowThreadData() {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    gThreadDataCleaned = true;
  }
};
}  // namespace

TEST(WorkerThreads, OwnerEndWaitsForThePerThreadCleanUp) {
  {
    TWorkerThreads threads;
    threads.Start([] {
      thread_local TSlowThreadData data;
      (void)&data;
    });
  }
  EXPECT_TRUE(gThreadDataCleaned);

  std::atomic<bool> ended{false};
  auto* owner = new TWorkerThreads;
  owner->Start([&] {
    delete owner;
    ended = true;
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!ended && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(ended);
}

TEST(Engine, ThreadedOneAtATimeRunsTasksInOrderWithFourNotices) {
  TTestEngine engine;
  TNotices notices(engine);
  engine.Scripts["a"] = Turns(3, 10);
  for (int i = 0; i < 3; ++i) AddWithOutput(engine, "a", "out");
  engine.StartTask(1);
  EXPECT_TRUE(engine.Working());
  EXPECT_TRUE(engine.Threaded());
  ASSERT_TRUE(notices.WaitEndOfRun());

  EXPECT_EQ(notices.Indices(), (std::vector<int>{0, 1, 2, -1}));
  for (const TNotice& n : notices.List()) {
    EXPECT_TRUE(n.Finished) << n.TaskIndex;
    EXPECT_FALSE(n.Exception) << n.TaskIndex;
    EXPECT_NE(n.Thread, std::this_thread::get_id()) << "notice " << n.TaskIndex << " on the main thread";
  }
  std::vector<TNotice> list = notices.List();
  for (int i = 0; i < 3; ++i) {
    TTestTask* t = engine.TestTask(i);
    EXPECT_EQ(t->Turns(), 3);
    EXPECT_NE(t->WorkerThread(), std::this_thread::get_id());
    EXPECT_NE(list[size_t(i)].Thread, t->WorkerThread()) << "notice on the worker itself";
    if (i > 0) {
      EXPECT_LE(engine.TestTask(i - 1)->EndTime(), t->StartTime()) << "tasks " << i - 1 << " and " << i << " overlap";
    }
    EXPECT_TRUE(t->Finished());
  }
  EXPECT_TRUE(engine.AllDone());
  EXPECT_EQ(engine.FinishedCount(), 3);
  EXPECT_EQ(engine.PendingCount(), 0);
  engine.ClearTasks();
  EXPECT_EQ(engine.TasksCount(), 0);
  EXPECT_FALSE(engine.Working());
  EXPECT_EQ(engine.NextTaskIndex(), -1);
}

TEST(Engine, TwoAtATimeStartsTheThirdWhenOneEnds) {
  TTestEngine engine;
  TNotices notices(engine);
  engine.Scripts["hold"] = Hold();
  for (int i = 0; i < 3; ++i) AddWithOutput(engine, "hold", "out");
  engine.StartTask(2);
  ASSERT_TRUE(engine.TestTask(0)->WaitStarted(5s));
  ASSERT_TRUE(engine.TestTask(1)->WaitStarted(5s));
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(engine.TestTask(2)->Started()) << "a third task started while two run";
  EXPECT_EQ(engine.PendingCount(), 1);

  engine.TestTask(1)->Release();
  ASSERT_TRUE(engine.TestTask(2)->WaitStarted(5s));
  EXPECT_FALSE(engine.TestTask(0)->Ended()) << "task 0 should still run beside task 2";
  engine.TestTask(0)->Release();
  ASSERT_TRUE(WaitUntil([&] { return notices.Indices().size() == 2; }));
  engine.TestTask(2)->Release();
  ASSERT_TRUE(notices.WaitEndOfRun());
  EXPECT_EQ(notices.Indices(), (std::vector<int>{1, 0, 2, -1}));
  engine.ClearTasks();
}

TEST(Engine, InlineRunStaysOnTheCallerAndReturnsAfterTheEndOfRunNotice) {
  TTestEngine engine;
  TNotices notices(engine);
  engine.Scripts["a"] = Turns(2, 1);
  for (int i = 0; i < 3; ++i) AddWithOutput(engine, "a", "out");
  engine.StartTask(0);
  // No waiting: everything has happened when the call returns.
  EXPECT_EQ(notices.Indices(), (std::vector<int>{0, 1, 2, -1}));
  for (const TNotice& n : notices.List()) EXPECT_EQ(n.Thread, std::this_thread::get_id());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(engine.TestTask(i)->WorkerThread(), std::this_thread::get_id());
  EXPECT_FALSE(engine.Threaded());
  EXPECT_TRUE(engine.AllDone());
  engine.ClearTasks();
}

TEST(Engine, InlineEndOfRunHandlerMayClearTheList) {
  TTestEngine engine;
  engine.Scripts["a"] = Turns(1, 1);
  for (int i = 0; i < 2; ++i) AddWithOutput(engine, "a", "out");
  std::vector<int> seen;
  engine.SetOnTerminate([&](TCustomConvertEngine* sender, const TTerminateInfo* info) {
    seen.push_back(info->TaskIndex);
    if (info->TaskIndex == -1) static_cast<TConvertEngine*>(sender)->ClearTasks();
  });
  engine.StartTask(0);
  EXPECT_EQ(seen, (std::vector<int>{0, 1, -1}));
  EXPECT_EQ(engine.TasksCount(), 0);
  EXPECT_FALSE(engine.Working());
}

TEST(Engine, StopWithWaitDuringFirstTaskEndsEveryTaskUnfinished) {
  TTestEngine engine;
  TNotices notices(engine);
  engine.Scripts["hold"] = Hold();
  for (int i = 0; i < 3; ++i) AddWithOutput(engine, "hold", "out");
  engine.StartTask(1);
  ASSERT_TRUE(engine.TestTask(0)->WaitStarted(5s));
  engine.StopTask(true);
  EXPECT_TRUE(engine.TestTask(0)->Ended()) << "StopTask(true) returned before the worker ended";
  ASSERT_TRUE(notices.WaitEndOfRun());

  std::vector<TNotice> list = notices.List();
  ASSERT_EQ(notices.Indices(), (std::vector<int>{0, 1, 2, -1}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(list[size_t(i)].Finished) << i;
    EXPECT_FALSE(list[size_t(i)].Exception) << i;
  }
  EXPECT_TRUE(list[3].Finished);
  EXPECT_FALSE(engine.TestTask(1)->Started());
  EXPECT_FALSE(engine.TestTask(2)->Started());
  EXPECT_TRUE(engine.TestTask(2)->Terminated());
  engine.ClearTasks();
}

TEST(Engine, StopWhileIdleLeavesTasksRunnable) {
  TTestEngine engine;
  TNotices notices(engine);
  AddWithOutput(engine, "a", "out");
  engine.StopTask(true);
  EXPECT_TRUE(notices.List().empty());
  engine.StartTask(1);
  ASSERT_TRUE(notices.WaitEndOfRun());
  EXPECT_EQ(notices.Indices(), (std::vector<int>{0, -1}));
  EXPECT_TRUE(notices.List()[0].Finished);
  engine.ClearTasks();
}

TEST(Engine, OperationsRefusedWhileWorking) {
  TTestEngine engine;
  TNotices notices(engine);
  engine.Scripts["hold"] = Hold();
  AddWithOutput(engine, "hold", "out");
  auto message = [](auto&& op) {
    try {
      op();
    } catch (const FFmpegException& e) {
      return std::string(e.what());
    }
    return std::string("(nothing raised)");
  };
  engine.StartTask(1);
  ASSERT_TRUE(engine.TestTask(0)->WaitStarted(5s));
  EXPECT_EQ(message([&] { engine.AddTask("a"); }), "Cannot AddTask while working.");
  EXPECT_EQ(message([&] { engine.SetOutputFile(0, "x"); }), "Cannot SetOutputFile while working.");
  EXPECT_EQ(message([&] { engine.RemoveTask(0); }), "Cannot RemoveTask while working.");
  EXPECT_EQ(message([&] { engine.StartTask(1); }), "Cannot StartTask while working.");
  EXPECT_EQ(message([&] { engine.ClearTasks(); }), "Cannot ClearTasks while working.");
  engine.TestTask(0)->Release();
  ASSERT_TRUE(notices.WaitEndOfRun());
  // The run has ended but the list was not cleared: still refused, except ClearTasks.
  EXPECT_EQ(message([&] { engine.AddTask("a"); }), "Cannot AddTask while working.");
  EXPECT_EQ(engine.TasksCount(), 1);
  engine.ClearTasks();
  EXPECT_GE(engine.AddTask("a"), 0);
  EXPECT_EQ(message([&] { engine.RemoveTask(5); }), "List index out of bounds (5)");
  engine.RemoveTask(0);
  EXPECT_EQ(engine.TasksCount(), 0);
}

TEST(Engine, PropertiesAndTheirEffectOnTasks) {
  TTestEngine engine;
  EXPECT_EQ(engine.Version(), "3.3");
  EXPECT_EQ(engine.ProgressInterval(), 500);
  EXPECT_EQ(engine.ThreadPriority(), tpNormal);
  EXPECT_TRUE(engine.TriggerEventInMainThread());
  engine.SetProgressInterval(50);
  EXPECT_EQ(engine.ProgressInterval(), 100);
  engine.SetProgressInterval(250);
  EXPECT_EQ(engine.ProgressInterval(), 250);

  // Preview flags: new tasks take them, existing tasks are switched.
  engine.SetPreviewBitmap(true);
  int first = AddWithOutput(engine, "a", "out");
  EXPECT_EQ(engine.Task(first)->Flags(), kFlagPreviewBitmap);
  int second = AddWithOutput(engine, "a", "out");
  engine.SetPreview(true);
  engine.SetPreviewBitmap(false);
  EXPECT_EQ(engine.Task(first)->Flags(), kFlagPreviewWindow);
  EXPECT_EQ(engine.Task(second)->Flags(), kFlagPreviewWindow);

  engine.StartTask(0);
  EXPECT_EQ(engine.Task(first)->ProgressIntervalUs(), 250000);
  engine.ClearTasks();
}

TEST(Engine, AddTaskAndSetOutputFileReportFailuresInLastErrMsg) {
  TTestEngine engine;
  int index = engine.AddTask("a");
  ASSERT_EQ(index, 0);
  EXPECT_EQ(engine.AddTask("missing.avi"), -1);
  EXPECT_EQ(engine.LastErrMsg(), "missing.avi: No such file or directory");
  EXPECT_EQ(engine.TasksCount(), 1);

  // The record's FileName wins over the argument; an empty one takes the argument.
  TInputOptions in;
  in.FileName = "missing-from-record";
  EXPECT_EQ(engine.AddTask("a", in), -1);
  EXPECT_EQ(engine.LastErrMsg(), "missing-from-record: No such file or directory");

  EXPECT_FALSE(engine.SetOutputFile(index, "refused"));
  EXPECT_EQ(engine.LastErrMsg(), "Could not open 'refused'");
  EXPECT_EQ(engine.Task(index)->OutputCount(), 0);
  EXPECT_FALSE(engine.SetOutputFile(7, "out"));
  EXPECT_EQ(engine.LastErrMsg(), "Invalid task index 7");

  TOutputOptions out;
  out.AudioCodec = "mp3";
  ORVANE_STRING_RESTRICT_FALSE_ALARM_BEGIN
  for (int i = 0; i < kMaxOutputFiles; ++i) ASSERT_TRUE(engine.SetOutputFile(index, "o" + std::to_string(i), out));
  ORVANE_STRING_RESTRICT_FALSE_ALARM_END
  EXPECT_EQ(engine.Task(index)->OutputOptions(3).FileName, "o3");
  EXPECT_EQ(engine.Task(index)->OutputOptions(3).AudioCodec, "mp3");
  EXPECT_FALSE(engine.SetOutputFile(index, "one-too-many", out));
  EXPECT_EQ(engine.LastErrMsg(), "max output files 20 reached");
  EXPECT_EQ(engine.Task(index)->OutputCount(), kMaxOutputFiles);
}

TEST(Engine, AddTaskOfAMissingFileFailsHonestly) {
  TConvertEngine engine;
  ASSERT_TRUE(engine.LoadAVLib("")) << engine.LastErrMsg();
  EXPECT_EQ(engine.AddTask("no-such-clip.avi"), -1);
  EXPECT_NE(engine.LastErrMsg().find("no-such-clip.avi"), std::string::npos) << engine.LastErrMsg();
  EXPECT_EQ(engine.TasksCount(), 0);
  // An empty run still ends properly.
  TNotices notices(engine);
  engine.StartTask(1);
  ASSERT_TRUE(notices.WaitEndOfRun());
  EXPECT_EQ(notices.Indices(), (std::vector<int>{-1}));
  EXPECT_TRUE(engine.AllDone());
  engine.ClearTasks();
  EXPECT_FALSE(engine.Working());
}

TEST(Engine, LoadAVLibLoadsTheEngineLibraries) {
  TConvertEngine engine;
  EXPECT_TRUE(engine.LoadAVLib("")) << engine.LastErrMsg();
  EXPECT_TRUE(FFLoader().LibsLoaded(kEngineLibs));
}

TEST(Engine, ErrorsEndTheTaskNotTheRun) {
  TTestEngine engine;
  TNotices notices(engine);
  engine.Scripts["fail"] = FailAt(2, "Video encoding failed");
  engine.Scripts["a"] = Turns(1, 1);
  int noOutput = engine.AddTask("a");  // an input but no output
  AddWithOutput(engine, "fail", "out");
  AddWithOutput(engine, "a", "out");
  ASSERT_EQ(noOutput, 0);
  engine.StartTask(1);
  ASSERT_TRUE(notices.WaitEndOfRun());
  std::vector<TNotice> list = notices.List();
  ASSERT_EQ(notices.Indices(), (std::vector<int>{0, 1, 2, -1}));
  EXPECT_TRUE(list[0].Exception);
  EXPECT_EQ(list[0].Msg, "At least one output file must be specified");
  EXPECT_FALSE(list[0].Finished);
  EXPECT_FALSE(engine.TestTask(0)->Started());
  EXPECT_TRUE(list[1].Exception);
  EXPECT_EQ(list[1].Msg, "Video encoding failed");
  EXPECT_FALSE(list[1].Finished);
  EXPECT_EQ(engine.TestTask(1)->Turns(), 2);
  EXPECT_TRUE(list[2].Finished);
  EXPECT_FALSE(list[2].Exception);
  EXPECT_TRUE(list[2].Msg.empty());
  engine.ClearTasks();
}

TEST(Engine, StartChecksOutputsBeforeInputs) {
  std::map<std::string, TScript> scripts;
  struct Row {
    bool input, output;
    const char* expected;
  } rows[] = {
      {false, false, "At least one output file must be specified"},
      {false, true, "At least one input file must be specified"},
      {true, false, "At least one output file must be specified"},
  };
  for (const Row& r : rows) {
    TFFmpegPtr task(new TTestTask(scripts));
    if (r.input) {
      ASSERT_TRUE(task->OpenInput("a", nullptr));
    }
    if (r.output) {
      ASSERT_TRUE(task->OpenOutput("out", nullptr));
    }
    bool terminated = false;
    task->SetTerminateCallback([&](TCustomFFmpeg*) { terminated = true; });
    EXPECT_EQ(task->Start(true, tpNormal), nullptr);
    EXPECT_TRUE(terminated);
    EXPECT_TRUE(task->Terminated());
    EXPECT_FALSE(task->Working());
    EXPECT_TRUE(task->Exception());
    EXPECT_EQ(task->ExceptionMsg(), r.expected);
    EXPECT_EQ(task->InputCount() + task->OutputCount(), 0) << "files not closed";
    // A terminated task does not start again.
    EXPECT_EQ(task->Start(false, tpNormal), nullptr);
  }
}

TEST(Engine, PauseHoldsTheWorkerAtTheGateAndResumeReleasesIt) {
  TTestEngine engine;
  TNotices notices(engine);
  engine.Scripts["hold"] = Hold();
  AddWithOutput(engine, "hold", "out");
  engine.StartTask(1);
  TTestTask* task = engine.TestTask(0);
  ASSERT_TRUE(task->WaitStarted(5s));
  ASSERT_TRUE(WaitUntil([&] { return task->Turns() > 0; }));
  engine.PauseTask();
  ASSERT_TRUE(WaitUntil([&] { return task->HeldAtGate(); }));
  int turns = task->Turns();
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(task->Turns(), turns) << "the worker went on while paused";
  EXPECT_TRUE(task->HeldAtGate());

  engine.ResumeTask();
  EXPECT_TRUE(WaitUntil([&] { return task->Turns() > turns; })) << "resume did not release the worker";
  EXPECT_FALSE(task->Paused());

  // Stopping a paused run opens the gate, so the wait ends.
  engine.PauseTask();
  ASSERT_TRUE(WaitUntil([&] { return task->HeldAtGate(); }));
  engine.StopTask(true);
  EXPECT_TRUE(task->Ended());
  ASSERT_TRUE(notices.WaitEndOfRun());
  EXPECT_FALSE(notices.List()[0].Finished);
  engine.ClearTasks();
}

TEST(Engine, PausedRunDoesNotStartTheNextTask) {
  TTestEngine engine;
  TNotices notices(engine);
  engine.Scripts["a"] = Turns(2, 1);
  // The pause comes while the first task is in its finishing steps, past its last gate.
  engine.Scripts["finishing"] = Hold();
  engine.Scripts["finishing"].gateWhileHolding = false;
  AddWithOutput(engine, "finishing", "out");
  AddWithOutput(engine, "a", "out");
  engine.StartTask(1);
  ASSERT_TRUE(engine.TestTask(0)->WaitStarted(5s));
  engine.PauseTask();
  engine.TestTask(0)->Release();
  ASSERT_TRUE(WaitUntil([&] { return engine.TestTask(1)->HeldAtGate(); })) << "next task not held";
  EXPECT_EQ(engine.TestTask(1)->Turns(), 0);
  engine.ResumeTask();
  ASSERT_TRUE(notices.WaitEndOfRun());
  EXPECT_EQ(engine.TestTask(1)->Turns(), 2);
  engine.ClearTasks();
}

TEST(Engine, ProgressHandlerRunsOnMainThreadWhileMainWaitsInStop) {
  TTestEngine engine;
  TNotices notices(engine);
  engine.Scripts["hold"] = Hold();
  AddWithOutput(engine, "hold", "out");
  std::atomic<int> calls{0}, offMain{0}, badIndex{0};
  engine.SetOnProgress([&](TCustomConvertEngine*, PProgressInfo info) {
    ++calls;
    if (!IsMainThread()) ++offMain;
    if (info->TaskIndex != 0) ++badIndex;
  });
  engine.StartTask(1);
  ASSERT_TRUE(engine.TestTask(0)->WaitStarted(5s));
  // The worker now waits for the main thread in its first progress call; only the waiting
  // inside StopTask lets it through.
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(calls, 0);
  engine.StopTask(true);
  EXPECT_GE(calls, 1);
  EXPECT_EQ(offMain, 0);
  EXPECT_EQ(badIndex, 0);
  ASSERT_TRUE(notices.WaitEndOfRun());
  engine.ClearTasks();
}

TEST(Engine, PreviewCanBeSwitchedOffWhileTheWorkerWaitsInAPreviewCall) {
  TTestEngine engine;
  TNotices notices(engine);
  engine.Scripts["hold"] = Hold();
  engine.SetPreviewBitmap(true);
  AddWithOutput(engine, "hold", "out");
  std::atomic<int> calls{0}, offMain{0};
  engine.SetOnPreviewBitmap([&](TCustomConvertEngine*, const TPreviewInfo* info) {
    ++calls;
    if (!IsMainThread() || info->TaskIndex != 0) ++offMain;
  });
  engine.StartTask(1);
  // The worker is blocked in its first preview call until the main thread runs the handler;
  // it does not hold the flags lock meanwhile, so the switch takes effect at once, without
  // waiting for the handler.
  ASSERT_TRUE(WaitUntil([&] { return engine.TestTask(0)->InPreview(); }));
  EXPECT_EQ(calls, 0);
  engine.SetPreviewBitmap(false);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(engine.Task(0)->Flags(), 0);
  std::this_thread::sleep_for(30ms);
  engine.TestTask(0)->Release();
  ASSERT_TRUE(notices.WaitEndOfRun());
  // The call issued before the switch is delivered once the main thread takes calls again;
  // none after it.
  EXPECT_EQ(calls, 1) << "preview delivered after it was switched off";
  EXPECT_EQ(offMain, 0);
  engine.ClearTasks();
}

TEST(Engine, HookRunsOnTheWorkerAndCanStopItself) {
  TTestEngine engine;
  TNotices notices(engine);
  engine.Scripts["a"] = Turns(6, 1);
  int index = engine.AddTask("a");
  TOutputOptions out;
  out.CustomHook = true;
  ASSERT_TRUE(engine.SetOutputFile(index, "out", out));
  std::atomic<int> onMain{0}, calls{0};
  engine.SetOnCustomHook([&](TCustomConvertEngine*, PHookInfo info) {
    if (IsMainThread()) ++onMain;
    if (++calls == 2) info->StopHook = true;
  });
  engine.StartTask(1);
  ASSERT_TRUE(notices.WaitEndOfRun());
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(onMain, 0);
  EXPECT_EQ(engine.TestTask(0)->HookCalls(), 2);
  engine.ClearTasks();
}

TEST(Engine, ClosingFilesDeletesEmptyOutputsOnly) {
  testsupport::TempDir dir;
  TTestEngine engine;
  TNotices notices(engine);
  engine.Scripts["empty"] = Writes(0);
  engine.Scripts["full"] = Writes(10);
  engine.Scripts["none"] = Turns(1, 1);
  AddWithOutput(engine, "empty", dir.file("empty.mp4"));
  AddWithOutput(engine, "full", dir.file("full.mp4"));
  // Join mode looks at the first output slot only.
  int join = engine.AddTask("empty");
  TOutputOptions joined;
  joined.Join = true;
  ASSERT_TRUE(engine.SetOutputFile(join, dir.file("join0.mp4"), joined));
  ASSERT_TRUE(engine.SetOutputFile(join, dir.file("join1.mp4"), joined));
  // Something that is not a regular file of ours is never removed, even when it reads empty.
  std::filesystem::path fifo = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::ofstream(dir.file("target")).close();
  std::filesystem::create_symlink(dir.path() / "target", dir.path() / "link");
  int special = engine.AddTask("none");
  ASSERT_TRUE(engine.SetOutputFile(special, fifo.string()));
  ASSERT_TRUE(engine.SetOutputFile(special, dir.file("link")));

  engine.StartTask(1);
  ASSERT_TRUE(notices.WaitEndOfRun());
  EXPECT_FALSE(std::filesystem::exists(dir.file("empty.mp4")));
  EXPECT_EQ(std::filesystem::file_size(dir.file("full.mp4")), 10u);
  EXPECT_FALSE(std::filesystem::exists(dir.file("join0.mp4")));
  EXPECT_TRUE(std::filesystem::exists(dir.file("join1.mp4")));
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(fifo)));
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(dir.path() / "link")));
  EXPECT_TRUE(std::filesystem::exists(dir.file("target")));
  engine.ClearTasks();
}

TEST(Engine, WorkerThreadPriority) {
  struct Row {
    TThreadPriority priority;
    bool idle;
    int niceDelta;
  } rows[] = {{tpIdle, true, 0}, {tpLowest, false, 10}, {tpLower, false, 5}, {tpNormal, false, 0}};
  int base = CurrentThreadNice();
  for (const Row& r : rows) {
    TTestEngine engine;
    TNotices notices(engine);
    engine.SetThreadPriority(r.priority);
    AddWithOutput(engine, "a", "out");
    engine.StartTask(1);
    ASSERT_TRUE(notices.WaitEndOfRun());
    EXPECT_EQ(engine.TestTask(0)->ObservedIdle(), r.idle) << int(r.priority);
    EXPECT_EQ(engine.TestTask(0)->ObservedNice(), std::min(19, base + r.niceDelta)) << int(r.priority);
    engine.ClearTasks();
  }
}

}  // namespace

TEST(Engine, OwnProbeReadsFilesWithoutATask) {
  testsupport::LoadEngineLibs();
  TConvertEngine engine;
  ASSERT_TRUE(engine.AVProbe().LoadFile(testsupport::MediaPath("clip.mp4")));
  EXPECT_NE(engine.AVProbe().GetFormatName().find("mp4"), std::string::npos);
  EXPECT_EQ(engine.TasksCount(), 0);
}

// InputProbe gives the probe bound to each opened input of a task, and none (no exception)
// for a task or file index without one.
TEST(Engine, InputProbeForGoodAndBadIndexes) {
  testsupport::LoadEngineLibs();
  TConvertEngine engine;
  const int first = engine.AddTask(testsupport::MediaPath("clip.mp4"));
  const int second = engine.AddTask(testsupport::MediaPath("audio.mp3"));
  ASSERT_EQ(first, 0) << engine.LastErrMsg();
  ASSERT_EQ(second, 1) << engine.LastErrMsg();
  ASSERT_TRUE(engine.Task(second)->OpenInput(testsupport::MediaPath("clip.mkv"), nullptr));

  struct Row {
    int task, file;
    const char* format;  // a part of the probed container's name; null: no probe
    int videoStreams;
  } rows[] = {{0, 0, "mp4", 1},    {1, 0, "mp3", 0},   {1, 1, "matroska", 1}, {0, 1, nullptr, 0},
              {0, -1, nullptr, 0}, {2, 0, nullptr, 0}, {-1, 0, nullptr, 0},   {1, 20, nullptr, 0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "task " << r.task << " file " << r.file);
    TAVProbe* probe = nullptr;
    ASSERT_NO_THROW(probe = engine.InputProbe(r.task, r.file));
    if (!r.format) {
      EXPECT_EQ(probe, nullptr);
      continue;
    }
    ASSERT_NE(probe, nullptr);
    EXPECT_NE(probe->GetFormatName().find(r.format), std::string::npos) << probe->GetFormatName();
    EXPECT_EQ(probe->VideoStreamCount(), r.videoStreams);
  }
  EXPECT_NE(engine.InputProbe(0, 0), engine.InputProbe(1, 1));
  engine.ClearTasks();
  EXPECT_EQ(engine.InputProbe(0, 0), nullptr);
}
