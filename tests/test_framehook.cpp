// Frame-hook modules: loading, configuring, running and releasing real shared libraries (the
// example box module and small fixture modules), with the results and log texts of failures.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/dispatcher.h"
#include "media/ffwrap.h"
#include "media/framehook.h"
#include "media/logger.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace {

const std::string kDrawBox = ORVANE_DRAWBOX_MODULE;
std::string TestHook(const std::string& name) { return std::string(ORVANE_TEST_HOOKS_DIR) + "/hook_" + name + ".so"; }

// Collects the log collector's error lines, synchronously.
class FrameHookTest : public ::testing::Test {
protected:
  void SetUp() override {
    testsupport::LoadEngineLibs();
    log_.emplace(llError);
  }
  void TearDown() override { log_.reset(); }
  std::vector<std::string> TakeErrors() {
    std::vector<std::string> out;
    for (const testsupport::TLoggedLine& l : log_->Take())
      if (l.level == llError) out.push_back(l.msg);
    return out;
  }
  // Loads with the given words (the first is the module file).
  static int Load(TFrameHookChain& chain, std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return LoadFrameHook(chain, int(words.size()), argv.data());
  }

private:
  std::optional<testsupport::LogCapture> log_;
};

// A picture allocated by the codec library, every byte of every plane set to `fill`.
ffw::Frame MakePicture(AVPixelFormat fmt, int width, int height, uint8_t fill) {
  ffw::Frame f = ffw::MakeFrame();
  f->format = fmt;
  f->width = width;
  f->height = height;
  EXPECT_EQ(ff::av_frame_get_buffer(f.get(), 0), 0);
  const bool yuv420 = fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUVJ420P;
  for (int p = 0; p < (yuv420 ? 3 : 1); ++p) {
    int rows = p == 0 ? height : (height + 1) / 2;
    std::memset(f->data[p], fill, size_t(f->linesize[p]) * size_t(rows));
  }
  return f;
}

TFrameHookPicture PictureOf(AVFrame* f) {
  TFrameHookPicture pict{};
  for (int p = 0; p < 4; ++p) {
    pict.data[p] = f->data[p];
    pict.linesize[p] = f->linesize[p];
  }
  return pict;
}

bool InBox(int x, int y, int bx, int by, int bw, int bh) { return x >= bx && x < bx + bw && y >= by && y < by + bh; }

TEST_F(FrameHookTest, DrawBoxFillsTheClippedBoxInEachPixelFormat) {
  struct Case {
    AVPixelFormat fmt;
    int width, height;
    int x, y, w, h;
    std::vector<std::string> colour;  // empty: the default
    uint8_t expect[3];                // Y U V, or B G R
  } cases[] = {
      // Odd size, box partly left of and below the picture, odd corner: every chroma sample
      // whose 2x2 block the box touches takes the colour.
      {AV_PIX_FMT_YUV420P, 33, 17, -3, 5, 10, 40, {"81", "90", "240"}, {81, 90, 240}},
      {AV_PIX_FMT_YUVJ420P, 64, 48, 7, 9, 20, 11, {}, {235, 128, 128}},
      // BT.601 limited range: Y 81 U 90 V 240 is pure red, 235/128/128 white.
      {AV_PIX_FMT_BGR24, 31, 9, 25, -2, 100, 5, {"81", "90", "240"}, {0, 0, 255}},
      {AV_PIX_FMT_BGR24, 16, 16, 0, 0, 16, 16, {}, {255, 255, 255}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "format " << int(c.fmt) << " box " << c.x << "," << c.y);
    TFrameHookChain chain = nullptr;
    std::vector<std::string> words = {kDrawBox, std::to_string(c.x), std::to_string(c.y), std::to_string(c.w),
                                      std::to_string(c.h)};
    words.insert(words.end(), c.colour.begin(), c.colour.end());
    ASSERT_EQ(Load(chain, words), 0);
    ffw::Frame f = MakePicture(c.fmt, c.width, c.height, 7);
    TFrameHookPicture pict = PictureOf(f.get());
    RunFrameHooks(chain, &pict, c.fmt, c.width, c.height, 40000);
    ReleaseFrameHooks(chain);
    EXPECT_EQ(chain, nullptr);

    int wrong = 0;
    if (c.fmt == AV_PIX_FMT_BGR24) {
      for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x)
          for (int k = 0; k < 3; ++k) {
            uint8_t want = InBox(x, y, c.x, c.y, c.w, c.h) ? c.expect[k] : 7;
            wrong += f->data[0][y * f->linesize[0] + 3 * x + k] != want;
          }
    } else {
      for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x)
          wrong += f->data[0][y * f->linesize[0] + x] != (InBox(x, y, c.x, c.y, c.w, c.h) ? c.expect[0] : 7);
      for (int cy = 0; cy < (c.height + 1) / 2; ++cy)
        for (int cx = 0; cx < (c.width + 1) / 2; ++cx) {
          bool touched = false;
          for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx) {
              int x = 2 * cx + dx, y = 2 * cy + dy;
              touched |= x < c.width && y < c.height && InBox(x, y, c.x, c.y, c.w, c.h);
            }
          for (int p = 1; p < 3; ++p) wrong += f->data[p][cy * f->linesize[p] + cx] != (touched ? c.expect[p] : 7);
        }
    }
    EXPECT_EQ(wrong, 0);
  }

  // A pixel format the module does not draw into passes unchanged.
  TFrameHookChain chain = nullptr;
  ASSERT_EQ(Load(chain, {kDrawBox, "0", "0", "4", "4"}), 0);
  ffw::Frame gray = MakePicture(AV_PIX_FMT_GRAY8, 8, 8, 7);
  TFrameHookPicture pict = PictureOf(gray.get());
  RunFrameHooks(chain, &pict, AV_PIX_FMT_GRAY8, 8, 8, 0);
  ReleaseFrameHooks(chain);
  EXPECT_EQ(gray->data[0][0], 7);
  EXPECT_TRUE(TakeErrors().empty());
}

TEST_F(FrameHookTest, ChainRunsInOrderAndEmptyChainIsHarmless) {
  TFrameHookChain chain = nullptr;
  ffw::Frame f = MakePicture(AV_PIX_FMT_YUV420P, 16, 16, 7);
  TFrameHookPicture pict = PictureOf(f.get());
  RunFrameHooks(chain, &pict, AV_PIX_FMT_YUV420P, 16, 16, 0);
  ReleaseFrameHooks(chain);
  EXPECT_EQ(f->data[0][0], 7);

  // Two overlapping boxes: the one appended later is drawn last.
  ASSERT_EQ(Load(chain, {kDrawBox, "0", "0", "8", "8", "50", "128", "128"}), 0);
  ASSERT_EQ(Load(chain, {kDrawBox, "4", "4", "8", "8", "200", "128", "128"}), 0);
  RunFrameHooks(chain, &pict, AV_PIX_FMT_YUV420P, 16, 16, 0);
  ReleaseFrameHooks(chain);
  EXPECT_EQ(chain, nullptr);
  EXPECT_EQ(f->data[0][0], 50);
  EXPECT_EQ(f->data[0][5 * f->linesize[0] + 5], 200);
  EXPECT_EQ(f->data[0][11 * f->linesize[0] + 11], 200);
  EXPECT_EQ(f->data[0][15 * f->linesize[0] + 15], 7);
}

TEST_F(FrameHookTest, FailuresGiveTheirResultAndLogText) {
  testsupport::TempDir dir;
  const std::string notLibrary = dir.file("not-a-module.so");
  std::ofstream(notLibrary) << "plain text\n";
  const std::string missing = dir.file("missing.so");
  // The system's own text for a failed load is the oracle for the -1 cases.
  auto systemText = [](const std::string& path) {
    EXPECT_EQ(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL), nullptr);
    const char* e = ::dlerror();
    return std::string(e ? e : "");
  };
  const std::string missingText = systemText(missing);
  const std::string notLibraryText = systemText(notLibrary);
  ASSERT_NE(missingText.find("missing.so"), std::string::npos);

  struct Case {
    std::vector<std::string> words;
    int result;
    std::string logged;  // empty: nothing logged
  } cases[] = {
      {{}, -2, ""},
      {{missing}, -1, missingText},
      {{missing, "1"}, -1, missingText},
      {{notLibrary}, -1, notLibraryText},
      {{""}, -1, "Cannot load a frame-hook module without a file name"},
      {{TestHook("no_process")}, -2, "Failed to find Process entrypoint in " + TestHook("no_process")},
      {{TestHook("no_configure"), "x"}, -2, "Failed to find Configure entrypoint in " + TestHook("no_configure")},
      // A bare name goes through the system's library search.
      {{"libm.so.6"}, -2, "Failed to find Process entrypoint in libm.so.6"},
      // The box module refuses every malformed word list.
      {{kDrawBox}, -22, "Failed to Configure " + kDrawBox},
      {{kDrawBox, "0", "0", "10"}, -22, "Failed to Configure " + kDrawBox},
      {{kDrawBox, "0", "0", "10", "10", "1"}, -22, "Failed to Configure " + kDrawBox},
      {{kDrawBox, "0", "0", "10x", "10"}, -22, "Failed to Configure " + kDrawBox},
      {{kDrawBox, "0", "", "10", "10"}, -22, "Failed to Configure " + kDrawBox},
      {{kDrawBox, "0", "0", "0", "10"}, -22, "Failed to Configure " + kDrawBox},
      {{kDrawBox, "0", "0", "10", "-1"}, -22, "Failed to Configure " + kDrawBox},
      {{kDrawBox, "0", "0", "10", "10", "16", "256", "128"}, -22, "Failed to Configure " + kDrawBox},
      {{kDrawBox, "99999999999", "0", "10", "10"}, -22, "Failed to Configure " + kDrawBox},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.words.empty() ? "(no words)" : c.words[0]) << " with " << c.words.size()
                                    << " words");
    TFrameHookChain chain = nullptr;
    EXPECT_EQ(Load(chain, c.words), c.result);
    EXPECT_EQ(chain, nullptr);
    std::vector<std::string> errors = TakeErrors();
    if (c.logged.empty())
      EXPECT_TRUE(errors.empty());
    else
      EXPECT_EQ(errors, std::vector<std::string>{c.logged});
  }

  // A failed load leaves an existing chain as it was.
  TFrameHookChain chain = nullptr;
  ASSERT_EQ(Load(chain, {kDrawBox, "0", "0", "2", "2"}), 0);
  TFrameHookNode* head = chain;
  EXPECT_EQ(Load(chain, {kDrawBox, "bad", "0", "2", "2"}), -22);
  EXPECT_EQ(chain, head);
  ffw::Frame f = MakePicture(AV_PIX_FMT_YUV420P, 8, 8, 7);
  TFrameHookPicture pict = PictureOf(f.get());
  RunFrameHooks(chain, &pict, AV_PIX_FMT_YUV420P, 8, 8, 0);
  ReleaseFrameHooks(chain);
  EXPECT_EQ(f->data[0][0], 235);
}

TEST_F(FrameHookTest, ModuleWithoutConfigureLoadsWithoutArguments) {
  TFrameHookChain chain = nullptr;
  ASSERT_EQ(Load(chain, {TestHook("no_configure")}), 0);
  ASSERT_NE(chain, nullptr);
  ffw::Frame f = MakePicture(AV_PIX_FMT_YUV420P, 8, 8, 7);
  TFrameHookPicture pict = PictureOf(f.get());
  RunFrameHooks(chain, &pict, AV_PIX_FMT_YUV420P, 8, 8, 0);
  EXPECT_EQ(f->data[0][0], 0x5A);
  // The module has no Release either: releasing only frees the node.
  ReleaseFrameHooks(chain);
  EXPECT_EQ(chain, nullptr);
  EXPECT_TRUE(TakeErrors().empty());
}

TEST_F(FrameHookTest, OneLibraryServesTwoChainsWithTheirOwnInstances) {
  const std::string module = TestHook("tagged");
  // Loads for two tasks at once, each with its own chain and tag.
  ASSERT_EQ(::dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
  TFrameHookChain chains[2] = {nullptr, nullptr};
  int results[2] = {1, 1};
  std::thread loaders[2];
  for (int i = 0; i < 2; ++i)
    loaders[i] = std::thread([&, i] { results[i] = Load(chains[i], {module, std::to_string(i + 1)}); });
  for (std::thread& t : loaders) t.join();
  ASSERT_EQ(results[0], 0);
  ASSERT_EQ(results[1], 0);

  void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  auto* released = static_cast<int*>(::dlsym(handle, "tagged_released"));
  auto* releasedCount = static_cast<int*>(::dlsym(handle, "tagged_released_count"));
  ASSERT_NE(released, nullptr);
  ASSERT_NE(releasedCount, nullptr);
  int before = *releasedCount;

  for (int i = 0; i < 2; ++i) {
    ffw::Frame f = MakePicture(AV_PIX_FMT_YUV420P, 8, 8, 0);
    TFrameHookPicture pict = PictureOf(f.get());
    RunFrameHooks(chains[i], &pict, AV_PIX_FMT_YUV420P, 8, 8, 0);
    EXPECT_EQ(f->data[0][0], i + 1);
  }

  // Release hands each instance its own context; the module stays loaded afterwards.
  ReleaseFrameHooks(chains[1]);
  ASSERT_EQ(*releasedCount, before + 1);
  EXPECT_EQ(released[before], 2);
  ReleaseFrameHooks(chains[0]);
  ASSERT_EQ(*releasedCount, before + 2);
  EXPECT_EQ(released[before + 1], 1);
  EXPECT_EQ(chains[0], nullptr);
  EXPECT_EQ(chains[1], nullptr);
  ::dlclose(handle);
  void* still = ::dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(still, nullptr);
  if (still) ::dlclose(still);
  EXPECT_TRUE(TakeErrors().empty());
}

// Passes main-thread calls to the headless dispatcher and tells when a worker starts waiting
// for one.
class SignallingDispatcher : public IMainThreadDispatcher {
public:
  bool IsMainThread() const override { return HeadlessDispatcher().IsMainThread(); }
  void RunInMainThread(const std::function<void()>& fn) override {
    if (!IsMainThread()) {
      std::lock_guard<std::mutex> g(lock_);
      waiting_ = true;
      changed_.notify_all();
    }
    HeadlessDispatcher().RunInMainThread(fn);
  }
  void ProcessPendingMessages() override { HeadlessDispatcher().ProcessPendingMessages(); }
  bool WaitForWorker() {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, std::chrono::seconds(10), [this] { return waiting_; });
  }

private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool waiting_ = false;
};

// A failure's log line goes to the main thread after the module lock is released: another
// load meanwhile does not wait for the main thread, which may be the thread asking for it.
TEST_F(FrameHookTest, LoadsProceedWhileAFailureWaitsForTheMainThread) {
  SignallingDispatcher dispatcher;
  SetMainThreadDispatcher(&dispatcher);
  GetFFLogger().SetTriggerEventInMainThread(true);
  testsupport::TempDir dir;

  TFrameHookChain failed = nullptr;
  std::thread worker([&] { EXPECT_EQ(Load(failed, {dir.file("missing.so")}), -1); });
  ASSERT_TRUE(dispatcher.WaitForWorker());

  TFrameHookChain chain = nullptr;
  auto other = std::async(std::launch::async, [&] { return Load(chain, {kDrawBox, "0", "0", "2", "2"}); });
  bool finished = other.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  EXPECT_TRUE(finished);
  // Deliver the log line so that the worker can end either way.
  std::vector<std::string> errors;
  while (errors.empty()) {
    ProcessPendingMessages();
    errors = TakeErrors();
    if (errors.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  worker.join();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("missing.so"), std::string::npos);
  EXPECT_EQ(other.get(), 0);
  ReleaseFrameHooks(chain);
  GetFFLogger().SetTriggerEventInMainThread(false);
  SetMainThreadDispatcher(nullptr);
}

// Loads the module without Process and expects its failure in the log collector: 0 when it
// is there, 1 when not, 2 when the codec libraries are already loaded.
int LoadWithoutCodecLibraries() {
  if (ff::av_log) return 2;
  testsupport::LogCapture log(llError);
  std::string module = TestHook("no_process");
  char* argv[] = {module.data(), nullptr};
  TFrameHookChain chain = nullptr;
  int result = LoadFrameHook(chain, 1, argv);
  const std::vector<std::string> errors = log.Messages(llError);
  bool ok = result == -2 && chain == nullptr &&
            errors == std::vector<std::string>{"Failed to find Process entrypoint in " + module};
  if (!ok) std::fprintf(stderr, "result %d, %zu error lines\n", result, errors.size());
  return ok ? 0 : 1;
}

// Before the codec libraries are loaded a failure still reaches the log collector. Runs in a
// fresh process, where nothing has loaded them.
TEST(FrameHook, FailureIsLoggedWhileTheCodecLibrariesAreNotLoaded) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(LoadWithoutCodecLibraries()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
