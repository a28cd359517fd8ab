#include "cli/args.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "app/core/profiles.h"
#include "media/utils.h"

const char* const kHelpText =
    "Usage: orvane-convert [options] FILE...\n"
    "Converts each FILE with the chosen output profile into the output folder.\n"
    "\n"
    "Profile and output:\n"
    "  --profile N|NAME      Output profile by number or by a case-insensitive part of its\n"
    "                        name; default: the profile chosen in the program's settings.\n"
    "                        Example: --profile 0   or   --profile \"psp mpeg-4 excellent\"\n"
    "  --list-profiles       Print the groups and profiles with numbers, containers and codecs.\n"
    "                        Example: orvane-convert --list-profiles\n"
    "  --output-dir DIR      Folder for the converted files (made when missing; one that cannot\n"
    "                        be made is an error); default: the settings' output folder.\n"
    "                        Example: --output-dir ~/Videos/converted\n"
    "  --jobs N              Convert up to N files at once (default 1).\n"
    "                        Example: --jobs 2\n"
    "  --accept-partial      A file whose data ends before the length its container gives (cut\n"
    "                        off, or truncated while it converts) counts as converted with what\n"
    "                        there was. Without it such a file fails (the time it reached is\n"
    "                        named) and its output is removed.   Example: --accept-partial\n"
    "\n"
    "Sharded and resumable runs (see docs/sharding.md):\n"
    "  --shard I/N           Convert only shard I (counted from 0) of N of the job list (the FILEs,\n"
    "                        then the --batch jobs): jobs I, I+N, I+2N, ... The same list gives\n"
    "                        the same shards on every machine.            Example: --shard 2/4\n"
    "                        Without --shard, the shard comes from a job runner when it is set:\n"
    "                        SLURM_ARRAY_TASK_ID with SLURM_ARRAY_TASK_COUNT (Slurm job arrays),\n"
    "                        or JOB_COMPLETION_INDEX with --shards N (Kubernetes Indexed Jobs);\n"
    "                        the error stream says so (unless -q); --shard 0/1 converts the whole\n"
    "                        list there.\n"
    "  --shards N            The shard count for an index from the environment.\n"
    "                        Example: --shards 4\n"
    "  --resume              Skip the jobs the ledger records as converted (same source path, size,\n"
    "                        modification time, profile and settings, and the output still there),\n"
    "                        and record each job converted now. A stopped file is removed, to be\n"
    "                        converted again, whole, by the next --resume run. A job that another\n"
    "                        running process converts is left to it.\n"
    "                        Example: --resume --output-dir /data/out\n"
    "  --ledger FILE         The ledger file (default: orvane-convert.ledger in the output folder);\n"
    "                        any number of processes can share it.   Example: --ledger /data/run.ledger\n"
    "  --map-root FROM=TO    Read and write paths that start with the folder FROM at TO on this\n"
    "                        machine (sources, batch file, output folder, ledger); the ledger keeps\n"
    "                        the FROM names.\n"
    "                        Repeatable.                              Example: --map-root /data=/mnt/nas\n"
    "\n"
    "Per-file settings (they apply to every FILE and are the defaults of --batch jobs):\n"
    "  --crop T,L,B,R        Crop margins in source pixels (top, left, bottom, right; even numbers).\n"
    "                        Example: --crop 40,0,40,0\n"
    "  --trim START,END      Convert only the part from START to END (seconds or H:MM:SS).\n"
    "                        Example: --trim 5,1:02.5   or   --trim 0:01:00,0:02:00\n"
    "  --zoom MODE           Fit into the output frame: full (stretch), lbox (letterbox),\n"
    "                        pan (fill and cut), center (pad around the source).\n"
    "                        Example: --zoom pan\n"
    "  --brightness N        0..512, 255 leaves the picture unchanged.   Example: --brightness 300\n"
    "  --contrast N          -100..100, 0 leaves it unchanged.           Example: --contrast 20\n"
    "  --saturation N        0..512, 255 leaves it unchanged.            Example: --saturation 0\n"
    "  --exposure N          -255..512, 0 leaves it unchanged.           Example: --exposure -40\n"
    "  --text TEXT           Add a text watermark.                       Example: --text \"My holiday\"\n"
    "  --image FILE          Add a picture watermark (BMP, PNG or JPEG). Example: --image logo.png\n"
    "    The following options change the watermark added last:\n"
    "  --wm-pos X,Y          Top-left corner in source pixels (default 10,10).  Example: --wm-pos 20,200\n"
    "  --wm-opacity N        0 (invisible) .. 255 (opaque, the default).       Example: --wm-opacity 128\n"
    "  --wm-font NAME,SIZE[,bold][,italic][,underline][,strikeout]\n"
    "                        Text font; SIZE in points (default 26); an empty NAME takes the\n"
    "                        default face.                       Example: --wm-font \"DejaVu Sans,20,bold\"\n"
    "  --wm-color RRGGBB     Text colour (default 0000FF).                     Example: --wm-color FFFF00\n"
    "  --wm-background RRGGBB|none\n"
    "                        Box behind the text (default none).               Example: --wm-background 000000\n"
    "  --wm-time START,END   Visible from START to END (seconds or H:MM:SS; an empty END means to\n"
    "                        the end of the file).                             Example: --wm-time 2,8\n"
    "  --batch FILE          Convert the jobs listed in the INI file FILE, each with its own\n"
    "                        settings (see below), after the FILEs of the command line.\n"
    "                        Example: orvane-convert --batch jobs.ini\n"
    "\n"
    "Progress and messages:\n"
    "  --progress MODE       auto (a live line per file on a terminal, else one line per\n"
    "                        update), plain (always one line per update) or live.\n"
    "                        Example: --progress=plain\n"
    "  --json                Write one JSON object per line and event (queued, done, elsewhere,\n"
    "                        skipped, progress, end, run_end) to the standard output, each line\n"
    "                        flushed at once; job events carry \"job\" (the job's place in the\n"
    "                        whole list),\n"
    "                        sharded runs \"shard\" and \"shards\".   Example: --json > events.log\n"
    "  -q, --quiet           Print nothing but errors.                Example: -q\n"
    "  -v, --verbose         Also print the codec libraries' messages (-vv: debug messages).\n"
    "                        Example: -v\n"
    "\n"
    "Other:\n"
    "  --info FILE           Print information about FILE's container and streams.\n"
    "                        Example: orvane-convert --info holiday.mkv\n"
    "  --dry-run             Print per file the output name and the options a conversion would\n"
    "                        use, without converting.\n"
    "                        Example: orvane-convert --dry-run --profile 0 clip.mp4\n"
    "  --libraries           Show which codec libraries load and from where.\n"
    "                        Example: orvane-convert --libraries\n"
    "  --version             Print the program version.   Example: orvane-convert --version\n"
    "  --help                Show this text.              Example: orvane-convert --help\n"
    "  --                    Every later argument is a FILE, even when it begins with '-'.\n"
    "                        Example: orvane-convert -- -take1.mp4\n"
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

bool ParseArgs(int argc, char** argv, TCliArgs& a, std::string& err) {
  TlvFilesRecord& job = a.settings.Job;
  bool onlyFiles = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
      a.files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyFiles = true;
      continue;
    }
    std::string name = arg, value;
    bool hasInline = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasInline = true;
    }
    auto takeValue = [&]() -> bool {
      if (hasInline) return true;
      if (i + 1 >= argc) {
        err = "option '" + name + "' needs a value";
        return false;
      }
      value = argv[++i];
      return true;
    };
    auto flag = [&](bool& target) -> bool {
      if (hasInline) {
        err = "option '" + name + "' takes no value";
        return false;
      }
      target = true;
      return true;
    };
    auto adjust = [&](const TAdjustRange& r, int32_t& target) -> bool {
      if (!takeValue()) return false;
      if (!ParseRangeInt(value, r.Min, r.Max, target)) {
        err = "invalid --" + std::string(r.Name) + " '" + value + "' (a whole number from " + std::to_string(r.Min) +
              " to " + std::to_string(r.Max) + ")";
        return false;
      }
      return true;
    };
    // The watermark item the --wm-* options change: the one added last.
    auto lastItem = [&]() -> TWmRec* {
      if (job.WaterMarks.empty()) {
        err = "option '" + name + "' needs a --text or --image before it";
        return nullptr;
      }
      return &job.WaterMarks.back();
    };

    if (name == "--help" || name == "-h") {
      if (!flag(a.help)) return false;
    } else if (name == "--version") {
      if (!flag(a.version)) return false;
    } else if (name == "--libraries") {
      if (!flag(a.libraries)) return false;
    } else if (name == "--list-profiles") {
      if (!flag(a.listProfiles)) return false;
    } else if (name == "--dry-run") {
      if (!flag(a.dryRun)) return false;
    } else if (name == "--json") {
      if (!flag(a.json)) return false;
    } else if (name == "-q" || name == "--quiet") {
      if (!flag(a.quiet)) return false;
    } else if (name == "-v" || name == "--verbose") {
      bool dummy;
      if (!flag(dummy)) return false;
      ++a.verbose;
    } else if (name == "-vv") {
      a.verbose += 2;
    } else if (name == "--progress") {
      if (!takeValue()) return false;
      if (value == "auto")
        a.progress = TProgressMode::Auto;
      else if (value == "plain")
        a.progress = TProgressMode::Plain;
      else if (value == "live")
        a.progress = TProgressMode::Live;
      else
        return err = "invalid --progress '" + value + "' (use auto, plain or live)", false;
    } else if (name == "--jobs" || name == "-j") {
      if (!takeValue()) return false;
      if (!ParseRangeInt(value, 1, 64, a.jobs))
        return err = "invalid --jobs '" + value + "' (a whole number from 1 to 64)", false;
    } else if (name == "--info") {
      if (!takeValue()) return false;
      if (value.empty()) return err = "option '--info' needs a file name", false;
      a.info = value;
    } else if (name == "--batch") {
      if (!takeValue()) return false;
      if (value.empty()) return err = "option '--batch' needs a file name", false;
      if (!a.batch.empty()) return err = "only one --batch file can be given", false;
      a.batch = value;
    } else if (name == "--shard") {
      if (!takeValue()) return false;
      a.shard = value;
    } else if (name == "--shards") {
      if (!takeValue()) return false;
      if (!ParseRangeInt(value, 1, 1000000, a.shards))
        return err = "invalid --shards '" + value + "' (a whole number from 1 to 1000000)", false;
    } else if (name == "--resume") {
      if (!flag(a.resume)) return false;
    } else if (name == "--accept-partial") {
      if (!flag(a.acceptPartial)) return false;
    } else if (name == "--ledger") {
      if (!takeValue()) return false;
      if (value.empty()) return err = "option '--ledger' needs a file name", false;
      a.ledger = value;
    } else if (name == "--map-root") {
      if (!takeValue()) return false;
      a.mapRoots.push_back(value);
    } else if (name == "--profile") {
      if (!takeValue()) return false;
      if (TrimText(value).empty()) return err = "option '--profile' needs a number or a name", false;
      a.profile = value;
    } else if (name == "--output-dir") {
      if (!takeValue()) return false;
      if (value.empty()) return err = "option '--output-dir' needs a folder", false;
      a.outputDir = value;
    } else if (name == "--zoom") {
      if (!takeValue()) return false;
      if (value != "full" && value != "lbox" && value != "pan" && value != "center")
        return err = "invalid --zoom '" + value + "' (use full, lbox, pan or center)", false;
      job.ZoomMode = value;
      a.settings.ZoomSet = true;
    } else if (name == "--crop") {
      if (!takeValue()) return false;
      std::vector<std::string> parts = SplitComma(value);
      int32_t v[4];
      bool ok = parts.size() == 4;
      for (size_t k = 0; ok && k < 4; ++k) ok = IsInteger(TrimText(parts[k]), &v[k]) && v[k] >= 0 && v[k] % 2 == 0;
      if (!ok)
        return err = "invalid --crop '" + value + "' (four even numbers of pixels: TOP,LEFT,BOTTOM,RIGHT)", false;
      job.CropTop = v[0];
      job.CropLeft = v[1];
      job.CropBottom = v[2];
      job.CropRight = v[3];
    } else if (name == "--trim") {
      if (!takeValue()) return false;
      std::vector<std::string> parts = SplitComma(value);
      int64_t s = 0, e = 0;
      if (parts.size() != 2 || !ParseTime(TrimText(parts[0]), s) || !ParseTime(TrimText(parts[1]), e))
        return err = "invalid --trim '" + value + "' (START,END in seconds or H:MM:SS)", false;
      if (e <= s) return err = "invalid --trim '" + value + "': END must lie after START", false;
      job.TrimStart = s;
      job.TrimLength = e - s;
    } else if (name == "--brightness") {
      if (!adjust(kBrightnessRange, job.Brightness)) return false;
    } else if (name == "--contrast") {
      if (!adjust(kContrastRange, job.Contrast)) return false;
    } else if (name == "--saturation") {
      if (!adjust(kSaturationRange, job.Saturation)) return false;
    } else if (name == "--exposure") {
      if (!adjust(kExposureRange, job.Exposure)) return false;
    } else if (name == "--text" || name == "--image") {
      if (!takeValue()) return false;
      TWmRec item;
      item.TextLeft = item.TextTop = item.ImageLeft = item.ImageTop = 10;
      item.EndSec = kWmToTheEnd;
      if (name == "--text") {
        if (value.empty()) return err = "option '--text' needs a text", false;
        item.Kind = wmkText;
        item.Text = value;
      } else {
        if (value.empty()) return err = "option '--image' needs a file name", false;
        item.Kind = wmkImage;
        item.ImageFile = value;
      }
      job.WaterMarks.push_back(item);
    } else if (name == "--wm-pos") {
      if (!takeValue()) return false;
      TWmRec* item = lastItem();
      if (!item) return false;
      std::vector<std::string> parts = SplitComma(value);
      int32_t x, y;
      if (parts.size() != 2 || !ParseRangeInt(parts[0], -100000, 100000, x) ||
          !ParseRangeInt(parts[1], -100000, 100000, y))
        return err = "invalid --wm-pos '" + value + "' (X,Y in source pixels)", false;
      item->TextLeft = item->ImageLeft = x;
      item->TextTop = item->ImageTop = y;
    } else if (name == "--wm-opacity") {
      if (!takeValue()) return false;
      TWmRec* item = lastItem();
      if (!item) return false;
      int32_t v;
      if (!ParseRangeInt(value, 0, 255, v))
        return err = "invalid --wm-opacity '" + value + "' (a whole number from 0 to 255)", false;
      item->TextOpacity = item->ImageOpacity = v;
    } else if (name == "--wm-font") {
      if (!takeValue()) return false;
      TWmRec* item = lastItem();
      if (!item) return false;
      std::vector<std::string> parts = SplitComma(value);
      TWmFont font = item->Font;
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
        return err = "invalid --wm-font '" + value +
                     "' (NAME,SIZE followed by any of bold, italic, underline, strikeout; SIZE 1 to 1000)",
               false;
      item->Font = font;
    } else if (name == "--wm-color") {
      if (!takeValue()) return false;
      TWmRec* item = lastItem();
      if (!item) return false;
      if (!ParseColor(value, item->Font.Color))
        return err = "invalid --wm-color '" + value + "' (six hexadecimal digits RRGGBB)", false;
    } else if (name == "--wm-background") {
      if (!takeValue()) return false;
      TWmRec* item = lastItem();
      if (!item) return false;
      if (LowerAscii(TrimText(value)) == "none") {
        item->HasBackColor = false;
      } else {
        if (!ParseColor(value, item->BackColor))
          return err = "invalid --wm-background '" + value + "' (six hexadecimal digits RRGGBB, or none)", false;
        item->HasBackColor = true;
      }
    } else if (name == "--wm-time") {
      if (!takeValue()) return false;
      TWmRec* item = lastItem();
      if (!item) return false;
      std::vector<std::string> parts = SplitComma(value);
      int64_t s = 0, e = 0;
      const bool toEnd = parts.size() == 2 && TrimText(parts[1]).empty();
      if (parts.size() != 2 || !ParseTime(TrimText(parts[0]), s) || (!toEnd && !ParseTime(TrimText(parts[1]), e)))
        return err = "invalid --wm-time '" + value + "' (START,END in seconds or H:MM:SS)", false;
      if (!toEnd && e < s) return err = "invalid --wm-time '" + value + "': END lies before START", false;
      item->StartSec = static_cast<int32_t>(s / 1000000);
      item->EndSec = toEnd ? kWmToTheEnd : static_cast<int32_t>(e / 1000000);
    } else {
      err = "unknown option '" + arg + "'";
      return false;
    }
  }
  return true;
}
