// orvane-convert: the command-line front end over the conversion engine.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/core/apppaths.h"
#include "app/core/inifile.h"
#include "app/core/jobrecord.h"
#include "app/core/optionbuilder.h"
#include "app/core/profiles.h"
#include "media/errors.h"
#include "media/ffapi.h"
#include "media/loader.h"
#include "media/probe.h"
#include "media/utils.h"

namespace {

const char* KindName(TLibraryKind k) {
  switch (k) {
    case lkAVCodec: return "avcodec";
    case lkAVDevice: return "avdevice";
    case lkAVFilter: return "avfilter";
    case lkAVFormat: return "avformat";
    case lkAVUtil: return "avutil";
    case lkSwScale: return "swscale";
    case lkMSVCRT: return "C runtime";
    case lkSDL: return "SDL";
    case lkSwResample: return "swresample";
  }
  return "?";
}

// Which library kinds load, and from where (the "LibAV" folder beside the program first).
int PrintLibraries(const std::string& programDir) {
  TFFmpegLoader& loader = FFLoader();
  loader.SetLibraryFolder(programDir + "/LibAV");
  bool ok = loader.LoadLibs(kPlayerLibs);
  if (!ok) ok = loader.LoadLibs(kEngineLibs);
  for (int k = 0; k < kLibraryKindCount; ++k) {
    TLibraryKind kind = TLibraryKind(k);
    std::printf("  %-10s %-22s %s\n", KindName(kind), TFFmpegLoader::LibraryFileName(kind).c_str(),
                loader.LibLoaded(kind) ? loader.LoadedPath(kind).c_str() : "not loaded");
  }
  if (!ok) std::printf("error: %s\n", loader.LastError().c_str());
  return ok ? 0 : 1;
}

const char* const kHelp =
    "Usage: orvane-convert [options] FILE...\n"
    "Converts each FILE with the chosen output profile into the output folder.\n"
    "\n"
    "Options:\n"
    "  --profile N|NAME      Output profile by number or by a case-insensitive part of its\n"
    "                        name; default: the profile chosen in the program's settings.\n"
    "                        Example: --profile 0   or   --profile \"psp mpeg-4 excellent\"\n"
    "  --list-profiles       Print the groups and profiles with numbers, containers and codecs.\n"
    "                        Example: orvane-convert --list-profiles\n"
    "  --output-dir DIR      Folder for the converted files; default: the settings' output folder.\n"
    "                        Example: --output-dir ~/Videos/converted\n"
    "  --crop T,L,B,R        Crop margins in source pixels (top, left, bottom, right; even numbers).\n"
    "                        Example: --crop 40,0,40,0\n"
    "  --trim START,END      Convert only the part from START to END (seconds or H:MM:SS).\n"
    "                        Example: --trim 5,1:02.5   or   --trim 0:01:00,0:02:00\n"
    "  --zoom MODE           Fit into the output frame: full (stretch), lbox (letterbox),\n"
    "                        pan (fill and cut), center (pad around the source).\n"
    "                        Example: --zoom pan\n"
    "  --info FILE           Print information about FILE's container and streams.\n"
    "                        Example: orvane-convert --info holiday.mkv\n"
    "  --dry-run             Print per file the output name and the options a conversion would\n"
    "                        use, without converting.\n"
    "                        Example: orvane-convert --dry-run --profile 0 clip.mp4\n"
    "  --libraries           Show which codec libraries load and from where.\n"
    "                        Example: orvane-convert --libraries\n"
    "  --version             Print the program version.   Example: orvane-convert --version\n"
    "  --help                Show this text.              Example: orvane-convert --help\n"
    "\n"
    "Exit status: 0 success, 1 a file failed, 2 usage error.\n";

int UsageError(const std::string& msg) {
  std::fprintf(stderr, "orvane-convert: %s\nTry 'orvane-convert --help' for more information.\n", msg.c_str());
  return 2;
}

// A whole non-negative decimal number ("12", "2.5").
bool ParseSeconds(const std::string& text, double& v) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') return false;
  return IsNumber(text, &v) && v >= 0;
}

// Seconds, M:SS or H:MM:SS (seconds may carry a fraction) -> microseconds; false on bad text.
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
    if (!last && (v != static_cast<int64_t>(v))) return false;  // only the seconds take a fraction
    if (i > 0 && v >= 60) return false;
    total = total * 60 + v;
  }
  if (total > 1e9) return false;
  us = static_cast<int64_t>(total * 1e6 + 0.5);
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

struct TCliArgs {
  bool help = false, version = false, libraries = false, listProfiles = false, dryRun = false;
  std::string info;
  std::string profile;
  std::string outputDir;
  std::string zoom;
  bool crop = false;
  int32_t cropTop = 0, cropLeft = 0, cropBottom = 0, cropRight = 0;
  bool trim = false;
  int64_t trimStart = 0, trimLength = 0;
  std::vector<std::string> files;
};

// Parses the command line; on a usage error returns false with the message in err.
bool ParseArgs(int argc, char** argv, TCliArgs& a, std::string& err) {
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
    } else if (name == "--info") {
      if (!takeValue()) return false;
      if (value.empty()) return err = "option '--info' needs a file name", false;
      a.info = value;
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
      a.zoom = value;
    } else if (name == "--crop") {
      if (!takeValue()) return false;
      std::vector<std::string> parts = SplitComma(value);
      int32_t v[4];
      bool ok = parts.size() == 4;
      for (size_t k = 0; ok && k < 4; ++k) ok = IsInteger(TrimText(parts[k]), &v[k]) && v[k] >= 0 && v[k] % 2 == 0;
      if (!ok)
        return err = "invalid --crop '" + value + "' (four even numbers of pixels: TOP,LEFT,BOTTOM,RIGHT)", false;
      a.crop = true;
      a.cropTop = v[0];
      a.cropLeft = v[1];
      a.cropBottom = v[2];
      a.cropRight = v[3];
    } else if (name == "--trim") {
      if (!takeValue()) return false;
      std::vector<std::string> parts = SplitComma(value);
      int64_t s = 0, e = 0;
      if (parts.size() != 2 || !ParseTime(TrimText(parts[0]), s) || !ParseTime(TrimText(parts[1]), e))
        return err = "invalid --trim '" + value + "' (START,END in seconds or H:MM:SS)", false;
      if (e <= s) return err = "invalid --trim '" + value + "': END must lie after START", false;
      a.trim = true;
      a.trimStart = s;
      a.trimLength = e - s;
    } else {
      err = "unknown option '" + arg + "'";
      return false;
    }
  }
  return true;
}

bool LoadEngineLibraries() {
  TFFmpegLoader& loader = FFLoader();
  loader.SetLibraryFolder(ProgramDir() + "/LibAV");
  if (loader.LoadLibs(kEngineLibs)) return true;
  std::fprintf(stderr, "orvane-convert: the codec libraries cannot be loaded: %s\n", loader.LastError().c_str());
  return false;
}

int PrintProfiles() {
  TIniFile settings(SettingsIniPath());
  TIniFile format(FormatIniPath());
  for (const TProfileGroup& g : BuiltinProfileGroups()) {
    std::printf("%s\n", g.Header);
    for (const TProfileEntry& e : g.Entries) {
      const std::string section = ProfileSection(e.Code);
      std::string container = format.ReadString(section, "Format", "");
      std::string ext = format.ReadString(section, "FileExt", "mp4");
      TProfileParams p = ReadProfileParams(settings, format, e.Code);
      // The encoder a conversion uses: the stored name mapped to its working equivalent.
      auto encoder = [](const std::string& name, TEncoderKind kind) {
        try {
          return ResolveEncoderName(name, kind);
        } catch (const FFmpegException&) {
          return name;
        }
      };
      std::string codecs = p.VideoEncoder.empty() ? "no video" : "video " + encoder(p.VideoEncoder, TEncoderKind::Video);
      codecs += p.AudioEncoder.empty() ? ", no audio" : ", audio " + encoder(p.AudioEncoder, TEncoderKind::Audio);
      std::printf("  %4d  %-45s .%-5s %-8s %s\n", e.Code, e.Name, ext.c_str(), container.c_str(), codecs.c_str());
    }
  }
  return 0;
}

// The profile number for --profile: a number naming a built-in profile, else the one profile
// whose display name contains the text (letter case ignored; an exact name wins).
bool ResolveProfile(const std::string& text, int32_t& code, std::string& err) {
  int32_t n;
  if (IsInteger(TrimText(text), &n)) {
    if (BuiltinProfileName(n).empty()) return err = "no profile number " + std::to_string(n), false;
    code = n;
    return true;
  }
  const std::string want = LowerAscii(TrimText(text));
  std::vector<const TProfileEntry*> hits;
  for (const TProfileGroup& g : BuiltinProfileGroups())
    for (const TProfileEntry& e : g.Entries) {
      std::string name = LowerAscii(e.Name);
      if (name == want) {
        code = e.Code;
        return true;
      }
      if (name.find(want) != std::string::npos) hits.push_back(&e);
    }
  if (hits.size() == 1) {
    code = hits[0]->Code;
    return true;
  }
  if (hits.empty()) return err = "no profile name contains '" + text + "' (see --list-profiles)", false;
  err = "profile '" + text + "' is ambiguous:";
  for (const TProfileEntry* e : hits) err += "\n  " + std::to_string(e->Code) + "  " + e->Name;
  return false;
}

// A private copy of the settings file that names another output folder, so the builder's own
// naming (free name, folder creation) works on it while the user's settings stay untouched.
class TSettingsOverride {
public:
  TSettingsOverride(const std::string& settingsPath, const std::string& outputDir) {
    namespace fs = std::filesystem;
    std::random_device rd;
    path_ = (fs::temp_directory_path() / ("orvane-convert-" + std::to_string(rd()) + ".ini")).string();
    std::error_code ec;
    if (fs::exists(settingsPath, ec)) fs::copy_file(settingsPath, path_, fs::copy_options::overwrite_existing, ec);
    if (ec) throw FFmpegException("Cannot copy the settings file " + settingsPath + ": " + ec.message());
    std::string dir = outputDir;
    if (!dir.empty() && dir[0] != '/') dir = (fs::current_path() / dir).string();
    TIniFile(path_).WriteString("settings", "OutPutDir", dir);
  }
  ~TSettingsOverride() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  TSettingsOverride(const TSettingsOverride&) = delete;
  TSettingsOverride& operator=(const TSettingsOverride&) = delete;
  const std::string& path() const { return path_; }

private:
  std::string path_;
};

void PrintOptionLines(const TInputOptions& in, const TOutputOptions& o) {
  auto s = [](const char* name, const std::string& v) {
    if (!v.empty()) std::printf("  %s=%s\n", name, v.c_str());
  };
  auto i = [](const char* name, int64_t v) {
    if (v > 0) std::printf("  %s=%lld\n", name, static_cast<long long>(v));
  };
  auto b = [](const char* name, bool v) {
    if (v) std::printf("  %s\n", name);
  };
  if (in.StartTime != kNoPts) std::printf("  input ss=%lld\n", static_cast<long long>(in.StartTime));
  if (!in.FileFormat.empty()) std::printf("  input f=%s\n", in.FileFormat.c_str());
  for (const TExtOption& e : ParseExtOptions(in.ExtOptions)) std::printf("  input %s=%s\n", e.Name.c_str(), e.Value.c_str());
  s("f", o.FileFormat);
  i("packetsize", o.PacketSize);
  i("muxrate", o.MuxRate);
  s("acodec", o.AudioCodec);
  s("apre", o.AudioPreset);
  b("an", o.DisableAudio);
  if (o.AudioVolume >= 0) std::printf("  vol=%d\n", o.AudioVolume);
  i("ac", o.AudioChannels);
  i("ar", o.AudioSampleRate);
  i("ab", o.AudioBitrate);
  s("atag", o.AudioTag);
  s("vcodec", o.VideoCodec);
  s("vpre", o.VideoPreset);
  b("vn", o.DisableVideo);
  s("r", o.FrameRate);
  s("s", o.FrameSize);
  s("aspect", o.AspectRatio);
  i("croptop", o.CropTop);
  i("cropbottom", o.CropBottom);
  i("cropleft", o.CropLeft);
  i("cropright", o.CropRight);
  i("g", o.GopSize);
  i("vb", o.VideoBitrate);
  i("maxrate", o.VideoMaxRate);
  i("minrate", o.VideoMinRate);
  i("bt", o.VideoBitrateTolerance);
  i("bufsize", o.VideoBufferSize);
  s("vtag", o.VideoTag);
  s("vf", o.VideoFilters);
  s("scodec", o.SubtitleCodec);
  b("sn", o.DisableSubtitle);
  if (o.StartTime != kNoPts) std::printf("  ss=%lld\n", static_cast<long long>(o.StartTime));
  if (o.Duration != kNoPts) std::printf("  t=%lld\n", static_cast<long long>(o.Duration));
  if (o.Target >= 1 && o.Target <= 3) std::printf("  target=%s\n", o.Target == 1 ? "vcd" : o.Target == 2 ? "svcd" : "dvd");
  for (const TExtOption& e : ParseExtOptions(o.ExtOptions)) std::printf("  %s=%s\n", e.Name.c_str(), e.Value.c_str());
}

// A file that cannot be opened, named once (the probe's message usually names it already).
void ReportOpenError(const std::string& file, const std::string& msg) {
  if (msg.find(file) != std::string::npos)
    std::fprintf(stderr, "orvane-convert: %s\n", msg.c_str());
  else
    std::fprintf(stderr, "orvane-convert: %s: %s\n", file.c_str(), msg.c_str());
}

// Prints one file's output name and option lines; false (with the message printed) when the
// file cannot be opened or the profile cannot be used for it.
bool DryRunFile(const TCliArgs& a, const std::string& file, int32_t code, TOutputOptionBuilder& builder,
                const TIniFile& settings, const TIniFile& format) {
  TAVProbe probe;
  if (!probe.LoadFile(file)) {
    ReportOpenError(file, probe.LastErrMsg());
    return false;
  }
  TSourceInfo src;
  src.VideoStreamCount = probe.VideoStreamCount();
  if (src.VideoStreamCount > 0) {
    TVideoStreamInfo v = probe.GetVideoStreamInfo();
    src.Width = v.Width > 0 ? v.Width : 0;
    src.Height = v.Height > 0 ? v.Height : 0;
    src.VideoBitRate = v.BitRate > 0 ? v.BitRate : 0;
  }
  if (probe.AudioStreamCount() > 0) {
    TAudioStreamInfo au = probe.GetAudioStreamInfo();
    src.AudioSampleRate = au.SampleRate > 0 ? au.SampleRate : 0;
    src.AudioBitRate = au.BitRate > 0 ? au.BitRate : 0;
  }
  const int64_t durationUS = probe.GetFileStreamInfo().Duration;

  TlvFilesRecord job;
  job.SourceFile = file;
  job.DurationSec = durationUS > 0 ? static_cast<int32_t>(durationUS / 1000000) : 0;
  job.ZoomMode = a.zoom.empty() ? ReadProfileZoom(settings, code) : a.zoom;
  if (a.crop) {
    if (src.VideoStreamCount > 0 &&
        (a.cropTop + a.cropBottom >= src.Height || a.cropLeft + a.cropRight >= src.Width)) {
      std::fprintf(stderr, "orvane-convert: %s: the crop leaves no picture of the %dx%d source\n", file.c_str(),
                   src.Width, src.Height);
      return false;
    }
    job.CropTop = a.cropTop;
    job.CropLeft = a.cropLeft;
    job.CropBottom = a.cropBottom;
    job.CropRight = a.cropRight;
  }
  if (a.trim) {
    if (durationUS > 0 && a.trimStart >= durationUS) {
      std::fprintf(stderr, "orvane-convert: %s: the trim starts after the end of the file\n", file.c_str());
      return false;
    }
    job.TrimStart = a.trimStart;
    job.TrimLength = a.trimLength;
  }

  try {
    const std::string ext = "." + format.ReadString(ProfileSection(code), "FileExt", "mp4");
    job.DestFile = builder.BuildOutputPath(file, ext);
    TOutputOptions out;
    TInputOptions in;
    in.FileName = file;
    out.FileName = job.DestFile;
    if (job.CropTop > 0) out.CropTop = job.CropTop;
    if (job.CropBottom > 0) out.CropBottom = job.CropBottom;
    if (job.CropLeft > 0) out.CropLeft = job.CropLeft;
    if (job.CropRight > 0) out.CropRight = job.CropRight;
    if (job.TrimStart > 0) in.StartTime = job.TrimStart;
    if (job.TrimLength > 0)
      out.Duration = job.TrimLength;
    else if (durationUS > 0)
      out.Duration = durationUS - job.TrimStart;
    builder.BuildOutputOptions(job, code, out, src, in);
    std::printf("%s\n  output: %s\n", file.c_str(), out.FileName.c_str());
    PrintOptionLines(in, out);
  } catch (const FFmpegException& e) {
    std::fprintf(stderr, "orvane-convert: %s: %s\n", file.c_str(), e.what());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string self = argv[0];
  std::string programDir = self.find('/') == std::string::npos ? "." : self.substr(0, self.rfind('/'));
  TCliArgs a;
  std::string err;
  if (!ParseArgs(argc, argv, a, err)) return UsageError(err);
  if (a.help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (a.version) std::printf("Orvane Video Converter %s\n", ORVANE_VERSION);
  if (a.libraries) return PrintLibraries(programDir);
  if (a.version) return 0;
  try {
    if (a.listProfiles) return PrintProfiles();
    if (!a.info.empty()) {
      if (!LoadEngineLibraries()) return 1;
      TAVProbe probe;
      if (!probe.LoadFile(a.info)) {
        ReportOpenError(a.info, probe.LastErrMsg());
        return 1;
      }
      std::string text = probe.GetInfoText();
      // The information text ends its lines with CR LF; a terminal wants LF.
      std::string lf;
      for (char c : text)
        if (c != '\r') lf += c;
      std::fputs(lf.c_str(), stdout);
      return 0;
    }
    if (a.files.empty()) return UsageError("no input files (see --help)");

    TIniFile settings(SettingsIniPath());
    int32_t code = settings.ReadInteger("settings", "FormatCode", 1);
    if (!a.profile.empty() && !ResolveProfile(a.profile, code, err)) return UsageError(err);
    if (BuiltinProfileName(code).empty())
      return UsageError("the settings name profile " + std::to_string(code) + ", which does not exist; choose one with --profile");

    if (!a.dryRun) {
      std::fprintf(stderr,
                   "orvane-convert: converting is not available yet in this version; "
                   "use --dry-run to see what a conversion would do\n");
      return 1;
    }
    if (!LoadEngineLibraries()) return 1;
    std::unique_ptr<TSettingsOverride> overrideIni;
    std::string settingsPath = SettingsIniPath();
    if (!a.outputDir.empty()) {
      overrideIni = std::make_unique<TSettingsOverride>(settingsPath, a.outputDir);
      settingsPath = overrideIni->path();
    }
    TIniFile format(FormatIniPath());
    TAutoAnswerPrompts prompts;
    TOutputOptionBuilder builder(settingsPath, FormatIniPath(), prompts);
    std::printf("Profile %d: %s\n", code, BuiltinProfileName(code).c_str());
    bool allOk = true;
    for (const std::string& f : a.files) {
      if (!DryRunFile(a, f, code, builder, TIniFile(settingsPath), format)) allOk = false;
    }
    for (const std::string& w : prompts.Warnings) std::fprintf(stderr, "orvane-convert: warning: %s\n", w.c_str());
    return allOk ? 0 : 1;
  } catch (const FFmpegException& e) {
    std::fprintf(stderr, "orvane-convert: %s\n", e.what());
    return 1;
  }
}
