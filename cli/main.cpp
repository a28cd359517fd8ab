// orvane-convert: the command-line front end over the conversion engine.
#include <QGuiApplication>
#include <unistd.h>

#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "app/core/apppaths.h"
#include "app/core/inifile.h"
#include "app/core/jobrecord.h"
#include "app/core/optionbuilder.h"
#include "app/core/profiles.h"
#include "cli/args.h"
#include "cli/batch.h"
#include "cli/convert.h"
#include "cli/jobprep.h"
#include "cli/report.h"
#include "dialogs/core/renderer.h"
#include "media/errors.h"
#include "media/logger.h"
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

int UsageError(const std::string& msg) {
  std::fprintf(stderr, "orvane-convert: %s\nTry 'orvane-convert --help' for more information.\n", msg.c_str());
  return 2;
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
  std::string self = argv[0];
  std::string programDir = self.find('/') == std::string::npos ? "." : self.substr(0, self.rfind('/'));
  TCliArgs a;
  std::string err;
  if (!ParseArgs(argc, argv, a, err)) return UsageError(err);
  if (a.help) {
    std::fputs(kHelpText, stdout);
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
    if (!a.batch.empty() && !ReadBatchFile(a.batch, a.settings, jobs, err)) return UsageError(err);
    if (jobs.empty()) return UsageError("no input files (see --help)");

    TIniFile settings(SettingsIniPath());
    int32_t code = settings.ReadInteger("settings", "FormatCode", 1);
    if (!a.profile.empty() && !ResolveProfile(a.profile, code, err)) return UsageError(err);
    if (BuiltinProfileName(code).empty())
      return UsageError("the settings name profile " + std::to_string(code) + ", which does not exist; choose one with --profile");

    std::unique_ptr<QGuiApplication> fontSystem;
    for (const TJobSettings& s : jobs)
      if (!s.Job.WaterMarks.empty() && !fontSystem) fontSystem = StartFontSystem(argv[0], a.verbose > 0);
    if (a.verbose > 0) ShowLibraryMessages(a.verbose);

    std::unique_ptr<TSettingsOverride> overrideIni;
    std::string settingsPath = SettingsIniPath();
    if (!a.outputDir.empty()) {
      overrideIni = std::make_unique<TSettingsOverride>(settingsPath, a.outputDir);
      settingsPath = overrideIni->path();
    }

    if (!a.dryRun) {
      TRunReporter reporter(ChooseReportMode(a), stdout, stderr);
      TConvertSetup setup;
      setup.Jobs = jobs;
      setup.ProfileCode = code;
      setup.SettingsIniPath = settingsPath;
      setup.Parallel = a.jobs;
      if (reporter.Mode() != TReportMode::Quiet && reporter.Mode() != TReportMode::Json)
        std::printf("Profile %d: %s\n", code, BuiltinProfileName(code).c_str());
      return RunConversion(setup, reporter);
    }

    if (!LoadEngineLibraries()) return 1;
    TIniFile format(FormatIniPath());
    TAutoAnswerPrompts prompts;
    TOutputOptionBuilder builder(settingsPath, FormatIniPath(), prompts);
    TConversionRenderer renderer;
    TAVProbe probe;
    std::printf("Profile %d: %s\n", code, BuiltinProfileName(code).c_str());
    bool allOk = true;
    for (const TJobSettings& s : jobs) {
      TPreparedJob p;
      if (!PrepareJob(s, code, probe, builder, TIniFile(settingsPath), format, renderer, p, err)) {
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
