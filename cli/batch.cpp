#include "cli/batch.h"

#include <charconv>
#include <filesystem>

#include "app/core/inifile.h"
#include "app/core/profiles.h"
#include "media/textutils.h"

namespace {

// Reads the keys of one section, each checked; the first bad value ends the reading with
// its message.
class TSectionReader {
public:
  TSectionReader(const TIniFile& ini, std::string section) : ini_(ini), section_(std::move(section)) {}

  bool Has(const char* key) const { return ini_.ValueExists(section_, key); }
  // A value with a NUL byte cannot be a name or a number: it is refused (once) with a message
  // that shows where the byte is, and reads as empty.
  std::string Text(const char* key) {
    std::string v = ini_.ReadString(section_, key, "");
    if (const size_t nul = v.find('\0'); nul != std::string::npos) {
      if (error_.empty()) error_ = "[" + section_ + "] " + key + " holds a NUL byte after '" + v.substr(0, nul) + "'";
      return "";
    }
    return v;
  }

  void Int(const char* key, int32_t lo, int32_t hi, int32_t& target) {
    if (!Has(key)) return;
    const std::string v = TrimText(Text(key));
    int32_t n;
    if (IsInteger(v, &n) && n >= lo && n <= hi)
      target = n;
    else
      Fail(key, v, "a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
  }
  void EvenInt(const char* key, int32_t& target) {
    int32_t v = target;
    Int(key, 0, 100000, v);
    if (v % 2 != 0) Fail(key, Text(key), "an even number of pixels");
    target = v;
  }
  void Micro(const char* key, int64_t& target) {
    if (!Has(key)) return;
    const std::string v = TrimText(Text(key));
    int64_t n = -1;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec == std::errc() && end == v.data() + v.size() && n >= 0)
      target = n;
    else
      Fail(key, v, "a whole number of microseconds, 0 or more");
  }
  void Bool(const char* key, bool& target) {
    if (!Has(key)) return;
    const std::string v = TrimText(Text(key));
    if (v == "0" || v == "1")
      target = v == "1";
    else
      Fail(key, v, "0 or 1");
  }
  void Color(const char* key, uint32_t& target) {
    if (!Has(key)) return;
    if (!ParseColor(Text(key), target)) Fail(key, Text(key), "six hexadecimal digits RRGGBB");
  }
  void Fail(const char* key, const std::string& value, const std::string& want) {
    if (error_.empty()) error_ = "[" + section_ + "] " + key + "='" + value + "' is not " + want;
  }
  void FailText(const std::string& text) {
    if (error_.empty()) error_ = "[" + section_ + "] " + text;
  }
  const std::string& Error() const { return error_; }

private:
  const TIniFile& ini_;
  std::string section_;
  std::string error_;
};

std::string Resolve(const std::filesystem::path& base, const std::string& name) {
  if (name.empty() || name[0] == '/') return name;
  return (base / name).lexically_normal().string();
}

bool ReadItem(TSectionReader& r, const std::filesystem::path& base, TWmRec& item) {
  item.TextLeft = item.TextTop = item.ImageLeft = item.ImageTop = 10;
  item.EndSec = kWmToTheEnd;
  const std::string kind = LowerAscii(TrimText(r.Text("Kind")));
  if (kind == "text" || kind == "0") {
    item.Kind = wmkText;
    item.Text = r.Text("Text");
    if (item.Text.empty()) r.FailText("a text item needs Text");
  } else if (kind == "image" || kind == "1") {
    item.Kind = wmkImage;
    item.ImageFile = Resolve(base, TrimText(r.Text("ImageFile")));
    if (item.ImageFile.empty()) r.FailText("an image item needs ImageFile");
  } else {
    r.Fail("Kind", r.Text("Kind"), "text or image");
  }
  r.Int("TextLeft", -100000, 100000, item.TextLeft);
  r.Int("TextTop", -100000, 100000, item.TextTop);
  r.Int("TextWidth", 0, 100000, item.TextWidth);
  r.Int("TextHeight", 0, 100000, item.TextHeight);
  r.Int("TextOpacity", 0, 255, item.TextOpacity);
  if (r.Has("FontName")) item.Font.Name = TrimText(r.Text("FontName"));
  r.Int("FontSize", 1, 1000, item.Font.Size);
  r.Bool("FontBold", item.Font.Bold);
  r.Bool("FontItalic", item.Font.Italic);
  r.Bool("FontUnderline", item.Font.Underline);
  r.Bool("FontStrikeOut", item.Font.StrikeOut);
  r.Color("FontColor", item.Font.Color);
  if (r.Has("BackColor")) {
    item.HasBackColor = true;
    r.Color("BackColor", item.BackColor);
  }
  r.Bool("HasBackColor", item.HasBackColor);
  r.Int("ImageLeft", -100000, 100000, item.ImageLeft);
  r.Int("ImageTop", -100000, 100000, item.ImageTop);
  r.Int("ImageOpacity", 0, 255, item.ImageOpacity);
  r.Int("StartSec", 0, kWmToTheEnd, item.StartSec);
  r.Int("EndSec", 0, kWmToTheEnd, item.EndSec);
  if (item.EndSec < item.StartSec) r.FailText("EndSec lies before StartSec");
  return r.Error().empty();
}

}  // namespace

// The number N of a job section "fileN" (letter case ignored), or 0 for any other name.
int JobSectionNumber(const std::string& name) {
  if (name.size() < 5 || LowerAscii(name.substr(0, 4)) != "file") return 0;
  int32_t n = 0;
  return IsInteger(name.substr(4), &n) && n > 0 && name[4] != '+' && name[4] != '-' ? n : 0;
}

// The jobs are read from [file1] up to the first missing number. A job section that this
// leaves out (a gap before it, or a number given twice, whose second section the reading
// never sees) is named, so that a list is never cut short in silence.
void NoteUnreadSections(const TIniFile& ini, const std::string& path, int jobsRead,
                        std::vector<std::string>& warnings) {
  std::vector<bool> seen(size_t(jobsRead) + 1, false);
  for (const std::string& name : ini.ReadSectionNames()) {
    const int n = JobSectionNumber(name);
    if (n == 0) continue;
    if (n > jobsRead) {
      warnings.push_back(
          path + ": [" + name +
          "] and the job sections after it are not read: the jobs are read from [file1] up to the first missing number, and [file" +
          std::to_string(jobsRead + 1) + "] is missing");
      return;
    }
    if (seen[size_t(n)]) {
      warnings.push_back(path + ": the second [" + name +
                         "] is not read (a section of that name came before); number each job section once");
      return;
    }
    seen[size_t(n)] = true;
  }
}

bool ReadBatchFile(const std::string& path, const TJobSettings& defaults, std::vector<TJobSettings>& jobs,
                   std::string& err, std::vector<std::string>& warnings) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    err = "cannot read the batch file " + path;
    return false;
  }
  const TIniFile ini = TIniFile::ReadOnce(path);
  const fs::path base = fs::absolute(fs::path(path), ec).parent_path();
  std::vector<TJobSettings> read;
  for (int n = 1; ini.SectionExists("file" + std::to_string(n)); ++n) {
    const std::string section = "file" + std::to_string(n);
    TSectionReader r(ini, section);
    TJobSettings s = defaults;
    TlvFilesRecord& job = s.Job;
    job.SourceFile = Resolve(base, TrimText(r.Text("SourceFile")));
    if (job.SourceFile.empty()) r.FailText("SourceFile is missing");
    r.EvenInt("CropTop", job.CropTop);
    r.EvenInt("CropLeft", job.CropLeft);
    r.EvenInt("CropBottom", job.CropBottom);
    r.EvenInt("CropRight", job.CropRight);
    r.Micro("TrimStart", job.TrimStart);
    r.Micro("TrimLength", job.TrimLength);
    if (r.Has("ZoomMode")) {
      const std::string z = TrimText(r.Text("ZoomMode"));
      if (z == "full" || z == "lbox" || z == "pan" || z == "center") {
        job.ZoomMode = z;
        s.ZoomSet = true;
      } else {
        r.Fail("ZoomMode", z, "full, lbox, pan or center");
      }
    }
    r.Int("Brightness", kBrightnessRange.Min, kBrightnessRange.Max, job.Brightness);
    r.Int("Contrast", kContrastRange.Min, kContrastRange.Max, job.Contrast);
    r.Int("Saturation", kSaturationRange.Min, kSaturationRange.Max, job.Saturation);
    r.Int("Exposure", kExposureRange.Min, kExposureRange.Max, job.Exposure);
    if (!r.Error().empty()) {
      err = path + ": " + r.Error();
      return false;
    }
    std::vector<TWmRec> items;
    for (int k = 1; ini.SectionExists(section + ".wm" + std::to_string(k)); ++k) {
      TSectionReader ir(ini, section + ".wm" + std::to_string(k));
      TWmRec item;
      if (!ReadItem(ir, base, item)) {
        err = path + ": " + ir.Error();
        return false;
      }
      items.push_back(item);
    }
    if (!items.empty()) job.WaterMarks = items;
    read.push_back(std::move(s));
  }
  if (read.empty()) {
    err = path + ": no job in the batch file (the first section must be [file1])";
    return false;
  }
  NoteUnreadSections(ini, path, int(read.size()), warnings);
  jobs.insert(jobs.end(), read.begin(), read.end());
  return true;
}
