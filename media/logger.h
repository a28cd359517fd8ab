// The log collector: the one place where messages of the codec libraries and of the media
// components meet. Library output is assembled into whole lines per thread, levels are
// mapped both ways, and each line goes to one OnLog handler (by default on the main thread).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

enum TLogLevel : int { llQuiet = 0, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// (ordinal - 1) * 8: llQuiet -8 ... llDebug 48.
int LogLevelToLibrary(TLogLevel level);
// trunc(n / 8) + 1, clamped to llQuiet..llDebug.
TLogLevel LibraryToLogLevel(int libraryLevel);
const char* LogLevelName(TLogLevel level);

// Common base of the media components (collector, probe, player, engine).
class TFFBaseComponent {
public:
  virtual ~TFFBaseComponent() = default;
};

// Sender, operating-system thread id, level, message.
using TLogEvent = std::function<void(const void* sender, uint32_t threadId, TLogLevel level, const std::string& msg)>;

class TFFLogger : public TFFBaseComponent {
public:
  TFFLogger();
  ~TFFLogger() override;

  TLogLevel LogLevel() const;
  // Applies the level to the codec library when it changes.
  void SetLogLevel(TLogLevel level);
  // "quiet" ... "debug" (any case) or a decimal library level; other text throws
  // std::invalid_argument.
  void SetLogLevelByName(const std::string& name);

  bool TriggerEventInMainThread() const;
  void SetTriggerEventInMainThread(bool value);
  void SetOnLog(TLogEvent handler);
  bool HasOnLog() const;

  // Installs the library callback and level (run by the loader each time avutil is bound).
  void InstallLogHook();

  void Log(const void* sender, TLogLevel level, const std::string& msg);
  void LogFmt(const void* sender, TLogLevel level, const char* fmt, ...) __attribute__((format(printf, 4, 5)));

  // The library's log callback (exposed for tests that feed it fragments directly).
  static void LibraryCallback(void* avcl, int level, const char* fmt, va_list vl);

private:
  void ApplyLogLevel();
  bool Passes(TLogLevel level) const;
  void Deliver(const void* sender, uint32_t threadId, TLogLevel level, const std::string& msg);

  mutable std::mutex lock_;
  TLogLevel level_;
  bool mainThread_ = true;
  std::shared_ptr<const TLogEvent> onLog_;
};

// The process-wide collector, created on first use.
TFFLogger& GetFFLogger();

uint32_t CurrentThreadId();
