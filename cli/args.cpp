#include "cli/args.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "app/core/profiles.h"
#include "media/textutils.h"

namespace {

// A non-negative decimal number ("12", "2.5").
bool ParseSeconds(const std::string& text, double& v) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') return false;
  return IsNumber(text, &v) && v >= 0;
}

bool ParseRangeInt(const std::string& text, int32_t lo, int32_t hi, int32_t& v) {
  return IsInteger(TrimText(text), &v) && v >= lo && v <= hi;
}

}  // namespace

bool ParseTime(const std::string& text, int64_t& us) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (parts.size() > 3) return false;
  double total = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    double v;
    if (!ParseSeconds(parts[i], v)) return false;
    bool last = i + 1 == parts.size();
    // Only the seconds take a fraction. (No conversion to an integer here: the hours may be
    // any number of digits, beyond what an integer holds.)
    if (!last && v != std::trunc(v)) return false;
    if (i > 0 && v >= 60) return false;
    total = total * 60 + v;
  }
  if (total > 1e9) return false;
  us = static_cast<int64_t>(total * 1e6 + 0.5);
  return true;
}

bool ParseColor(const std::string& text, uint32_t& rgb) {
  std::string t = TrimText(text);
  if (!t.empty() && t[0] == '#') t.erase(0, 1);
  if (t.size() != 6) return false;
  for (char c : t)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  rgb = static_cast<uint32_t>(std::strtoul(t.c_str(), nullptr, 16));
  return true;
}

std::vector<std::string> SplitComma(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    out.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

namespace {

// What an option's row is given to set: the arguments being filled, the name the option was
// given by, its value (empty for a flag) and the error text on failure.
struct TOptionUse {
  TCliArgs& a;
  const std::string& name;
  const std::string& value;
  std::string& err;
  bool& onlyFiles;  // set by "--": every later argument is a FILE
};

// One row of the option table: the names it is given by, its argument (empty: a flag that
// takes no value), its help text (lines after the first are printed under the first) and what
// it sets. A row without names is a line of the help text between the options.
struct TCliOption {
  std::vector<std::string> Names;
  std::string Argument;
  std::string Help;
  std::function<bool(TOptionUse&)> Apply;
};

bool Fail(TOptionUse& u, std::string text) {
  u.err = std::move(text);
  return false;
}

// A flag that sets a field of the arguments.
std::function<bool(TOptionUse&)> Sets(bool TCliArgs::*field) {
  return [field](TOptionUse& u) {
    u.a.*field = true;
    return true;
  };
}

// A name that must not be empty: `what` says what the option needs.
std::function<bool(TOptionUse&)> SetsName(std::string TCliArgs::*field, const char* what) {
  return [field, what](TOptionUse& u) {
    if (u.value.empty()) return Fail(u, "option '" + u.name + "' needs " + what);
    u.a.*field = u.value;
    return true;
  };
}

// A picture adjustment: a whole number in its range. The help text gives the range.
TCliOption Adjustment(const TAdjustRange& r, int32_t TlvFilesRecord::*field, const std::string& leaves,
                      const std::string& example) {
  std::string help = std::to_string(r.Min) + ".." + std::to_string(r.Max) + ", " + std::to_string(r.None) + " leaves " +
                     leaves;
  help.resize(std::max<size_t>(help.size() + 1, 44), ' ');
  help += "Example: --" + std::string(r.Name) + " " + example;
  return {{"--" + std::string(r.Name)}, "N", help, [r, field](TOptionUse& u) {
            if (!ParseRangeInt(u.value, r.Min, r.Max, u.a.settings.Job.*field))
              return Fail(u, "invalid --" + std::string(r.Name) + " '" + u.value + "' (a whole number from " +
                                 std::to_string(r.Min) + " to " + std::to_string(r.Max) + ")");
            return true;
          }};
}

// The watermark item the --wm-* options change: the one added last.
TWmRec* LastItem(TOptionUse& u) {
  std::vector<TWmRec>& items = u.a.settings.Job.WaterMarks;
  if (items.empty()) {
    u.err = "option '" + u.name + "' needs a --text or --image before it";
    return nullptr;
  }
  return &items.back();
}

// A --wm-* option: applies `set` to the last watermark item.
std::function<bool(TOptionUse&)> SetsItem(bool (*set)(TOptionUse&, TWmRec&)) {
  return [set](TOptionUse& u) {
    TWmRec* item = LastItem(u);
    return item && set(u, *item);
  };
}

bool SetProgress(TOptionUse& u) {
  if (u.value == "auto")
    u.a.progress = TProgressMode::Auto;
  else if (u.value == "plain")
    u.a.progress = TProgressMode::Plain;
  else if (u.value == "live")
    u.a.progress = TProgressMode::Live;
  else
    return Fail(u, "invalid --progress '" + u.value + "' (use auto, plain or live)");
  return true;
}

bool SetZoom(TOptionUse& u) {
  const std::string& v = u.value;
  if (v != "full" && v != "lbox" && v != "pan" && v != "center")
    return Fail(u, "invalid --zoom '" + v + "' (use full, lbox, pan or center)");
  u.a.settings.Job.ZoomMode = v;
  u.a.settings.ZoomSet = true;
  return true;
}

bool SetCrop(TOptionUse& u) {
  std::vector<std::string> parts = SplitComma(u.value);
  int32_t v[4];
  bool ok = parts.size() == 4;
  for (size_t k = 0; ok && k < 4; ++k) ok = IsInteger(TrimText(parts[k]), &v[k]) && v[k] >= 0 && v[k] % 2 == 0;
  if (!ok) return Fail(u, "invalid --crop '" + u.value + "' (four even numbers of pixels: TOP,LEFT,BOTTOM,RIGHT)");
  TlvFilesRecord& job = u.a.settings.Job;
  job.CropTop = v[0];
  job.CropLeft = v[1];
  job.CropBottom = v[2];
  job.CropRight = v[3];
  return true;
}

bool SetTrim(TOptionUse& u) {
  std::vector<std::string> parts = SplitComma(u.value);
  int64_t s = 0, e = 0;
  if (parts.size() != 2 || !ParseTime(TrimText(parts[0]), s) || !ParseTime(TrimText(parts[1]), e))
    return Fail(u, "invalid --trim '" + u.value + "' (START,END in seconds or H:MM:SS)");
  if (e <= s) return Fail(u, "invalid --trim '" + u.value + "': END must lie after START");
  u.a.settings.Job.TrimStart = s;
  u.a.settings.Job.TrimLength = e - s;
  return true;
}

// --text and --image add a watermark item.
bool AddItem(TOptionUse& u) {
  TWmRec item;
  item.TextLeft = item.TextTop = item.ImageLeft = item.ImageTop = 10;
  item.EndSec = kWmToTheEnd;
  if (u.name == "--text") {
    if (u.value.empty()) return Fail(u, "option '--text' needs a text");
    item.Kind = wmkText;
    item.Text = u.value;
  } else {
    if (u.value.empty()) return Fail(u, "option '--image' needs a file name");
    item.Kind = wmkImage;
    item.ImageFile = u.value;
  }
  u.a.settings.Job.WaterMarks.push_back(item);
  return true;
}

bool SetItemPos(TOptionUse& u, TWmRec& item) {
  std::vector<std::string> parts = SplitComma(u.value);
  int32_t x, y;
  if (parts.size() != 2 || !ParseRangeInt(parts[0], -100000, 100000, x) || !ParseRangeInt(parts[1], -100000, 100000, y))
    return Fail(u, "invalid --wm-pos '" + u.value + "' (X,Y in source pixels)");
  item.TextLeft = item.ImageLeft = x;
  item.TextTop = item.ImageTop = y;
  return true;
}

bool SetItemOpacity(TOptionUse& u, TWmRec& item) {
  int32_t v;
  if (!ParseRangeInt(u.value, 0, 255, v))
    return Fail(u, "invalid --wm-opacity '" + u.value + "' (a whole number from 0 to 255)");
  item.TextOpacity = item.ImageOpacity = v;
  return true;
}

bool SetItemFont(TOptionUse& u, TWmRec& item) {
  std::vector<std::string> parts = SplitComma(u.value);
  TWmFont font = item.Font;
  font.Name = TrimText(parts[0]);
  bool ok = true;
  if (parts.size() > 1 && !TrimText(parts[1]).empty()) ok = ParseRangeInt(parts[1], 1, 1000, font.Size);
  for (size_t k = 2; ok && k < parts.size(); ++k) {
    const std::string style = LowerAscii(TrimText(parts[k]));
    if (style == "bold")
      font.Bold = true;
    else if (style == "italic")
      font.Italic = true;
    else if (style == "underline")
      font.Underline = true;
    else if (style == "strikeout")
      font.StrikeOut = true;
    else
      ok = false;
  }
  if (!ok)
    return Fail(u, "invalid --wm-font '" + u.value +
                       "' (NAME,SIZE followed by any of bold, italic, underline, strikeout; SIZE 1 to 1000)");
  item.Font = font;
  return true;
}

bool SetItemColor(TOptionUse& u, TWmRec& item) {
  if (!ParseColor(u.value, item.Font.Color))
    return Fail(u, "invalid --wm-color '" + u.value + "' (six hexadecimal digits RRGGBB)");
  return true;
}

bool SetItemBackground(TOptionUse& u, TWmRec& item) {
  if (LowerAscii(TrimText(u.value)) == "none") {
    item.HasBackColor = false;
    return true;
  }
  if (!ParseColor(u.value, item.BackColor))
    return Fail(u, "invalid --wm-background '" + u.value + "' (six hexadecimal digits RRGGBB, or none)");
  item.HasBackColor = true;
  return true;
}

bool SetItemTime(TOptionUse& u, TWmRec& item) {
  std::vector<std::string> parts = SplitComma(u.value);
  int64_t s = 0, e = 0;
  const bool toEnd = parts.size() == 2 && TrimText(parts[1]).empty();
  if (parts.size() != 2 || !ParseTime(TrimText(parts[0]), s) || (!toEnd && !ParseTime(TrimText(parts[1]), e)))
    return Fail(u, "invalid --wm-time '" + u.value + "' (START,END in seconds or H:MM:SS)");
  if (!toEnd && e < s) return Fail(u, "invalid --wm-time '" + u.value + "': END lies before START");
  item.StartSec = static_cast<int32_t>(s / 1000000);
  item.EndSec = toEnd ? kWmToTheEnd : static_cast<int32_t>(e / 1000000);
  return true;
}

const char* const kHelpIntro =
    "Usage: orvane-convert [options] FILE...\n"
    "Converts each FILE with the chosen output profile into the output folder.\n"
    "\n";

const char* const kHelpEnd =
    "\n"
    "Batch file: one section per source file, named [file1], [file2], ... (read up to the first\n"
    "missing number; a job section after a gap or a number given twice is named in a warning),\n"
    "with the job's fields; a missing field keeps the command line's value.\n"
    "Lines that begin with ';' are comments.\n"
    "  [file1]\n"
    "  ; relative names start at the batch file's folder\n"
    "  SourceFile=holiday.mkv\n"
    "  ; crop margins in source pixels\n"
    "  CropTop=40\n"
    "  CropBottom=40\n"
    "  ; microseconds; TrimLength=0 converts to the end\n"
    "  TrimStart=5000000\n"
    "  TrimLength=20000000\n"
    "  ; full, lbox, pan or center\n"
    "  ZoomMode=lbox\n"
    "  ; also Contrast, Saturation, Exposure\n"
    "  Brightness=300\n"
    "  ; the job's watermark items: [file1.wm1], [file1.wm2], ...\n"
    "  [file1.wm1]\n"
    "  ; text, or image with ImageFile, ImageLeft, ImageTop, ImageOpacity (0..255)\n"
    "  Kind=text\n"
    "  Text=Holiday 2024\n"
    "  TextLeft=10\n"
    "  TextTop=10\n"
    "  TextOpacity=200\n"
    "  ; also FontSize, FontBold, FontItalic, FontUnderline, FontStrikeOut (0 or 1)\n"
    "  FontName=DejaVu Sans\n"
    "  FontColor=FFFF00\n"
    "  ; a box behind the text\n"
    "  BackColor=000000\n"
    "  ; visible from StartSec to EndSec (whole seconds; no EndSec: to the end)\n"
    "  StartSec=0\n"
    "  EndSec=8\n"
    "\n"
    "Each file is written under a hidden temporary name beside its output name\n"
    "(.NAME_(new).part.EXT) and takes the output name once it is complete, so the output\n"
    "name never holds a half-written file.\n"
    "Ctrl-C stops the run: the file being converted is closed as a playable file. A second\n"
    "Ctrl-C leaves at once. A closed standard output and the file-size limit stop the run\n"
    "the same way, with a message.\n"
    "Exit status:\n"
    "  0    every file converted (or skipped as converted already, with --resume, or left to\n"
    "       another running process that converts it)\n"
    "  1    a file failed for a reason that a retry does not change (bad or unsupported input,\n"
    "       an input that ended before its length without --accept-partial)\n"
    "  2    usage error (command line or batch file; an --output-dir that is not a folder)\n"
    "  75   a file failed for a reason that may pass on a retry: an I/O error, a full disk,\n"
    "       the output folder missing or not writable\n"
    "  130  stopped by Ctrl-C (143 SIGTERM, 141 standard output closed, 153 file-size limit)\n";

// The options in the order --help lists them.
const std::vector<TCliOption>& Options() {
  // One option a row (names, argument, help, what it sets), laid out by hand.
  // clang-format off
  static const std::vector<TCliOption> table = {
      {{}, "", "Profile and output:", nullptr},
      {{"--profile"}, "N|NAME",
       "Output profile by number or by a case-insensitive part of its\n"
       "name; default: the profile chosen in the program's settings.\n"
       "Example: --profile 0   or   --profile \"psp mpeg-4 excellent\"",
       [](TOptionUse& u) {
         if (TrimText(u.value).empty()) return Fail(u, "option '--profile' needs a number or a name");
         u.a.profile = u.value;
         return true;
       }},
      {{"--list-profiles"}, "",
       "Print the groups and profiles with numbers, containers and codecs.\n"
       "Example: orvane-convert --list-profiles",
       Sets(&TCliArgs::listProfiles)},
      {{"--output-dir"}, "DIR",
       "Folder for the converted files (made when missing; one that cannot\n"
       "be made is an error); default: the settings' output folder.\n"
       "Example: --output-dir ~/Videos/converted",
       SetsName(&TCliArgs::outputDir, "a folder")},
      {{"-j", "--jobs"}, "N",
       "Convert up to N files at once (default 1).\n"
       "Example: --jobs 2",
       [](TOptionUse& u) {
         if (!ParseRangeInt(u.value, 1, 64, u.a.jobs))
           return Fail(u, "invalid --jobs '" + u.value + "' (a whole number from 1 to 64)");
         return true;
       }},
      {{"--accept-partial"}, "",
       "A file whose data ends before the length its container gives (cut\n"
       "off, or truncated while it converts) counts as converted with what\n"
       "there was. Without it such a file fails (the time it reached is\n"
       "named) and its output is removed.   Example: --accept-partial",
       Sets(&TCliArgs::acceptPartial)},
      {{}, "", "", nullptr},
      {{}, "", "Sharded and resumable runs (see docs/sharding.md):", nullptr},
      {{"--shard"}, "I/N",
       "Convert only shard I (counted from 0) of N of the job list (the FILEs,\n"
       "then the --batch jobs): jobs I, I+N, I+2N, ... The same list gives\n"
       "the same shards on every machine.            Example: --shard 2/4\n"
       "Without --shard, the shard comes from a job runner when it is set:\n"
       "SLURM_ARRAY_TASK_ID with SLURM_ARRAY_TASK_COUNT (Slurm job arrays),\n"
       "or JOB_COMPLETION_INDEX with --shards N (Kubernetes Indexed Jobs);\n"
       "the error stream says so (unless -q); --shard 0/1 converts the whole\n"
       "list there.",
       [](TOptionUse& u) {
         u.a.shard = u.value;
         return true;
       }},
      {{"--shards"}, "N",
       "The shard count for an index from the environment.\n"
       "Example: --shards 4",
       [](TOptionUse& u) {
         if (!ParseRangeInt(u.value, 1, 1000000, u.a.shards))
           return Fail(u, "invalid --shards '" + u.value + "' (a whole number from 1 to 1000000)");
         return true;
       }},
      {{"--resume"}, "",
       "Skip the jobs the ledger records as converted (same source path, size,\n"
       "modification time, profile and settings, and the output still there),\n"
       "and record each job converted now. A stopped file is removed, to be\n"
       "converted again, whole, by the next --resume run. A job that another\n"
       "running process converts is left to it.\n"
       "Example: --resume --output-dir /data/out",
       Sets(&TCliArgs::resume)},
      {{"--ledger"}, "FILE",
       "The ledger file (default: orvane-convert.ledger in the output folder);\n"
       "any number of processes can share it.   Example: --ledger /data/run.ledger",
       SetsName(&TCliArgs::ledger, "a file name")},
      {{"--map-root"}, "FROM=TO",
       "Read and write paths that start with the folder FROM at TO on this\n"
       "machine (sources, batch file, output folder, ledger); the ledger keeps\n"
       "the FROM names.\n"
       "Repeatable.                              Example: --map-root /data=/mnt/nas",
       [](TOptionUse& u) {
         u.a.mapRoots.push_back(u.value);
         return true;
       }},
      {{}, "", "", nullptr},
      {{}, "", "Per-file settings (they apply to every FILE and are the defaults of --batch jobs):", nullptr},
      {{"--crop"}, "T,L,B,R",
       "Crop margins in source pixels (top, left, bottom, right; even numbers).\n"
       "Example: --crop 40,0,40,0",
       SetCrop},
      {{"--trim"}, "START,END",
       "Convert only the part from START to END (seconds or H:MM:SS).\n"
       "Example: --trim 5,1:02.5   or   --trim 0:01:00,0:02:00",
       SetTrim},
      {{"--zoom"}, "MODE",
       "Fit into the output frame: full (stretch), lbox (letterbox),\n"
       "pan (fill and cut), center (pad around the source).\n"
       "Example: --zoom pan",
       SetZoom},
      Adjustment(kBrightnessRange, &TlvFilesRecord::Brightness, "the picture unchanged.", "300"),
      Adjustment(kContrastRange, &TlvFilesRecord::Contrast, "it unchanged.", "20"),
      Adjustment(kSaturationRange, &TlvFilesRecord::Saturation, "it unchanged.", "0"),
      Adjustment(kExposureRange, &TlvFilesRecord::Exposure, "it unchanged.", "-40"),
      {{"--text"}, "TEXT", "Add a text watermark.                       Example: --text \"My holiday\"", AddItem},
      {{"--image"}, "FILE", "Add a picture watermark (BMP, PNG or JPEG). Example: --image logo.png", AddItem},
      {{}, "", "    The following options change the watermark added last:", nullptr},
      {{"--wm-pos"}, "X,Y", "Top-left corner in source pixels (default 10,10).  Example: --wm-pos 20,200",
       SetsItem(SetItemPos)},
      {{"--wm-opacity"}, "N", "0 (invisible) .. 255 (opaque, the default).       Example: --wm-opacity 128",
       SetsItem(SetItemOpacity)},
      {{"--wm-font"}, "NAME,SIZE[,bold][,italic][,underline][,strikeout]",
       "Text font; SIZE in points (default 26); an empty NAME takes the\n"
       "default face.                       Example: --wm-font \"DejaVu Sans,20,bold\"",
       SetsItem(SetItemFont)},
      {{"--wm-color"}, "RRGGBB", "Text colour (default 0000FF).                     Example: --wm-color FFFF00",
       SetsItem(SetItemColor)},
      {{"--wm-background"}, "RRGGBB|none",
       "Box behind the text (default none).               Example: --wm-background 000000",
       SetsItem(SetItemBackground)},
      {{"--wm-time"}, "START,END",
       "Visible from START to END (seconds or H:MM:SS; an empty END means to\n"
       "the end of the file).                             Example: --wm-time 2,8",
       SetsItem(SetItemTime)},
      {{"--batch"}, "FILE",
       "Convert the jobs listed in the INI file FILE, each with its own\n"
       "settings (see below), after the FILEs of the command line.\n"
       "Example: orvane-convert --batch jobs.ini",
       [](TOptionUse& u) {
         if (u.value.empty()) return Fail(u, "option '--batch' needs a file name");
         if (!u.a.batch.empty()) return Fail(u, "only one --batch file can be given");
         u.a.batch = u.value;
         return true;
       }},
      {{}, "", "", nullptr},
      {{}, "", "Progress and messages:", nullptr},
      {{"--progress"}, "MODE",
       "auto (a live line per file on a terminal, else one line per\n"
       "update), plain (always one line per update) or live.\n"
       "Example: --progress=plain",
       SetProgress},
      {{"--json"}, "",
       "Write one JSON object per line and event (queued, done, elsewhere,\n"
       "skipped, progress, end, run_end) to the standard output, each line\n"
       "flushed at once; job events carry \"job\" (the job's place in the\n"
       "whole list),\n"
       "sharded runs \"shard\" and \"shards\".   Example: --json > events.log",
       Sets(&TCliArgs::json)},
      {{"-q", "--quiet"}, "", "Print nothing but errors.                Example: -q", Sets(&TCliArgs::quiet)},
      {{"-v", "-vv", "--verbose"}, "",
       "Also print the codec libraries' messages (-vv: debug messages).\n"
       "Example: -v",
       [](TOptionUse& u) {
         u.a.verbose += u.name == "-vv" ? 2 : 1;
         return true;
       }},
      {{}, "", "", nullptr},
      {{}, "", "Other:", nullptr},
      {{"--info"}, "FILE",
       "Print information about FILE's container and streams.\n"
       "Example: orvane-convert --info holiday.mkv",
       SetsName(&TCliArgs::info, "a file name")},
      {{"--dry-run"}, "",
       "Print per file the output name and the options a conversion would\n"
       "use, without converting.\n"
       "Example: orvane-convert --dry-run --profile 0 clip.mp4",
       Sets(&TCliArgs::dryRun)},
      {{"--libraries"}, "",
       "Show which codec libraries load and from where.\n"
       "Example: orvane-convert --libraries",
       Sets(&TCliArgs::libraries)},
      {{"--version"}, "", "Print the program version.   Example: orvane-convert --version", Sets(&TCliArgs::version)},
      {{"-h", "--help"}, "", "Show this text.              Example: orvane-convert --help", Sets(&TCliArgs::help)},
      {{"--"}, "",
       "Every later argument is a FILE, even when it begins with '-'.\n"
       "Example: orvane-convert -- -take1.mp4",
       [](TOptionUse& u) {
         u.onlyFiles = true;
         return true;
       }},
  };
  // clang-format on
  return table;
}

const TCliOption* FindOption(const std::string& name) {
  for (const TCliOption& row : Options())
    for (const std::string& n : row.Names)
      if (n == name) return &row;
  return nullptr;
}

}  // namespace

std::string HelpText() {
  constexpr size_t kHelpColumn = 24;  // where the help texts of the options start
  const std::string indent(kHelpColumn, ' ');
  std::string out = kHelpIntro;
  for (const TCliOption& row : Options()) {
    if (row.Names.empty()) {
      out += row.Help + "\n";
      continue;
    }
    std::string line = " ";
    for (const std::string& n : row.Names) line += (line.size() > 1 ? ", " : " ") + n;
    if (!row.Argument.empty()) line += " " + row.Argument;
    // Two spaces at least between the names and the text, else the text starts below.
    if (line.size() + 2 <= kHelpColumn)
      line.resize(kHelpColumn, ' ');
    else
      line += "\n" + indent;
    for (char c : row.Help) {
      line += c;
      if (c == '\n') line += indent;
    }
    out += line + "\n";
  }
  return out + kHelpEnd;
}

bool ParseArgs(int argc, char** argv, TCliArgs& a, std::string& err) {
  bool onlyFiles = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
      a.files.push_back(arg);
      continue;
    }
    // "--name=value" gives a long option its value in the same argument.
    std::string name = arg, value;
    bool hasInline = false;
    const size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos && eq > 2) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasInline = true;
    }
    const TCliOption* option = FindOption(name);
    if (!option) {
      err = "unknown option '" + arg + "'";
      return false;
    }
    if (option->Argument.empty() && hasInline) {
      err = "option '" + name + "' takes no value";
      return false;
    }
    if (!option->Argument.empty() && !hasInline) {
      if (i + 1 >= argc) {
        err = "option '" + name + "' needs a value";
        return false;
      }
      value = argv[++i];
    }
    TOptionUse use{a, name, value, err, onlyFiles};
    if (!option->Apply(use)) return false;
  }
  return true;
}
