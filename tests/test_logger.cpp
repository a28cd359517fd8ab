// The log collector: level mapping, line assembly from library fragments per thread,
// filtering of library and component messages, and delivery on the main thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <future>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "media/dispatcher.h"
#include "media/ffapi.h"
#include "media/logger.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace {

using Line = testsupport::TLoggedLine;

// Feeds the library callback as the codec library does: a format and its argument list.
void Feed(void* ctx, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void Feed(void* ctx, int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  TFFLogger::LibraryCallback(ctx, level, fmt, ap);
  va_end(ap);
}

// A library object: its first field points to its class record.
const char* ProbeItemName(void*) { return "probe"; }
struct FakeContext {
  const AVClass* cls;
};
AVClass MakeClass() {
  AVClass c{};
  c.class_name = "TestClass";
  c.item_name = ProbeItemName;
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}
const AVClass kProbeClass = MakeClass();

class Logger : public ::testing::Test {
protected:
  static void SetUpTestSuite() { testsupport::LoadEngineLibs(); }
  void SetUp() override {
    TFFLogger& log = GetFFLogger();
    log.SetLogLevel(llInfo);
    capture_.emplace();
  }
  void TearDown() override {
    TFFLogger& log = GetFFLogger();
    capture_.reset();
    log.SetTriggerEventInMainThread(true);
    log.SetLogLevel(llInfo);
  }
  std::vector<Line> Lines() { return capture_->Lines(); }
  std::vector<std::string> Texts() { return capture_->Messages(); }
  void Clear() { capture_->Clear(); }

  std::optional<testsupport::LogCapture> capture_;
};

TEST_F(Logger, LevelMappingBothWays) {
  const int library[] = {-8, 0, 8, 16, 24, 32, 40, 48};
  for (int l = llQuiet; l <= llDebug; ++l) EXPECT_EQ(LogLevelToLibrary(TLogLevel(l)), library[l]) << l;
  const struct {
    int library;
    TLogLevel level;
  } cases[] = {{-1000, llQuiet}, {-9, llQuiet}, {-8, llQuiet}, {-7, llPanic},   {-1, llPanic}, {0, llPanic},
               {7, llPanic},     {8, llFatal},  {20, llError}, {24, llWarning}, {32, llInfo},  {39, llInfo},
               {44, llVerbose},  {48, llDebug}, {56, llDebug}, {1000, llDebug}};
  for (const auto& c : cases) EXPECT_EQ(LibraryToLogLevel(c.library), c.level) << c.library;
}

TEST_F(Logger, SetLogLevelByName) {
  TFFLogger& log = GetFFLogger();
  const struct {
    const char* text;
    TLogLevel level;
  } cases[] = {{"WARNING", llWarning}, {"36", llInfo},     {"-20", llQuiet},  {"Debug", llDebug},
               {"quiet", llQuiet},     {"error", llError}, {"44", llVerbose}, {"panic", llPanic}};
  for (const auto& c : cases) {
    log.SetLogLevelByName(c.text);
    EXPECT_EQ(log.LogLevel(), c.level) << c.text;
    EXPECT_EQ(ff::av_log_get_level(), LogLevelToLibrary(c.level)) << c.text;
  }
  log.SetLogLevel(llInfo);
  for (const char* bad : {"abc", "", "12x", "warn", "99999999999"}) {
    EXPECT_THROW(log.SetLogLevelByName(bad), std::invalid_argument) << bad;
    EXPECT_EQ(log.LogLevel(), llInfo) << bad;
  }
}

TEST_F(Logger, SettingTheSameLevelDoesNotCallTheLibrary) {
  TFFLogger& log = GetFFLogger();
  log.SetLogLevel(llWarning);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_WARNING);
  ff::av_log_set_level(AV_LOG_PANIC);  // changed behind the collector's back
  log.SetLogLevel(llWarning);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_PANIC);
  log.SetLogLevel(llError);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_ERROR);
}

// "[probe @ <upper-case hex address>]" followed by the text, for the fake context.
void ExpectPrefixed(const std::string& line, const FakeContext* ctx, const std::string& text) {
  std::smatch m;
  ASSERT_TRUE(std::regex_match(line, m, std::regex(R"(^\[probe @ ([0-9A-F]{8,})\](.*)$)"))) << line;
  EXPECT_EQ(std::strtoull(m[1].str().c_str(), nullptr, 16), reinterpret_cast<uintptr_t>(ctx)) << line;
  EXPECT_EQ(m[2].str(), text);
}

TEST_F(Logger, FragmentsJoinIntoOneLineWithTheFirstPrefix) {
  FakeContext ctx{&kProbeClass};
  Feed(&ctx, AV_LOG_ERROR, "abc");
  EXPECT_TRUE(Lines().empty());
  Feed(nullptr, AV_LOG_ERROR, "%s\n", "def");
  std::vector<Line> lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  ExpectPrefixed(lines[0].msg, &ctx, "abcdef");
  EXPECT_EQ(lines[0].level, llError);
  EXPECT_EQ(lines[0].threadId, CurrentThreadId());
  EXPECT_EQ(lines[0].sender, &GetFFLogger());
}

TEST_F(Logger, OneMessageWithTwoLineFeeds) {
  FakeContext ctx{&kProbeClass};
  Feed(&ctx, AV_LOG_WARNING, "a\nb\n");
  std::vector<std::string> texts = Texts();
  ASSERT_EQ(texts.size(), 2u);
  ExpectPrefixed(texts[0], &ctx, "a");
  EXPECT_EQ(texts[1], "b");
  Clear();
  Feed(nullptr, AV_LOG_WARNING, "%d items\n", 3);
  EXPECT_EQ(Texts(), std::vector<std::string>{"3 items"});
}

TEST_F(Logger, LongMessagesAreCutButKeepTheirLineEnd) {
  std::string big(5000, 'x');
  Feed(nullptr, AV_LOG_ERROR, "%s\n", big.c_str());
  Feed(nullptr, AV_LOG_ERROR, "%s", big.c_str());
  Feed(nullptr, AV_LOG_ERROR, "|tail\n");
  EXPECT_EQ(Texts(), (std::vector<std::string>{std::string(2047, 'x'), std::string(2047, 'x') + "|tail"}));
}

TEST_F(Logger, InterleavedFragmentsOfTwoThreads) {
  std::promise<void> aStarted, bStarted, aDone;
  std::atomic<uint32_t> tidA{0}, tidB{0};
  std::thread a([&] {
    tidA = CurrentThreadId();
    Feed(nullptr, AV_LOG_ERROR, "a1");
    aStarted.set_value();
    bStarted.get_future().wait();
    Feed(nullptr, AV_LOG_ERROR, "a2\n");
    aDone.set_value();
  });
  std::thread b([&] {
    tidB = CurrentThreadId();
    aStarted.get_future().wait();
    Feed(nullptr, AV_LOG_ERROR, "b1");
    bStarted.set_value();
    aDone.get_future().wait();
    Feed(nullptr, AV_LOG_ERROR, "b2\n");
  });
  a.join();
  b.join();
  std::vector<Line> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].msg, "a1a2");
  EXPECT_EQ(lines[0].threadId, tidA.load());
  EXPECT_EQ(lines[1].msg, "b1b2");
  EXPECT_EQ(lines[1].threadId, tidB.load());
}

TEST_F(Logger, ConcurrentThreadsNeverMixTheirLines) {
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  std::vector<uint32_t> tids(kThreads);
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &tids] {
      tids[t] = CurrentThreadId();
      for (int i = 0; i < kLines; ++i) {
        Feed(nullptr, AV_LOG_ERROR, "T%d-", t);
        Feed(nullptr, AV_LOG_ERROR, "%d:", i);
        Feed(nullptr, AV_LOG_ERROR, "end\n");
      }
    });
  for (std::thread& th : threads) th.join();
  std::vector<int> next(kThreads, 0);
  std::vector<Line> lines = Lines();
  ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
  for (const Line& l : lines) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(l.msg.c_str(), "T%d-%d:end", &t, &i), 2) << l.msg;
    ASSERT_TRUE(t >= 0 && t < kThreads) << l.msg;
    EXPECT_EQ(l.msg, "T" + std::to_string(t) + "-" + std::to_string(i) + ":end");
    EXPECT_EQ(l.threadId, tids[t]);
    EXPECT_EQ(i, next[t]++) << "lines of one thread arrive in order";
  }
}

TEST_F(Logger, LibraryLevelsAreFilteredAndMapped) {
  TFFLogger& log = GetFFLogger();
  const struct {
    TLogLevel setting;
    int library;
    bool delivered;
    TLogLevel as;
  } cases[] = {
      {llDebug, 20, true, llError},   {llDebug, 44, true, llVerbose}, {llDebug, 48, true, llDebug},
      {llDebug, 49, false, llDebug},  {llDebug, 56, false, llDebug},  {llInfo, 32, true, llInfo},
      {llInfo, 40, false, llVerbose}, {llQuiet, -8, true, llQuiet},   {llQuiet, 0, false, llPanic},
  };
  for (const auto& c : cases) {
    Clear();
    log.SetLogLevel(c.setting);
    Feed(nullptr, c.library, "level %d\n", c.library);
    std::vector<Line> lines = Lines();
    ASSERT_EQ(lines.size(), c.delivered ? 1u : 0u) << c.library << " at " << LogLevelName(c.setting);
    if (c.delivered) {
      EXPECT_EQ(lines[0].level, c.as) << c.library;
      EXPECT_EQ(lines[0].msg, "level " + std::to_string(c.library));
    }
  }
}

TEST_F(Logger, ComponentMessages) {
  TFFLogger& log = GetFFLogger();
  const int sender = 0;
  const struct {
    TLogLevel setting;
    TLogLevel level;
    bool delivered;
  } cases[] = {
      {llInfo, llVerbose, true}, {llQuiet, llVerbose, false}, {llQuiet, llQuiet, true},
      {llInfo, llWarning, true}, {llError, llWarning, false}, {llInfo, llDebug, false},
      {llDebug, llDebug, true},  {llPanic, llFatal, false},   {llFatal, llFatal, true},
  };
  for (const auto& c : cases) {
    Clear();
    log.SetLogLevel(c.setting);
    log.Log(&sender, c.level, "component message");
    log.LogFmt(&sender, c.level, "%s %d", "formatted", 7);
    std::vector<Line> lines = Lines();
    ASSERT_EQ(lines.size(), c.delivered ? 2u : 0u) << LogLevelName(c.level) << " at " << LogLevelName(c.setting);
    if (!c.delivered) continue;
    EXPECT_EQ(lines[0].msg, "component message");
    EXPECT_EQ(lines[1].msg, "formatted 7");
    for (const Line& l : lines) {
      EXPECT_EQ(l.sender, &sender);
      EXPECT_EQ(l.level, c.level);
      EXPECT_EQ(l.threadId, CurrentThreadId());
    }
  }
  // Component messages are not cut.
  Clear();
  log.SetLogLevel(llInfo);
  std::string big(5000, 'y');
  log.LogFmt(&sender, llError, "<%s>", big.c_str());
  EXPECT_EQ(Texts(), std::vector<std::string>{"<" + big + ">"});
}

TEST_F(Logger, RealLibraryMessageArrivesOnTheMainThread) {
  TFFLogger& log = GetFFLogger();
  log.SetLogLevel(llDebug);
  log.SetTriggerEventInMainThread(true);
  testsupport::TempDir dir;
  const std::string missing = dir.file("missing.avi");

  std::atomic<bool> done{false};
  std::atomic<uint32_t> workerTid{0};
  int result = 0;
  std::thread worker([&] {
    workerTid = CurrentThreadId();
    AVFormatContext* in = nullptr;
    result = ff::avformat_open_input(&in, missing.c_str(), nullptr, nullptr);
    done = true;
  });
  // The worker waits for each of its lines to be handled here.
  while (!done) HeadlessDispatcher().WaitAndProcess(20);
  worker.join();
  ProcessPendingMessages();

  EXPECT_EQ(result, AVERROR(ENOENT));
  bool found = false;
  for (const Line& l : Lines()) {
    EXPECT_EQ(l.handlerThread, std::this_thread::get_id()) << l.msg;
    EXPECT_EQ(l.threadId, workerTid.load()) << l.msg;
    if (l.msg.find("Opening '" + missing + "' for reading") != std::string::npos) {
      found = true;
      EXPECT_EQ(l.level, llDebug);
      EXPECT_EQ(l.msg.rfind("[", 0), 0u) << "carries the library object's prefix: " << l.msg;
    }
  }
  EXPECT_TRUE(found);
}

}  // namespace
