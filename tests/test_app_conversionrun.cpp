// The conversion run both front ends present, on its own: a mixed batch through the real
// engine, each task's outcome and output and the run's totals.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/core/conversionrun.h"
#include "app/core/optionbuilder.h"
#include "app/core/settings.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testsupport::MediaPath;

namespace {

// The notices of the engine's threads, taken on the test's thread as a front end takes them.
class TNoticeQueue {
public:
  TRunNotices Notices() {
    TRunNotices n;
    n.Progress = [this](const TProgressInfo& info) {
      std::lock_guard<std::mutex> g(lock_);
      if (info.TaskIndex == watchedTask_ && info.CurrentDuration > reachedUs_) reachedUs_ = info.CurrentDuration;
      cv_.notify_all();
    };
    n.Ended = [this](const TTerminateInfo& info) {
      std::lock_guard<std::mutex> g(lock_);
      ended_.push_back(info);
      cv_.notify_all();
    };
    return n;
  }
  void Watch(int task) { watchedTask_ = task; }
  // The next end notice, or how far the watched task got: whichever comes first.
  bool Wait(std::optional<TTerminateInfo>& ended, int64_t& reachedUs) {
    std::unique_lock<std::mutex> g(lock_);
    const int64_t seen = reachedUs_;
    const bool woke = cv_.wait_for(g, std::chrono::seconds(120), [&] { return !ended_.empty() || reachedUs_ != seen; });
    reachedUs = reachedUs_;
    ended.reset();
    if (!ended_.empty()) {
      ended = ended_.front();
      ended_.pop_front();
    }
    return woke;
  }

private:
  std::mutex lock_;
  std::condition_variable cv_;
  std::deque<TTerminateInfo> ended_;
  int watchedTask_ = -1;
  int64_t reachedUs_ = 0;
};

}  // namespace

// One run of five jobs, one at a time: a missing file gets no task, a whole clip converts, a
// cut-off one fails (its output removed), a long one is stopped half-way (what it converted
// kept and playable) and the one queued behind it never begins. A job withdrawn once prepared
// leaves nothing behind and counts nowhere.
TEST(ConversionRun, MixedBatchOutcomesAndTotals) {
  testsupport::LoadEngineLibs();
  testsupport::TempDir dir;
  const fs::path out = dir.path() / "out";
  fs::create_directories(out);
  const TAppSettings settings(dir.file("settings.ini"), std::string(ORVANE_BINARY_DIR) + "/data/orvanepspformat.ini");
  TAutoAnswerPrompts prompts;
  TRunOptions options;
  options.Prepare.OutputDir = out.string();
  options.Prepare.StoreFallback = false;

  TConversionRun run;
  TNoticeQueue queue;
  run.SetNotices(queue.Notices());
  run.Begin(settings, prompts, options);
  const int32_t code = settings.Read().FormatCode;
  auto job = [](const std::string& file) {
    TJobSettings j;
    j.Job.SourceFile = file;
    return j;
  };
  const std::string missing = dir.file("missing.mp4");
  const TJobAdded gone = run.Add(0, job(missing), code);
  EXPECT_EQ(gone.Task, -1);
  EXPECT_NE(gone.Error.find(missing), std::string::npos) << gone.Error;
  const TJobAdded withdrawn = run.Add(9, job(MediaPath("clip.avi")), code, [](const TPreparedJob&) { return false; });
  EXPECT_TRUE(withdrawn.Withdrawn);
  EXPECT_TRUE(fs::is_empty(out)) << "the withdrawn job's reserved name is released";
  const char* clips[] = {"clip.mp4", "truncated.mkv", "long.mp4", "clip.mkv"};
  for (int k = 0; k < 4; ++k) {
    const TJobAdded added = run.Add(k + 1, job(MediaPath(clips[k])), code);
    ASSERT_EQ(added.Task, k) << added.Error;
    EXPECT_EQ(run.Row(k), k + 1);
  }
  ASSERT_EQ(run.TaskCount(), 4u);
  EXPECT_EQ(run.OutputFolder(), out.string());

  queue.Watch(2);
  run.Start(1, settings.Read().Priority);
  std::vector<std::optional<TTaskOutcome>> outcomes(4);
  bool stopped = false;
  for (;;) {
    std::optional<TTerminateInfo> ended;
    int64_t reachedUs = 0;
    ASSERT_TRUE(queue.Wait(ended, reachedUs)) << "the run went quiet";
    if (!stopped && reachedUs >= 2000000) {
      stopped = true;
      run.Stop();
    }
    if (!ended) continue;
    if (ended->TaskIndex < 0) break;
    ASSERT_FALSE(run.HasEnded(ended->TaskIndex));
    outcomes[size_t(ended->TaskIndex)] = run.TaskEnded(*ended);
    EXPECT_TRUE(run.HasEnded(ended->TaskIndex));
    EXPECT_FALSE(run.TaskEnded(*ended)) << "a notice counts once";
  }
  run.End();
  ASSERT_TRUE(stopped);
  for (const auto& o : outcomes) ASSERT_TRUE(o.has_value());

  EXPECT_EQ(outcomes[0]->Kind, TTaskOutcome::Converted);
  EXPECT_EQ(outcomes[0]->Output, run.Job(0).Job.DestFile);
  EXPECT_GT(testsupport::FfprobeNumber(outcomes[0]->Output, "format=duration"), 9.0);
  EXPECT_EQ(outcomes[1]->Kind, TTaskOutcome::Failed);
  EXPECT_TRUE(outcomes[1]->EndedEarly);
  EXPECT_NE(outcomes[1]->Message.find("the input ended early"), std::string::npos) << outcomes[1]->Message;
  EXPECT_FALSE(fs::exists(run.Job(1).Job.DestFile));
  EXPECT_EQ(outcomes[2]->Kind, TTaskOutcome::Stopped);
  const double kept = testsupport::FfprobeNumber(outcomes[2]->Output, "format=duration");
  EXPECT_GT(kept, 1.0);
  EXPECT_LT(kept, 100.0);
  EXPECT_EQ(outcomes[3]->Kind, TTaskOutcome::NotStarted);
  EXPECT_FALSE(fs::exists(run.Job(3).Job.DestFile));

  const TRunTotals& t = run.Totals();
  EXPECT_EQ(t.Converted, 1);
  EXPECT_EQ(t.Failed, 1);
  EXPECT_EQ(t.Stopped, 1);
  EXPECT_EQ(t.NotStarted, 1);
  EXPECT_EQ(t.Skipped, 1);
  EXPECT_EQ(t.EndedEarly, 0);
  EXPECT_EQ(t.MayPass, 0);
  // Only the converted and the stopped outputs are left, under their final names.
  std::vector<fs::path> left;
  for (const auto& e : fs::directory_iterator(out)) left.push_back(e.path());
  std::sort(left.begin(), left.end());
  std::vector<fs::path> expected{outcomes[0]->Output, outcomes[2]->Output};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
}
