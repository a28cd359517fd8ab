#include "media/logger.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cstdarg>
#include <map>
#include <stdexcept>
#include <strings.h>
#include <vector>

#include "media/dispatcher.h"
#include "media/errors.h"
#include "media/ffapi.h"

namespace {

// Mirror of the level handed to the codec library (AV_LOG_INFO until changed).
std::atomic<int> gLibraryLevel{AV_LOG_INFO};
std::atomic<TFFLogger*> gInstance{nullptr};

// Per-thread text received since the last line feed. Items stay for the life of the process.
struct TLogList {
  std::mutex lock;
  std::map<uint32_t, std::string> items;
};
TLogList& LogList() {
  static TLogList* list = new TLogList;  // outlives every thread that may still log at exit
  return *list;
}

// Longest library message kept; a longer one is cut there.
constexpr size_t kMaxLibraryMessage = 2047;

// Formats with the C runtime's entry when it is bound (the library hands over its own
// argument list). A message longer than the limit is cut, but keeps its closing line feed so
// that it still ends its line.
std::string FormatLibraryMessage(const char* fmt, va_list vl) {
  using Formatter = int (*)(char*, size_t, const char*, va_list);
  Formatter format = ff::vsnprintf ? ff::vsnprintf : static_cast<Formatter>(std::vsnprintf);
  va_list measure;
  va_copy(measure, vl);
  int n = format(nullptr, 0, fmt, measure);
  va_end(measure);
  if (n <= 0) return std::string();
  std::string text(size_t(n) + 1, '\0');
  va_list copy;
  va_copy(copy, vl);
  format(text.data(), text.size(), fmt, copy);
  va_end(copy);
  text.resize(size_t(n));
  if (text.size() > kMaxLibraryMessage) {
    bool lineEnd = text.back() == '\n';
    text.resize(kMaxLibraryMessage);
    if (lineEnd) text += '\n';
  }
  return text;
}

// printf-style formatting of a component message, without a length limit.
std::string FormatComponentMessage(const char* fmt, va_list ap) {
  va_list measure;
  va_copy(measure, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, measure);
  va_end(measure);
  if (n <= 0) return std::string();
  std::string text(size_t(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), fmt, ap);
  text.resize(size_t(n));
  return text;
}

const char* const kLevelNames[] = {"quiet", "panic", "fatal", "error", "warning", "info", "verbose", "debug"};

}  // namespace

int LogLevelToLibrary(TLogLevel level) { return (int(level) - 1) * 8; }

TLogLevel LibraryToLogLevel(int n) {
  int ord = n / 8 + 1;  // C++ division truncates toward zero
  if (ord < llQuiet) ord = llQuiet;
  if (ord > llDebug) ord = llDebug;
  return TLogLevel(ord);
}

const char* LogLevelName(TLogLevel level) { return kLevelNames[level]; }

uint32_t CurrentThreadId() { return uint32_t(::syscall(SYS_gettid)); }

TFFLogger::TFFLogger() : level_(LibraryToLogLevel(gLibraryLevel.load())) {
  assert(gInstance.load() == nullptr && "Allow creating only one instance of TFFLogger.");
  gInstance.store(this);
}

TFFLogger::~TFFLogger() {
  TFFLogger* self = this;
  gInstance.compare_exchange_strong(self, nullptr);
}

TFFLogger& GetFFLogger() {
  static TFFLogger* logger = new TFFLogger;  // never destroyed: library threads may log at exit
  return *logger;
}

TLogLevel TFFLogger::LogLevel() const {
  std::lock_guard<std::mutex> g(lock_);
  return level_;
}

void TFFLogger::SetLogLevel(TLogLevel level) {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (level == level_) return;
    level_ = level;
  }
  ApplyLogLevel();
}

void TFFLogger::ApplyLogLevel() {
  if (!ff::av_log_set_level) return;
  int lib = LogLevelToLibrary(LogLevel());
  gLibraryLevel.store(lib);
  ff::av_log_set_level(lib);
}

void TFFLogger::SetLogLevelByName(const std::string& name) {
  int lib = 0;
  bool found = false;
  for (int i = 0; i <= llDebug; ++i)
    if (strcasecmp(name.c_str(), kLevelNames[i]) == 0) {
      lib = LogLevelToLibrary(TLogLevel(i));
      found = true;
    }
  if (!found) {
    size_t used = 0;
    try {
      lib = std::stoi(name, &used, 10);
    } catch (const std::logic_error&) {
      used = 0;  // not a number, or out of range: reported below as one kind of error
    }
    if (used == 0 || used != name.size()) throw std::invalid_argument("'" + name + "' is not a valid integer value");
  }
  SetLogLevel(LibraryToLogLevel(lib));
}

bool TFFLogger::TriggerEventInMainThread() const {
  std::lock_guard<std::mutex> g(lock_);
  return mainThread_;
}

void TFFLogger::SetTriggerEventInMainThread(bool value) {
  std::lock_guard<std::mutex> g(lock_);
  mainThread_ = value;
}

void TFFLogger::SetOnLog(TLogEvent handler) {
  std::lock_guard<std::mutex> g(lock_);
  onLog_ = handler ? std::make_shared<const TLogEvent>(std::move(handler)) : nullptr;
}

bool TFFLogger::HasOnLog() const {
  std::lock_guard<std::mutex> g(lock_);
  return onLog_ != nullptr;
}

void TFFLogger::InstallLogHook() {
  assert(ff::av_log_set_callback && ff::av_log_set_level);
  ff::av_log_set_callback(&TFFLogger::LibraryCallback);
  // A freshly loaded library starts at its own default level: apply ours even when unchanged.
  ApplyLogLevel();
}

bool TFFLogger::Passes(TLogLevel level) const {
  std::lock_guard<std::mutex> g(lock_);
  if (!onLog_) return false;
  return level_ >= level || (level == llVerbose && level_ != llQuiet);
}

void TFFLogger::Log(const void* sender, TLogLevel level, const std::string& msg) {
  if (!Passes(level)) return;
  Deliver(sender, CurrentThreadId(), level, msg);
}

void TFFLogger::LogFmt(const void* sender, TLogLevel level, const char* fmt, ...) {
  if (!Passes(level)) return;
  va_list ap;
  va_start(ap, fmt);
  std::string msg = FormatComponentMessage(fmt, ap);
  va_end(ap);
  Deliver(sender, CurrentThreadId(), level, msg);
}

void TFFLogger::Deliver(const void* sender, uint32_t threadId, TLogLevel level, const std::string& msg) {
  std::shared_ptr<const TLogEvent> handler;
  bool mainThread;
  {
    std::lock_guard<std::mutex> g(lock_);
    handler = onLog_;
    mainThread = mainThread_;
  }
  if (!handler) return;
  if (mainThread)
    RunInMainThread([&] { (*handler)(sender, threadId, level, msg); });
  else
    (*handler)(sender, threadId, level, msg);
}

void TFFLogger::LibraryCallback(void* avcl, int level, const char* fmt, va_list vl) {
  if (level > gLibraryLevel.load()) return;
  TFFLogger* self = gInstance.load();
  std::string prefix;
  if (avcl) {
    AVClass* cls = *static_cast<AVClass**>(avcl);
    if (cls && cls->item_name)
      prefix = StrFormat("[%s @ %08llX]", cls->item_name(avcl),
                         static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(avcl)));
  }
  std::string msg = FormatLibraryMessage(fmt, vl);
  uint32_t tid = CurrentThreadId();
  std::vector<std::string> lines;
  {
    TLogList& list = LogList();
    std::lock_guard<std::mutex> g(list.lock);
    std::string& buffer = list.items[tid];
    if (buffer.empty())
      buffer = prefix + msg;
    else
      buffer += msg;
    size_t nl;
    while ((nl = buffer.find('\n')) != std::string::npos) {
      lines.push_back(buffer.substr(0, nl));
      buffer.erase(0, nl + 1);
    }
  }
  // Delivered outside the list lock: the handler may run on the main thread, which may
  // itself be logging.
  if (!self) return;
  for (const std::string& line : lines)
    if (self->HasOnLog()) self->Deliver(self, tid, LibraryToLogLevel(level), line);
}
