// Captures the lines of the log collector (GetFFLogger) for one test or one scope.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>  // fixtures hold one in a std::optional to start it at a chosen step
#include <string>
#include <thread>
#include <vector>

#include "media/logger.h"

namespace testsupport {

// One delivered line: who sent it, from which operating-system thread, at which level, and
// the thread that ran the collector's handler.
struct TLoggedLine {
  const void* sender;
  uint32_t threadId;
  TLogLevel level;
  std::string msg;
  std::thread::id handlerThread;
};

// While it lives, the collector delivers every line at once on the logging thread (not through
// the main thread) to this object, and at the given level when one is given. When it goes,
// the collector gets no handler and its former level and delivery back.
class LogCapture {
public:
  LogCapture();
  explicit LogCapture(TLogLevel level);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line captured so far.
  std::vector<TLoggedLine> Lines() const;
  // The lines captured so far; forgets them.
  std::vector<TLoggedLine> Take();
  // The lines the given sender logged since the last Take; forgets every line.
  std::vector<TLoggedLine> Take(const void* sender);
  // The messages at `level` or more severe (a lower level), in order.
  std::vector<std::string> Messages(TLogLevel level = llDebug) const;
  // The same messages, each on a line of its own.
  std::string Text(TLogLevel level = llDebug) const;
  void Clear();

private:
  mutable std::mutex lock_;
  std::vector<TLoggedLine> lines_;
  TLogLevel savedLevel_;
  bool savedMainThread_;
  bool restoreLevel_ = false;
};

}  // namespace testsupport
