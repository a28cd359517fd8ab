#include "tests/support/log_capture.h"

namespace testsupport {

LogCapture::LogCapture() {
  TFFLogger& log = GetFFLogger();
  savedLevel_ = log.LogLevel();
  savedMainThread_ = log.TriggerEventInMainThread();
  log.SetTriggerEventInMainThread(false);
  log.SetOnLog([this](const void* sender, uint32_t tid, TLogLevel level, const std::string& msg) {
    std::lock_guard<std::mutex> g(lock_);
    lines_.push_back({sender, tid, level, msg, std::this_thread::get_id()});
  });
}

LogCapture::LogCapture(TLogLevel level) : LogCapture() {
  restoreLevel_ = true;
  GetFFLogger().SetLogLevel(level);
}

LogCapture::~LogCapture() {
  TFFLogger& log = GetFFLogger();
  log.SetOnLog(nullptr);
  log.SetTriggerEventInMainThread(savedMainThread_);
  if (restoreLevel_) log.SetLogLevel(savedLevel_);
}

std::vector<TLoggedLine> LogCapture::Lines() const {
  std::lock_guard<std::mutex> g(lock_);
  return lines_;
}

std::vector<TLoggedLine> LogCapture::Take() {
  std::lock_guard<std::mutex> g(lock_);
  std::vector<TLoggedLine> out;
  out.swap(lines_);
  return out;
}

std::vector<TLoggedLine> LogCapture::Take(const void* sender) {
  std::vector<TLoggedLine> mine;
  for (TLoggedLine& l : Take())
    if (l.sender == sender) mine.push_back(std::move(l));
  return mine;
}

std::vector<std::string> LogCapture::Messages(TLogLevel level) const {
  std::vector<std::string> out;
  for (const TLoggedLine& l : Lines())
    if (l.level <= level) out.push_back(l.msg);
  return out;
}

std::string LogCapture::Text(TLogLevel level) const {
  std::string text;
  for (const std::string& m : Messages(level)) {
    text += m;
    if (m.empty() || m.back() != '\n') text += '\n';
  }
  return text;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> g(lock_);
  lines_.clear();
}

}  // namespace testsupport
