#include "cli/report.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "media/gcc_warnings.h"
namespace {

// Decodes one UTF-8 sequence at s[i]; returns its length (0 when it is not valid UTF-8).
size_t Utf8Length(const std::string& s, size_t i, uint32_t& cp) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (d & 0x3F);
  }
  static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

int CodePointColumns(uint32_t cp) {
  if (cp < 0x20) return 0;
  return cp >= 0x1100 && (cp <= 0x115F || (cp >= 0x2E80 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
                          (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) ||
                          (cp >= 0xFF00 && cp <= 0xFF60) || (cp >= 0xFFE0 && cp <= 0xFFE6) || cp >= 0x1F300)
             ? 2
             : 1;
}

// The longest start of the text that fits in `columns` terminal columns.
std::string FitColumns(const std::string& text, int columns) {
  int used = 0;
  size_t i = 0;
  while (i < text.size()) {
    uint32_t cp;
    size_t len = Utf8Length(text, i, cp);
    int w = len ? CodePointColumns(cp) : 1;
    if (!len) len = 1;
    if (used + w > columns) break;
    used += w;
    i += len;
  }
  return text.substr(0, i);
}

// The end of the text that fits in `columns`, after "...".
std::string FitColumnsFromEnd(const std::string& text, int columns) {
  if (TextColumns(text) <= columns) return text;
  if (columns <= 3) return FitColumns("...", columns);
  // Code point starts from the front, then keep the shortest suffix that fits.
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size();) {
    starts.push_back(i);
    uint32_t cp;
    size_t len = Utf8Length(text, i, cp);
    i += len ? len : 1;
  }
  for (size_t s : starts) {
    std::string tail = text.substr(s);
    if (TextColumns(tail) <= columns - 3) return "..." + tail;
  }
  return "...";
}

std::string JsonNumber(double v, int decimals) {
  if (!std::isfinite(v)) return "null";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  return ec == std::errc() ? std::string(buf, end) : "null";
}

std::string HumanSize(int64_t bytes) {
  char buf[32];
  if (bytes < 1000)
    std::snprintf(buf, sizeof buf, "%lld B", static_cast<long long>(bytes));
  else if (bytes < 1000 * 1000)
    std::snprintf(buf, sizeof buf, "%.1f kB", bytes / 1e3);
  else if (bytes < int64_t(1000) * 1000 * 1000)
    std::snprintf(buf, sizeof buf, "%.1f MB", bytes / 1e6);
  else
    std::snprintf(buf, sizeof buf, "%.2f GB", bytes / 1e9);
  return buf;
}

int TerminalColumns(FILE* f) {
  winsize ws{};
  if (ioctl(fileno(f), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* EndName(TTaskEnd how) {
  switch (how) {
    case TTaskEnd::Converted:
      return "converted";
    case TTaskEnd::Failed:
      return "failed";
    case TTaskEnd::Stopped:
    case TTaskEnd::StoppedRemoved:
    case TTaskEnd::NotStarted:
      return "stopped";
  }
  return "failed";
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    const size_t len = Utf8Length(text, i, cp);
    if (len == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (cp == '"')
      out += "\\\"";
    else if (cp == '\\')
      out += "\\\\";
    else if (cp == '\n')
      out += "\\n";
    else if (cp == '\r')
      out += "\\r";
    else if (cp == '\t')
      out += "\\t";
    else if (cp < 0x20 || cp == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", cp);
      out += buf;
    } else {
      out.append(text, i, len);
    }
    i += len;
  }
  return out + "\"";
}

std::string FormatClock(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return buf;
}

int TextColumns(const std::string& text) {
  int cols = 0;
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    size_t len = Utf8Length(text, i, cp);
    cols += len ? CodePointColumns(cp) : 1;
    i += len ? len : 1;
  }
  return cols;
}

TRunReporter::TRunReporter(TReportMode mode, FILE* out, FILE* err) : mode_(mode), out_(out), err_(err) {}

void TRunReporter::Emit(FILE* f, const std::string& line) {
  if (f == err_) std::fflush(out_);
  std::fputs(line.c_str(), f);
  std::fputc('\n', f);
  std::fflush(f);
}

void TRunReporter::SetShard(int index, int count) {
  shard_ = index;
  shards_ = count;
}

std::string TRunReporter::PlaceFields(int job) const {
  std::string s = job >= 0 ? ",\"job\":" + std::to_string(job) : std::string();
  if (shards_ > 0) s += ",\"shard\":" + std::to_string(shard_) + ",\"shards\":" + std::to_string(shards_);
  return s;
}

void TRunReporter::Queued(int task, int total, const std::string& file, const std::string& output, int job) {
  TTask& t = tasks_[task];
  t.file = file;
  t.name = BaseName(file);
  t.output = output;
  t.number = task + 1;
  t.total = total;
  t.job = job;
  if (mode_ == TReportMode::Json)
    Emit(out_, "{\"event\":\"queued\",\"task\":" + std::to_string(task) + PlaceFields(job) +
                   ",\"file\":" + JsonString(file) + ",\"output\":" + JsonString(output) + "}");
}

void TRunReporter::AlreadyDone(const std::string& file, const std::string& output, int job) {
  if (mode_ == TReportMode::Json)
    Emit(out_, "{\"event\":\"done\"" + PlaceFields(job) + ",\"file\":" + JsonString(file) +
                   ",\"output\":" + JsonString(output) + "}");
  else
    Note(file + ": converted already (" + output + ")");
}

void TRunReporter::Elsewhere(const std::string& file, const std::string& msg, int job) {
  if (mode_ == TReportMode::Json)
    Emit(out_, "{\"event\":\"elsewhere\"" + PlaceFields(job) + ",\"file\":" + JsonString(file) +
                   ",\"note\":" + JsonString(msg) + "}");
  else
    Note(msg + "; left to it");
}

void TRunReporter::SetOutput(int task, const std::string& output) {
  if (auto it = tasks_.find(task); it != tasks_.end()) it->second.output = output;
}

void TRunReporter::Skipped(const std::string& file, const std::string& msg, int job) {
  if (mode_ == TReportMode::Json)
    Emit(out_, "{\"event\":\"skipped\"" + PlaceFields(job) + ",\"file\":" + JsonString(file) +
                   ",\"error\":" + JsonString(msg) + "}");
  Error(msg + " (skipped)");
}

std::vector<std::string> TRunReporter::StatusParts(const TTask& t) const {
  const TProgressInfo& p = t.last;
  std::vector<std::string> parts(kPartCount);
  char buf[96];
  if (p.TotalDuration > 0) {
    int64_t pct = p.CurrentDuration * 100 / p.TotalDuration;
    std::snprintf(buf, sizeof buf, "%3lld%%", static_cast<long long>(std::clamp<int64_t>(pct, 0, 100)));
    parts[kPercent] = buf;
  } else {
    parts[kPercent] = FormatClock(p.CurrentDuration / 1000000);
  }
  if (p.FPS >= 0) {
    std::snprintf(buf, sizeof buf, "%d fps", p.FPS);
    parts[kFps] = buf;
  }
  if (t.speed > 0) {
    std::snprintf(buf, sizeof buf, "%.1fx", t.speed);
    parts[kSpeed] = buf;
  }
  parts[kSize] = HumanSize(p.CurrentSize);
  if (t.speed > 0 && p.TotalDuration > 0) {
    const double left = double(std::max<int64_t>(0, p.TotalDuration - p.CurrentDuration)) / t.speed / 1e6;
    parts[kLeft] = FormatClock(static_cast<int64_t>(std::ceil(left))) + " left";
  }
  return parts;
}

std::string TRunReporter::StatusText(const TTask& t) const { return JoinParts(StatusParts(t)); }

std::string TRunReporter::JoinParts(const std::vector<std::string>& parts) {
  std::string s;
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    if (!s.empty()) s += "  ";
    s += part;
  }
  return s;
}

std::string TRunReporter::LiveLine(const TTask& t, int columns) const {
  ORVANE_STRING_RESTRICT_FALSE_ALARM_BEGIN
  const std::string head = "[" + std::to_string(t.number) + "/" + std::to_string(t.total) + "] ";
  ORVANE_STRING_RESTRICT_FALSE_ALARM_END
  std::vector<std::string> parts = StatusParts(t);
  // The line must not wrap, or the cursor would not find its start again. On a narrow
  // terminal the less telling figures give way first, so that the name stays readable.
  const int wantName = std::min(TextColumns(t.name), 20);
  for (int drop : {kFps, kSize, kSpeed, kLeft}) {
    if (columns - 1 - TextColumns(head) - 2 - TextColumns(JoinParts(parts)) >= wantName) break;
    parts[size_t(drop)].clear();
  }
  const std::string status = ": " + JoinParts(parts);
  const int room = columns - 1 - TextColumns(head) - TextColumns(status);
  return FitColumns(head + FitColumnsFromEnd(t.name, std::max(room, 4)) + status, columns - 1);
}

void TRunReporter::ClearBlock() {
  if (drawnLines_ > 0) {
    std::fprintf(out_, "\x1b[%dF\x1b[J", drawnLines_);
    drawnLines_ = 0;
  }
}

void TRunReporter::DrawBlock() {
  const int cols = TerminalColumns(out_);
  std::string text;
  int lines = 0;
  for (const auto& [index, t] : tasks_) {
    if (!t.running) continue;
    text += "\x1b[2K" + LiveLine(t, cols) + "\n";
    ++lines;
  }
  if (drawnLines_ > 0) std::fprintf(out_, "\x1b[%dF", drawnLines_);
  std::fputs(text.c_str(), out_);
  if (lines < drawnLines_) std::fputs("\x1b[J", out_);
  drawnLines_ = lines;
  std::fflush(out_);
}

void TRunReporter::Progress(const TProgressInfo& info) {
  auto it = tasks_.find(info.TaskIndex);
  if (it == tasks_.end()) return;
  TTask& t = it->second;
  const auto now = std::chrono::steady_clock::now();
  if (!t.running) {
    t.running = true;
    t.firstTime = now;
    t.firstDuration = info.CurrentDuration;
  } else {
    const double wall = std::chrono::duration<double, std::micro>(now - t.firstTime).count();
    if (wall > 0 && info.CurrentDuration > t.firstDuration)
      t.speed = double(info.CurrentDuration - t.firstDuration) / wall;
  }
  t.last = info;
  switch (mode_) {
    case TReportMode::Quiet:
      break;
    case TReportMode::Live:
      DrawBlock();
      break;
    case TReportMode::Plain:
      Emit(out_, "[" + std::to_string(t.number) + "/" + std::to_string(t.total) + "] " + t.name + ": " + StatusText(t));
      break;
    case TReportMode::Json: {
      const TProgressInfo& p = info;
      std::string j = "{\"event\":\"progress\",\"task\":" + std::to_string(info.TaskIndex) + PlaceFields(t.job) +
                      ",\"file\":" + JsonString(t.file);
      j += ",\"percent\":" +
           (p.TotalDuration > 0
                ? JsonNumber(std::clamp(100.0 * double(p.CurrentDuration) / double(p.TotalDuration), 0.0, 100.0), 1)
                : std::string("null"));
      j += ",\"time\":" + JsonNumber(p.CurrentDuration / 1e6, 3);
      j += ",\"duration\":" + (p.TotalDuration > 0 ? JsonNumber(p.TotalDuration / 1e6, 3) : std::string("null"));
      j += ",\"frames\":" + (p.FrameNumber >= 0 ? std::to_string(p.FrameNumber) : std::string("null"));
      j += ",\"fps\":" + (p.FPS >= 0 ? std::to_string(p.FPS) : std::string("null"));
      j += ",\"speed\":" + (t.speed > 0 ? JsonNumber(t.speed, 2) : std::string("null"));
      j += ",\"size\":" + std::to_string(p.CurrentSize);
      j += ",\"eta\":" +
           (t.speed > 0 && p.TotalDuration > 0
                ? JsonNumber(double(std::max<int64_t>(0, p.TotalDuration - p.CurrentDuration)) / t.speed / 1e6, 1)
                : std::string("null"));
      Emit(out_, j + "}");
      break;
    }
  }
}

void TRunReporter::Ended(int task, TTaskEnd how, const std::string& msg, int64_t endedAtUs, int64_t durationUs) {
  auto it = tasks_.find(task);
  if (it == tasks_.end()) return;
  TTask& t = it->second;
  t.running = false;
  const bool early = endedAtUs >= 0;
  if (mode_ == TReportMode::Json) {
    std::string fields = ",\"ended_early\":" + std::string(early ? "true" : "false");
    if (early)
      fields += ",\"ended_at\":" + JsonNumber(double(endedAtUs) / 1e6, 3) +
                ",\"length\":" + (durationUs >= 0 ? JsonNumber(double(durationUs) / 1e6, 3) : std::string("null"));
    Emit(out_, "{\"event\":\"end\",\"task\":" + std::to_string(task) + PlaceFields(t.job) +
                   ",\"file\":" + JsonString(t.file) + ",\"output\":" + JsonString(t.output) + ",\"status\":\"" +
                   EndName(how) + "\",\"error\":" + JsonString(msg) + fields + "}");
    if (how == TTaskEnd::Failed) Emit(err_, "orvane-convert: " + t.file + ": " + msg);
    return;
  }
  const std::string head = "[" + std::to_string(t.number) + "/" + std::to_string(t.total) + "] ";
  if (mode_ == TReportMode::Live) ClearBlock();
  if (how == TTaskEnd::Failed) {
    Emit(err_, "orvane-convert: " + head + t.file + ": failed: " + msg);
  } else if (mode_ != TReportMode::Quiet) {
    if (how == TTaskEnd::Converted && early)
      Emit(out_, head + t.file + " -> " + t.output + " (" + HumanSize(t.last.CurrentSize) +
                     "); the input ended early, at " + FormatClock(endedAtUs / 1000000) + " of " +
                     FormatClock((durationUs + 500000) / 1000000));
    else if (how == TTaskEnd::Converted)
      Emit(out_, head + t.file + " -> " + t.output + " (" + HumanSize(t.last.CurrentSize) + ")");
    else if (how == TTaskEnd::Stopped)
      Emit(out_, head + t.file + ": stopped; " + t.output + " keeps the part converted so far");
    else if (how == TTaskEnd::StoppedRemoved)
      Emit(out_, head + t.file + ": stopped; the part converted so far was removed (--resume converts it again)");
    else
      Emit(out_, head + t.file + ": stopped before it began");
  }
  if (mode_ == TReportMode::Live) DrawBlock();
}

void TRunReporter::Note(const std::string& text) {
  if (mode_ == TReportMode::Quiet || mode_ == TReportMode::Json) return;
  if (mode_ == TReportMode::Live) ClearBlock();
  Emit(out_, text);
  if (mode_ == TReportMode::Live) DrawBlock();
}

void TRunReporter::Error(const std::string& text) {
  if (mode_ == TReportMode::Live) ClearBlock();
  Emit(err_, "orvane-convert: " + text);
  if (mode_ == TReportMode::Live) DrawBlock();
}

void TRunReporter::RunEnded(int converted, int failed, int stopped, int skipped, int exitCode, int endedEarly, int done,
                            int elsewhere) {
  if (mode_ == TReportMode::Live) ClearBlock();
  if (mode_ == TReportMode::Json) {
    Emit(out_, "{\"event\":\"run_end\"" + PlaceFields(-1) + ",\"converted\":" + std::to_string(converted) +
                   ",\"done\":" + std::to_string(done) + ",\"elsewhere\":" + std::to_string(elsewhere) +
                   ",\"failed\":" + std::to_string(failed) + ",\"stopped\":" + std::to_string(stopped) +
                   ",\"skipped\":" + std::to_string(skipped) + ",\"ended_early\":" + std::to_string(endedEarly) +
                   ",\"exit_code\":" + std::to_string(exitCode) + "}");
    return;
  }
  if (mode_ == TReportMode::Quiet) return;
  const int all = converted + failed + stopped + skipped + done + elsewhere;
  std::string s = std::to_string(converted) + " of " + std::to_string(all) + (all == 1 ? " file" : " files") +
                  " converted";
  if (done) s += ", " + std::to_string(done) + " converted already";
  if (elsewhere) s += ", " + std::to_string(elsewhere) + " converted by another process";
  if (endedEarly) s += " (" + std::to_string(endedEarly) + (endedEarly == 1 ? " input" : " inputs") + " ended early)";
  if (failed) s += ", " + std::to_string(failed) + " failed";
  if (skipped) s += ", " + std::to_string(skipped) + " skipped";
  if (stopped) s += ", " + std::to_string(stopped) + " stopped";
  Emit(out_, s + ".");
}
