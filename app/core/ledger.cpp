#include "app/core/ledger.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

#include "media/errors.h"

namespace {

// Fields of a line are separated by tabs; a tab, newline or backslash inside a name is escaped.
std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool Unescape(const std::string& s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i == s.size()) return false;
    switch (s[i]) {
      case '\\':
        out += '\\';
        break;
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        return false;
    }
  }
  return true;
}

template <typename T>
bool ParseInt(const std::string& s, T& v) {
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && end == s.data() + s.size();
}

// 64-bit FNV-1a: a stable digest across machines and builds.
std::string Digest(const std::string& text) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Holds an flock for one scope.
class TFileLock {
public:
  TFileLock(int fd, int how) : fd_(fd) {
    while (::flock(fd_, how) != 0 && errno == EINTR) {
    }
  }
  ~TFileLock() { ::flock(fd_, LOCK_UN); }
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

private:
  int fd_;
};

}  // namespace

std::string JobSettingsDigest(const TJobSettings& s, const std::string& profileValues,
                              const std::string& outputFolder) {
  const TlvFilesRecord& j = s.Job;
  std::string t = "folder=" + outputFolder + "\nprofile=" + profileValues;
  auto add = [&t](const char* name, const std::string& v) { t += std::string("\n") + name + "=" + v; };
  auto num = [&add](const char* name, int64_t v) { add(name, std::to_string(v)); };
  num("crop.top", j.CropTop);
  num("crop.left", j.CropLeft);
  num("crop.bottom", j.CropBottom);
  num("crop.right", j.CropRight);
  num("trim.start", j.TrimStart);
  num("trim.length", j.TrimLength);
  add("zoom", s.ZoomSet ? j.ZoomMode : "");
  num("brightness", j.Brightness);
  num("contrast", j.Contrast);
  num("saturation", j.Saturation);
  num("exposure", j.Exposure);
  for (const TWmRec& w : j.WaterMarks) {
    num("wm.kind", w.Kind);
    add("wm.text", w.Text);
    add("wm.font", w.Font.Name);
    num("wm.font.size", w.Font.Size);
    num("wm.font.style",
        (w.Font.Bold ? 1 : 0) | (w.Font.Italic ? 2 : 0) | (w.Font.Underline ? 4 : 0) | (w.Font.StrikeOut ? 8 : 0));
    num("wm.font.color", w.Font.Color);
    num("wm.text.box",
        (int64_t(w.TextLeft) << 48) ^ (int64_t(w.TextTop) << 32) ^ (int64_t(w.TextWidth) << 16) ^ w.TextHeight);
    num("wm.text.opacity", w.TextOpacity);
    // A text placed over pixels that are not square (square ones keep the earlier records valid).
    if (w.PixelAspect != 1.0) add("wm.text.aspect", std::to_string(w.PixelAspect));
    num("wm.back", w.HasBackColor ? int64_t(w.BackColor) : -1);
    add("wm.image", w.ImageFile);
    num("wm.image.left", w.ImageLeft);
    num("wm.image.top", w.ImageTop);
    num("wm.image.opacity", w.ImageOpacity);
    // A stretched picture box (0 x 0, the command line's, keeps the earlier records valid).
    if (w.ImageWidth > 0 && w.ImageHeight > 0)
      num("wm.image.box", (int64_t(w.ImageWidth) << 32) | uint32_t(w.ImageHeight));
    num("wm.start", w.StartSec);
    num("wm.end", w.EndSec);
  }
  return Digest(t);
}

std::string ProfileValuesText(const TAppSettings& settings, int32_t code) {
  try {
    const TProfileParams p = settings.Params(code);
    return p.VideoEncoder + "|" + p.AudioEncoder + "|" + p.VideoSize + "|" + p.VideoBitRate + "|" + p.FrameRate + "|" +
           p.SampleRate + "|" + p.AudioBitRate + "|" + p.Channel + "|" + p.Volume + "|" + p.Zoom + "|" +
           settings.OutputExtension(code);
  } catch (const FFmpegException&) {
    return "";
  }
}

bool MakeJobIdentity(const std::string& sharedSource, const std::string& localSource, int32_t profile,
                     const std::string& settingsDigest, TJobIdentity& id) {
  struct stat st {};
  if (::stat(localSource.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  id.Source = sharedSource;
  id.Size = int64_t(st.st_size);
  id.MtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  id.Profile = profile;
  id.Settings = settingsDigest;
  return true;
}

namespace {

std::string IdentityFields(const TJobIdentity& id) {
  return Escape(id.Source) + "\t" + std::to_string(id.Size) + "\t" + std::to_string(id.MtimeNs) + "\t" +
         std::to_string(id.Profile) + "\t" + id.Settings;
}

}  // namespace

std::string LedgerLine(const TJobIdentity& id, const std::string& output) {
  return "done\t" + IdentityFields(id) + "\t" + Escape(output) + "\n";
}

bool ParseLedgerLine(const std::string& line, TJobIdentity& id, std::string& output) {
  std::vector<std::string> f;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return f.size() == 7 && f[0] == "done" && Unescape(f[1], id.Source) && ParseInt(f[2], id.Size) &&
         ParseInt(f[3], id.MtimeNs) && ParseInt(f[4], id.Profile) && f[5].size() == 16 && (id.Settings = f[5], true) &&
         Unescape(f[6], output) && !id.Source.empty();
}

TLedger::~TLedger() {
  if (fd_ >= 0) ::close(fd_);
}

bool TLedger::Open(const std::string& path, std::string& err) {
  path_ = path;
  fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    err = "cannot open the ledger " + path + ": " + std::strerror(errno);
    return false;
  }
  return ReadFrom(err);
}

bool TLedger::Refresh(std::string& err) {
  if (fd_ < 0) return err = "the ledger is not open", false;
  return ReadFrom(err);
}

// Reads the whole lines after readUpTo_; a last line without its newline is left for a later
// reading (it is being written, or was cut off).
bool TLedger::ReadFrom(std::string& err) {
  std::string text;
  {
    const TFileLock lock(fd_, LOCK_SH);
    char buf[65536];
    for (off_t at = readUpTo_;;) {
      const ssize_t n = ::pread(fd_, buf, sizeof buf, at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        err = "cannot read the ledger " + path_ + ": " + std::strerror(errno);
        return false;
      }
      if (n == 0) break;
      text.append(buf, size_t(n));
      at += n;
    }
  }
  // A damaged line, with the source field when the line got that far (a tab follows it).
  auto noteDamaged = [this](const std::string& line, size_t number) {
    TDamagedLine d;
    d.Number = number;
    const size_t tab = line.find('\t', 5);
    if (line.rfind("done\t", 0) == 0 && tab != std::string::npos && !Unescape(line.substr(5, tab - 5), d.Source))
      d.Source.clear();
    damaged_.push_back(std::move(d));
  };
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    ++lineNumber_;
    std::string line = text.substr(start, nl - start);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    TJobIdentity id;
    std::string output;
    if (ParseLedgerLine(line, id, output)) {
      entries_[IdentityFields(id)] = std::move(output);
      ++count_;
    } else if (readUpTo_ + off_t(start) != tornAt_) {  // a torn line closed since is reported once
      noteDamaged(line, lineNumber_);
    }
  }
  readUpTo_ += off_t(start);
  // Appends are whole lines written under the exclusive lock, and this reading holds the
  // shared one: a last line without its end was cut off by a crash. It stays unread (the next
  // append closes it) but is reported now, since its job may have been finished.
  if (start < text.size() && readUpTo_ != tornAt_) {
    tornAt_ = readUpTo_;
    noteDamaged(text.substr(start), lineNumber_ + 1);
  }
  return true;
}

bool TLedger::MayHaveLost(const std::string& source) const {
  for (const TDamagedLine& d : damaged_)
    if (d.Source.empty() || d.Source == source) return true;
  return false;
}

std::string TLedger::Find(const TJobIdentity& id) const {
  const auto it = entries_.find(IdentityFields(id));
  return it == entries_.end() ? std::string() : it->second;
}

bool TLedger::Append(const TJobIdentity& id, const std::string& output, std::string& err) {
  if (fd_ < 0) return err = "the ledger is not open", false;
  std::string line = LedgerLine(id, output);
  {
    const TFileLock lock(fd_, LOCK_EX);
    // A line cut off by a crash is closed first, so that this entry stays whole.
    struct stat st {};
    char last = '\n';
    if (::fstat(fd_, &st) == 0 && st.st_size > 0 && ::pread(fd_, &last, 1, st.st_size - 1) == 1 && last != '\n')
      line.insert(line.begin(), '\n');
    if (!WriteAll(fd_, line) || ::fsync(fd_) != 0) {
      err = "cannot write to the ledger " + path_ + ": " + std::strerror(errno);
      return false;
    }
    // Everything before this line was read already: the next reading starts after it (a
    // closed torn line before it is read then, and reported).
    if (readUpTo_ == st.st_size && line.front() != '\n') {
      readUpTo_ += off_t(line.size());
      ++lineNumber_;
    }
  }
  entries_[IdentityFields(id)] = output;
  ++count_;
  return true;
}
