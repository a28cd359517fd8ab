#include "app/core/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "media/errors.h"
#include "media/gcc_warnings.h"

namespace fs = std::filesystem;

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// One line of the file as parsed: sections and keys keep their raw text for rewriting.
struct TIniLine {
  enum Kind { kOther, kSection, kKey } kind = kOther;
  std::string raw;
  std::string name;   // section or key name, trimmed
  std::string value;  // key value, trimmed
};

std::vector<TIniLine> ParseIni(const std::string& text) {
  std::vector<TIniLine> lines;
  // Editors on other systems save UTF-8 text with a byte-order mark; it is not part of the
  // first line.
  size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    TIniLine line;
    line.raw = text.substr(start, end - start);
    // A line ends with LF, CR LF, or CR CR LF (a file whose line breaks an editor turned into
    // CR LF twice): carriage returns at the end belong to the line break, never to a value, so
    // a value reads the same after the file is rewritten with LF line breaks.
    while (!line.raw.empty() && line.raw.back() == '\r') line.raw.pop_back();
    std::string t = TrimBlanks(line.raw);
    if (!t.empty() && t[0] == '[') {
      size_t close = t.find(']');
      line.kind = TIniLine::kSection;
      line.name = TrimBlanks(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    } else if (!t.empty() && t[0] != ';') {
      size_t eq = t.find('=');
      if (eq != std::string::npos) {
        line.kind = TIniLine::kKey;
        line.name = TrimBlanks(t.substr(0, eq));
        line.value = TrimBlanks(t.substr(eq + 1));
      }
    }
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// Reads the whole file; false when it cannot be opened or read.
bool LoadFile(const std::string& path, std::string& text) {
  text.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return false;
  text = ss.str();
  return true;
}

// Index range [first, last) of the lines of the first section of that name; first is the
// header line. npos when missing.
struct TSectionRange {
  size_t header = std::string::npos;
  size_t end = 0;
};

TSectionRange FindSection(const std::vector<TIniLine>& lines, const std::string& section) {
  TSectionRange r;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind != TIniLine::kSection) continue;
    if (r.header != std::string::npos) {
      r.end = i;
      return r;
    }
    if (IniNamesEqual(lines[i].name, section)) r.header = i;
  }
  if (r.header != std::string::npos) r.end = lines.size();
  return r;
}

const TIniLine* FindKey(const std::vector<TIniLine>& lines, const std::string& section, const std::string& key) {
  TSectionRange r = FindSection(lines, section);
  if (r.header == std::string::npos) return nullptr;
  for (size_t i = r.header + 1; i < r.end; ++i)
    if (lines[i].kind == TIniLine::kKey && IniNamesEqual(lines[i].name, key)) return &lines[i];
  return nullptr;
}

// The value as the format reads it: one pair of enclosing quotes is dropped, and the text is
// cut to the read limit without splitting a UTF-8 sequence.
std::string ValueAsRead(std::string v) {
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
  if (v.size() > kIniMaxValueLength) {
    size_t cut = kIniMaxValueLength;
    size_t lead = cut;
    while (lead > 0 && (static_cast<unsigned char>(v[lead]) & 0xC0) == 0x80) --lead;
    unsigned char c = static_cast<unsigned char>(v[lead]);
    size_t seq = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (lead < cut && lead + seq > cut) cut = lead;
    v.resize(cut);
  }
  return v;
}

bool ParseInt32(const std::string& text, int32_t& out) {
  std::string t = TrimBlanks(text);
  if (t.empty()) return false;
  size_t i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
  if (i == t.size()) return false;
  for (size_t j = i; j < t.size(); ++j)
    if (t[j] < '0' || t[j] > '9') return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(t.c_str(), &end, 10);
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  out = int32_t(v);
  return true;
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

std::mutex& WriteLock() {
  static std::mutex m;
  return m;
}

[[noreturn]] void ThrowUnableToWrite(const std::string& path) {
  throw FFmpegException(StrFormat("Unable to write to %s", path.c_str()));
}

// Writes the text to a new file beside the target and renames it into place.
void ReplaceFile(const std::string& target, const std::string& text, const std::string& reportedName) {
  fs::path p(target);
  fs::path dir = p.parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir)) ThrowUnableToWrite(reportedName);

  struct stat st {};
  bool existed = ::stat(target.c_str(), &st) == 0;

  static std::atomic<unsigned> counter{0};
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    ORVANE_STRING_RESTRICT_FALSE_ALARM_BEGIN
    tmp = (dir /
           ("." + p.filename().string() + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".tmp"))
              .string();
    ORVANE_STRING_RESTRICT_FALSE_ALARM_END
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) ThrowUnableToWrite(reportedName);

  bool ok = true;
  const char* data = text.data();
  size_t left = text.size();
  while (ok && left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    data += n;
    left -= size_t(n);
  }
  if (ok && existed) ok = ::fchmod(fd, st.st_mode & 07777) == 0;
  if (ok) ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) ok = ::rename(tmp.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    ThrowUnableToWrite(reportedName);
  }
  // Make the rename itself durable.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

}  // namespace

bool IniNamesEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

struct TIniFile::TContent {
  std::vector<TIniLine> lines;
};

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

TIniFile TIniFile::ReadOnce(std::string fileName) {
  TIniFile ini(std::move(fileName));
  ini.content_ = ini.Load();
  return ini;
}

std::shared_ptr<const TIniFile::TContent> TIniFile::Load() const {
  if (content_) return content_;
  auto content = std::make_shared<TContent>();
  std::string text;
  if (LoadFile(fileName_, text)) content->lines = ParseIni(text);
  return content;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
  const auto content = Load();
  const TIniLine* line = FindKey(content->lines, section, key);
  return line ? ValueAsRead(line->value) : def;
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, int32_t def) const {
  const auto content = Load();
  const TIniLine* line = FindKey(content->lines, section, key);
  int32_t v;
  return line && ParseInt32(ValueAsRead(line->value), v) ? v : def;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniFile::SectionExists(const std::string& section) const {
  return FindSection(Load()->lines, section).header != std::string::npos;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  return FindKey(Load()->lines, section, key) != nullptr;
}

std::vector<std::string> TIniFile::ReadSectionNames() const {
  std::vector<std::string> names;
  const auto content = Load();
  for (const TIniLine& line : content->lines)
    if (line.kind == TIniLine::kSection) names.push_back(line.name);
  return names;
}

std::vector<std::string> TIniFile::ReadSectionKeys(const std::string& section) const {
  std::vector<std::string> keys;
  const auto content = Load();
  const std::vector<TIniLine>& lines = content->lines;
  TSectionRange r = FindSection(lines, section);
  if (r.header == std::string::npos) return keys;
  for (size_t i = r.header + 1; i < r.end; ++i)
    if (lines[i].kind == TIniLine::kKey) keys.push_back(lines[i].name);
  return keys;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  WriteStrings(section, {{key, value}});
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteStrings(section, {{key, std::to_string(value)}});
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteStrings(section, {{key, value ? "1" : "0"}});
}

void TIniFile::WriteStrings(const std::string& section,
                            const std::vector<std::pair<std::string, std::string>>& values) {
  // Names and values that the line format cannot hold are refused before anything is touched.
  std::string trimmedSection = TrimBlanks(section);
  if (trimmedSection.empty() || HasLineBreak(section) || section.find(']') != std::string::npos)
    throw FFmpegException(
        StrFormat("Unable to write to %s (invalid section name \"%s\")", fileName_.c_str(), section.c_str()));
  for (const auto& [key, value] : values) {
    if (TrimBlanks(key).empty() || HasLineBreak(key) || key.find('=') != std::string::npos ||
        TrimBlanks(key)[0] == '[' || TrimBlanks(key)[0] == ';')
      throw FFmpegException(
          StrFormat("Unable to write to %s (invalid key name \"%s\")", fileName_.c_str(), key.c_str()));
    if (HasLineBreak(value))
      throw FFmpegException(
          StrFormat("Unable to write to %s (the value of %s holds a line break)", fileName_.c_str(), key.c_str()));
  }

  std::lock_guard<std::mutex> guard(WriteLock());
  // A symbolic link stays a link: the file it points to is replaced.
  std::string target = fileName_;
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(target, ec))) {
    fs::path resolved = fs::weakly_canonical(target, ec);
    if (ec) ThrowUnableToWrite(fileName_);
    target = resolved.string();
  }

  std::string text;
  if (fs::exists(fs::status(target, ec))) {
    if (!fs::is_regular_file(fs::status(target, ec)) || !LoadFile(target, text)) ThrowUnableToWrite(fileName_);
  }
  std::vector<TIniLine> lines = ParseIni(text);

  TSectionRange r = FindSection(lines, trimmedSection);
  if (r.header == std::string::npos) {
    if (!lines.empty() && !TrimBlanks(lines.back().raw).empty()) lines.push_back(TIniLine{});
    TIniLine header;
    header.kind = TIniLine::kSection;
    header.name = trimmedSection;
    header.raw = "[" + trimmedSection + "]";
    lines.push_back(header);
    r.header = lines.size() - 1;
    r.end = lines.size();
  }
  for (const auto& [rawKey, value] : values) {
    std::string key = TrimBlanks(rawKey);
    bool replaced = false;
    size_t lastContent = r.header;
    for (size_t i = r.header + 1; i < r.end; ++i) {
      if (!TrimBlanks(lines[i].raw).empty()) lastContent = i;
      if (lines[i].kind == TIniLine::kKey && IniNamesEqual(lines[i].name, key)) {
        // The existing spelling of the key stays; only its value changes.
        lines[i].value = value;
        lines[i].raw = lines[i].name + "=" + value;
        replaced = true;
        break;
      }
    }
    if (!replaced) {
      TIniLine line;
      line.kind = TIniLine::kKey;
      line.name = key;
      line.value = value;
      line.raw = key + "=" + value;
      lines.insert(lines.begin() + std::ptrdiff_t(lastContent + 1), line);
      ++r.end;
    }
  }

  std::string out;
  for (const TIniLine& line : lines) {
    out += line.raw;
    out += '\n';
  }
  ReplaceFile(target, out, fileName_);
  // A file read once shows its own writes.
  if (content_) content_ = std::make_shared<const TContent>(TContent{std::move(lines)});
}
