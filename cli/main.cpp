// orvane-convert: the command-line front end over the conversion engine.
#include <QGuiApplication>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/core/apppaths.h"
#include "app/core/jobprep.h"
#include "app/core/ledger.h"
#include "app/core/optionbuilder.h"
#include "app/core/profiles.h"
#include "app/core/runstatus.h"
#include "app/core/settings.h"
#include "app/core/sharding.h"
#include "cli/args.h"
#include "cli/batch.h"
#include "cli/convert.h"
#include "cli/report.h"
#include "media/errors.h"
#include "media/logger.h"
#include "media/loader.h"
#include "media/probe.h"
#include "media/textutils.h"
#include "render/renderer.h"

namespace {

const char* KindName(TLibraryKind k) {
  switch (k) {
    case lkAVCodec:
      return "avcodec";
    case lkAVDevice:
      return "avdevice";
    case lkAVFilter:
      return "avfilter";
    case lkAVFormat:
      return "avformat";
    case lkAVUtil:
      return "avutil";
    case lkSwScale:
      return "swscale";
    case lkMSVCRT:
      return "C runtime";
    case lkSDL:
      return "SDL";
    case lkSwResample:
      return "swresample";
  }
  return "?";
}

// Which library kinds load, and from where (the "LibAV" folder beside the program first).
int PrintLibraries() {
  TFFmpegLoader& loader = FFLoader();
  std::string error;
  const bool ok = LoadCodecLibraries(kPlayerLibs, error) || LoadCodecLibraries(kEngineLibs, error);
  for (int k = 0; k < kLibraryKindCount; ++k) {
    TLibraryKind kind = TLibraryKind(k);
    std::printf("  %-10s %-22s %s\n", KindName(kind), TFFmpegLoader::LibraryFileName(kind).c_str(),
                loader.LibLoaded(kind) ? loader.LoadedPath(kind).c_str() : "not loaded");
  }
  if (!ok) std::printf("error: %s\n", loader.LastError().c_str());
  return ok ? 0 : 1;
}

int UsageError(const std::string& msg) {
  std::fprintf(stderr, "orvane-convert: %s\nTry 'orvane-convert --help' for more information.\n", msg.c_str());
  return 2;
}

bool LoadEngineLibraries() {
  std::string error;
  if (LoadCodecLibraries(kEngineLibs, error)) return true;
  std::fprintf(stderr, "orvane-convert: the codec libraries cannot be loaded: %s\n", error.c_str());
  return false;
}

int PrintProfiles(const TAppSettings& settings) {
  settings.CheckFormatFile();
  // One reading of each file for the whole listing.
  const TAppSettings::TProfileUse use = settings.OpenProfileUse();
  for (const TProfileGroup& g : BuiltinProfileGroups()) {
    std::printf("%s\n", g.Header);
    for (const TProfileEntry& e : g.Entries) {
      const std::string section = ProfileSection(e.Code);
      std::string container = use.Format.ReadString(section, "Format", "");
      std::string ext = use.Format.ReadString(section, "FileExt", "mp4");
      std::string codecs;
      try {
        TProfileParams p = ReadProfileParams(use.Settings, use.Format, e.Code);
        // The encoder a conversion uses: the stored name mapped to its working equivalent.
        auto encoder = [](const std::string& name, TEncoderKind kind) {
          try {
            return ResolveEncoderName(name, kind);
          } catch (const FFmpegException&) {
            return name;
          }
        };
        codecs = p.VideoEncoder.empty() ? "no video" : "video " + encoder(p.VideoEncoder, TEncoderKind::Video);
        codecs += p.AudioEncoder.empty() ? ", no audio" : ", audio " + encoder(p.AudioEncoder, TEncoderKind::Audio);
      } catch (const FFmpegException& err) {
        codecs = std::string("unusable: ") + err.what();
      }
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

// The option lines of the dry run ("  name=value").
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
  for (const TExtOption& e : ParseExtOptions(in.ExtOptions))
    std::printf("  input %s=%s\n", e.Name.c_str(), e.Value.c_str());
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
  if (o.Target >= 1 && o.Target <= 3)
    std::printf("  target=%s\n", o.Target == 1 ? "vcd" : o.Target == 2 ? "svcd" : "dvd");
  for (const TExtOption& e : ParseExtOptions(o.ExtOptions)) std::printf("  %s=%s\n", e.Name.c_str(), e.Value.c_str());
  b("custom hook (picture adjustments and watermarks)", o.CustomHook);
}

// --output-dir: a folder named on the command line must be usable, or the run does not start.
// Something other than a folder where the folder (or one of its parents) would be is a usage
// error; a folder that cannot be made or written now (a file system that is full, read-only or
// not mounted) may be usable on a retry. A dry run only checks the first. The name is made
// whole and normal ("o", "./o" and "o/" are one folder, and one identity in the ledger).
enum class TFolderCheck { Ok, NotAFolder, Unavailable };
TFolderCheck PrepareOutputDir(std::string& dir, bool dryRun, std::string& err) {
  namespace fs = std::filesystem;
  dir = AbsolutePath(dir);
  for (fs::path p = dir;; p = p.parent_path()) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) break;
      err = p == fs::path(dir) ? "the output folder " + dir + " is not a folder"
                               : "the output folder " + dir + " cannot be made: " + p.string() + " is not a folder";
      return TFolderCheck::NotAFolder;
    }
    if ((errno != ENOENT && errno != ENOTDIR) || p == p.parent_path()) break;
  }
  if (dryRun) return TFolderCheck::Ok;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir)) {
    err = "cannot create the output folder " + dir + (ec ? ": " + ec.message() : std::string());
    return TFolderCheck::Unavailable;
  }
  if (::access(dir.c_str(), W_OK | X_OK) != 0) {
    err = "cannot write to the output folder " + dir + ": " + std::strerror(errno);
    return TFolderCheck::Unavailable;
  }
  return TFolderCheck::Ok;
}

bool gShowQtMessages = false;

// Qt's notes about its own environment (no runtime folder, no display) mean nothing to a user
// of the command line: only with -v, critical ones always.
void QtMessage(QtMsgType type, const QMessageLogContext&, const QString& msg) {
  if (type == QtCriticalMsg || type == QtFatalMsg || gShowQtMessages)
    std::fprintf(stderr, "orvane-convert: %s\n", msg.toLocal8Bit().constData());
}

// Text watermarks are drawn and measured with the font system of a QGuiApplication; the
// command line never shows a window, so it runs on the offscreen platform.
std::unique_ptr<QGuiApplication> StartFontSystem(const char* argv0, bool verbose) {
  gShowQtMessages = verbose;
  qInstallMessageHandler(QtMessage);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char* argv[] = {const_cast<char*>(argv0), nullptr};
  auto app = std::make_unique<QGuiApplication>(argc, argv);
  // Qt sets the whole locale again: numbers keep the C locale's decimal point.
  std::setlocale(LC_NUMERIC, "C");
  return app;
}

// -v: the codec libraries' and components' messages on the error output, as they come.
void ShowLibraryMessages(int verbose) {
  TFFLogger& logger = GetFFLogger();
  logger.SetTriggerEventInMainThread(false);
  logger.SetLogLevel(verbose >= 2 ? llDebug : llVerbose);
  const TLogLevel shown = verbose >= 2 ? llDebug : llVerbose;
  logger.SetOnLog([shown](const void*, uint32_t, TLogLevel level, const std::string& msg) {
    if (level > shown) return;
    static std::mutex lock;
    std::string text = msg;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::lock_guard<std::mutex> g(lock);
    std::fprintf(stderr, "[%s] %s\n", LogLevelName(level), text.c_str());
  });
}

TReportMode ChooseReportMode(const TCliArgs& a) {
  if (a.json) return TReportMode::Json;
  if (a.quiet) return TReportMode::Quiet;
  // Library messages would tear a live line apart: with -v every update gets its own line.
  if (a.progress == TProgressMode::Plain || a.verbose > 0) return TReportMode::Plain;
  if (a.progress == TProgressMode::Live) return TReportMode::Live;
  const char* term = std::getenv("TERM");
  if (isatty(STDOUT_FILENO) && !(term && std::strcmp(term, "dumb") == 0)) return TReportMode::Live;
  return TReportMode::Plain;
}

}  // namespace

int main(int argc, char** argv) {
  // File names and texts in the user's character set, as the desktop program has them; numbers
  // in settings files and in the JSON output with the C locale's decimal point.
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");
  TCliArgs a;
  std::string err;
  if (!ParseArgs(argc, argv, a, err)) return UsageError(err);
  if (a.help) {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }
  if (a.version) std::printf("Orvane Video Converter %s\n", ORVANE_VERSION);
  if (a.libraries) return PrintLibraries();
  if (a.version) return 0;
  try {
    if (a.listProfiles) return PrintProfiles(TAppSettings());
    if (!a.info.empty()) {
      if (!LoadEngineLibraries()) return 1;
      TAVProbe probe;
      if (!probe.LoadFile(a.info)) {
        std::fprintf(stderr, "orvane-convert: %s\n", WithFileName(a.info, probe.LastErrMsg()).c_str());
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

    // The jobs: every FILE with the command line's settings, then the batch file's jobs.
    std::vector<TJobSettings> jobs;
    for (const std::string& f : a.files) {
      TJobSettings s = a.settings;
      s.Job.SourceFile = f;
      jobs.push_back(s);
    }
    TPathMap map;
    for (const std::string& rule : a.mapRoots)
      if (!map.Add(rule, err)) return UsageError(err);
    // The batch file lies on the shared storage too.
    if (!a.batch.empty() && !map.Empty()) a.batch = map.Local(AbsolutePath(a.batch));
    std::vector<std::string> batchWarnings;
    if (!a.batch.empty() && !ReadBatchFile(a.batch, a.settings, jobs, err, batchWarnings)) return UsageError(err);
    for (const std::string& w : batchWarnings) std::fprintf(stderr, "orvane-convert: warning: %s\n", w.c_str());
    if (jobs.empty()) return UsageError("no input files (see --help)");

    // This process's shard of the list, and the paths as this machine sees them.
    TShardSpec shard;
    std::vector<std::string> shardNotes;
    if (!ChooseShard(
            a.shard, a.shards, [](const char* name) { return std::getenv(name); }, shard, err, shardNotes))
      return UsageError(err);
    for (const std::string& n : shardNotes) std::fprintf(stderr, "orvane-convert: warning: %s\n", n.c_str());
    if (!a.ledger.empty() && !a.resume) return UsageError("--ledger needs --resume");
    TShardJobs shardJobs = SelectShardJobs(jobs, shard, map, shard.Sharded() || a.resume);
    // An index from a job runner's environment changes what a plain command does: said on the
    // error stream unless asked for quiet, with the size of the whole list.
    const bool indexFromEnvironment = shard.Sharded() && shard.Source != "--shard";
    if (a.verbose > 0 || (indexFromEnvironment && !a.quiet)) {
      if (shard.Sharded())
        std::fprintf(
            stderr,
            "orvane-convert: shard %d of %d (index from %s, counted from 0): %zu of the whole list's %zu jobs%s\n",
            shard.Index, shard.Count, shard.Source.c_str(), shardJobs.Jobs.size(), jobs.size(),
            indexFromEnvironment ? "; --shard 0/1 converts the whole list" : "");
      else
        std::fprintf(
            stderr, "orvane-convert: not sharded (no --shard, SLURM_ARRAY_TASK_ID or JOB_COMPLETION_INDEX): %zu jobs\n",
            jobs.size());
    }
    jobs = std::move(shardJobs.Jobs);

    const TAppSettings settings;
    settings.CheckFormatFile();
    int32_t code = settings.Read().FormatCode;
    if (!a.profile.empty() && !ResolveProfile(a.profile, code, err)) return UsageError(err);
    if (BuiltinProfileName(code).empty())
      return UsageError("the settings name profile " + std::to_string(code) +
                        ", which does not exist; choose one with --profile");
    if (!a.outputDir.empty()) {
      if (!map.Empty()) a.outputDir = map.Local(AbsolutePath(a.outputDir));
      const TFolderCheck folder = PrepareOutputDir(a.outputDir, a.dryRun, err);
      if (folder == TFolderCheck::NotAFolder) return UsageError(err);
      if (folder == TFolderCheck::Unavailable) {
        std::fprintf(stderr, "orvane-convert: %s\n", err.c_str());
        return kExitRetry;
      }
    }
    std::string ledgerPath;
    if (a.resume && !a.dryRun) {
      if (a.outputDir.empty()) {
        // The stored output folder: the ledger lies there, and the jobs' identities name it.
        TAutoAnswerPrompts prompts;
        TOutputOptionBuilder builder(settings, prompts);
        a.outputDir = AbsolutePath(builder.OutputFolder(true, false));
        for (const std::string& w : prompts.Warnings) std::fprintf(stderr, "orvane-convert: warning: %s\n", w.c_str());
      }
      ledgerPath = a.ledger.empty() ? a.outputDir + "/" + kLedgerFileName : map.Local(AbsolutePath(a.ledger));
    }

    std::unique_ptr<QGuiApplication> fontSystem;
    for (const TJobSettings& s : jobs)
      if (!s.Job.WaterMarks.empty() && !fontSystem) fontSystem = StartFontSystem(argv[0], a.verbose > 0);
    if (a.verbose > 0) ShowLibraryMessages(a.verbose);

    if (!a.dryRun) {
      TRunReporter reporter(ChooseReportMode(a), stdout, stderr);
      TConvertSetup setup;
      setup.Jobs = jobs;
      setup.ProfileCode = code;
      setup.Settings = settings;
      setup.OutputDir = a.outputDir;
      setup.Parallel = a.jobs;
      setup.JobIds = shardJobs.Ids;
      setup.SharedSources = shardJobs.Shared;
      setup.Map = map;
      setup.LedgerPath = ledgerPath;
      setup.AcceptPartial = a.acceptPartial;
      setup.OwnOutputNames = shard.Sharded() || a.resume;
      if (shard.Sharded()) reporter.SetShard(shard.Index, shard.Count);
      if (jobs.empty()) {
        // More shards than jobs: this one has nothing to do.
        reporter.RunEnded(0, 0, 0, 0, kExitConverted);
        return kExitConverted;
      }
      if (reporter.Mode() != TReportMode::Quiet && reporter.Mode() != TReportMode::Json)
        std::printf("Profile %d: %s\n", code, BuiltinProfileName(code).c_str());
      return RunConversion(setup, reporter);
    }

    // The dry run names the outputs and shows the options; nothing on disk changes.
    if (!LoadEngineLibraries()) return 1;
    TAutoAnswerPrompts prompts;
    TConversionRenderer renderer;
    TPrepareOptions options;
    options.OutputDir = a.outputDir;
    options.DryRun = true;
    options.StoreFallback = false;
    TJobPreparation preparation(settings, prompts, renderer, options);
    TAVProbe probe;
    std::printf("Profile %d: %s\n", code, BuiltinProfileName(code).c_str());
    bool allOk = true;
    for (const TJobSettings& s : jobs) {
      TPreparedJob p;
      if (!preparation.Prepare(s, code, probe, p, err)) {
        std::fprintf(stderr, "orvane-convert: %s\n", err.c_str());
        allOk = false;
        continue;
      }
      std::printf("%s\n  output: %s\n", s.Job.SourceFile.c_str(), p.Out.FileName.c_str());
      PrintOptionLines(p.In, p.Out);
    }
    for (const std::string& w : prompts.Warnings) std::fprintf(stderr, "orvane-convert: warning: %s\n", w.c_str());
    return allOk ? 0 : 1;
  } catch (const FFmpegException& e) {
    std::fprintf(stderr, "orvane-convert: %s\n", e.what());
    return 1;
  }
}
