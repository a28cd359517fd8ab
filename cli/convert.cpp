#include "cli/convert.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <mutex>

#include "app/core/apppaths.h"
#include "app/core/inifile.h"
#include "app/core/optionbuilder.h"
#include "cli/jobprep.h"
#include "dialogs/core/renderer.h"
#include "engine/engine.h"
#include "media/dispatcher.h"
#include "media/errors.h"

namespace {

volatile sig_atomic_t gStopSignal = 0;

// The handler only records the signal; the main loop stops the engine. A second signal
// means the user does not want to wait.
void OnStopSignal(int sig) {
  if (gStopSignal != 0) _exit(128 + gStopSignal);
  gStopSignal = sig;
}

class TStopSignals {
public:
  TStopSignals() {
    gStopSignal = 0;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, &oldInt_);
    sigaction(SIGTERM, &sa, &oldTerm_);
  }
  ~TStopSignals() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
  }
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;
  int Signal() const { return gStopSignal; }

private:
  struct sigaction oldInt_ {}, oldTerm_ {};
};

}  // namespace

int RunConversion(const TConvertSetup& setup, TRunReporter& reporter) {
  TStopSignals signals;
  TConvertEngine engine;
  if (!engine.LoadAVLib(ProgramDir() + "/LibAV")) {
    reporter.Error("the codec libraries cannot be loaded: " + engine.LastErrMsg());
    return 1;
  }

  const TIniFile settingsIni(setup.SettingsIniPath);
  const TIniFile formatIni(FormatIniPath());
  TAutoAnswerPrompts prompts;
  TOutputOptionBuilder builder(setup.SettingsIniPath, FormatIniPath(), prompts);
  TConversionRenderer renderer;

  // One task per job, in order; task k converts prepared[k].
  std::vector<TPreparedJob> prepared;
  int skipped = 0;
  for (const TJobSettings& s : setup.Jobs) {
    if (signals.Signal()) break;
    const std::string& file = s.Job.SourceFile;
    TPreparedJob p;
    std::string err;
    if (!PrepareJob(s, setup.ProfileCode, engine.AVProbe(), builder, settingsIni, formatIni, renderer, p, err)) {
      reporter.Skipped(file, err);
      ++skipped;
      continue;
    }
    const int index = engine.AddTask(file, p.In);
    if (index < 0) {
      reporter.Skipped(file, WithFileName(file, engine.LastErrMsg()));
      ++skipped;
      continue;
    }
    if (!engine.SetOutputFile(index, p.Out.FileName, p.Out)) {
      reporter.Skipped(file, WithFileName(file, engine.LastErrMsg()));
      engine.RemoveTask(index);
      ++skipped;
      continue;
    }
    prepared.push_back(std::move(p));
  }
  if (reporter.Mode() != TReportMode::Quiet)
    for (const std::string& w : prompts.Warnings) reporter.Error("warning: " + w);
  if (signals.Signal()) {
    engine.ClearTasks();
    reporter.RunEnded(0, 0, int(prepared.size()), skipped, 128 + signals.Signal());
    return 128 + signals.Signal();
  }
  if (prepared.empty()) {
    reporter.RunEnded(0, 0, 0, skipped, 1);
    return 1;
  }
  for (size_t k = 0; k < prepared.size(); ++k)
    reporter.Queued(int(k), int(prepared.size()), prepared[k].Job.SourceFile, prepared[k].Out.FileName);

  // A picture hook that fails is reported as the failure of its file, even though the engine
  // goes on encoding the pictures unchanged.
  std::mutex hookErrorsLock;
  std::map<int, std::string> hookErrors;
  engine.SetOnCustomHook([&](TCustomConvertEngine*, PHookInfo info) {
    if (info->TaskIndex < 0 || size_t(info->TaskIndex) >= prepared.size()) return;
    try {
      renderer.RenderFrame(*info, prepared[size_t(info->TaskIndex)].Job);
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> g(hookErrorsLock);
      hookErrors.emplace(info->TaskIndex, e.what());
      throw;
    }
  });

  // Frames the renderer leaves alone skip the conversion to the bitmap and back.
  engine.SetOnCustomHookNeeded([&](TCustomConvertEngine*, int32_t taskIndex, int64_t pts) {
    return taskIndex >= 0 && size_t(taskIndex) < prepared.size() &&
           TConversionRenderer::DrawsAt(prepared[size_t(taskIndex)].Job, pts);
  });

  int converted = 0, failed = 0, stopped = 0;
  bool runEnded = false;
  auto taskEnded = [&](const TTerminateInfo& info) {
    if (info.TaskIndex < 0) {
      runEnded = true;
      return;
    }
    if (size_t(info.TaskIndex) >= prepared.size()) return;
    std::string hookError;
    {
      std::lock_guard<std::mutex> g(hookErrorsLock);
      if (auto it = hookErrors.find(info.TaskIndex); it != hookErrors.end()) hookError = it->second;
    }
    if (info.Exception || !hookError.empty()) {
      ++failed;
      std::string msg = info.Exception ? (info.ExceptionMsg.empty() ? "the conversion failed" : info.ExceptionMsg)
                                       : "the pictures could not be changed: " + hookError;
      // The output of a failed file is not what was asked for (often only a header): it goes,
      // so that no broken file is taken for a result. Its name was free when the run began.
      std::error_code ec;
      const std::string& output = prepared[size_t(info.TaskIndex)].Out.FileName;
      if (std::filesystem::remove(output, ec)) msg += " (the incomplete output " + output + " was removed)";
      reporter.Ended(info.TaskIndex, TTaskEnd::Failed, msg);
    } else if (!info.Finished) {
      ++stopped;
      // A task stopped before it began leaves an empty output, which the engine removes.
      std::error_code ec;
      const auto size = std::filesystem::file_size(prepared[size_t(info.TaskIndex)].Out.FileName, ec);
      reporter.Ended(info.TaskIndex, !ec && size > 0 ? TTaskEnd::Stopped : TTaskEnd::NotStarted, "");
    } else {
      ++converted;
      reporter.Ended(info.TaskIndex, TTaskEnd::Converted, "");
    }
  };
  // The work priority chosen in the program's preferences applies here too.
  switch (settingsIni.ReadInteger("settings", "priority", 1)) {
    case 0: engine.SetThreadPriority(tpIdle); break;
    case 1: engine.SetThreadPriority(tpNormal); break;
    case 2: engine.SetThreadPriority(tpLower); break;
    case 3: engine.SetThreadPriority(tpLowest); break;
    default: break;
  }
  engine.SetTriggerEventInMainThread(true);
  engine.SetProgressInterval(reporter.Mode() == TReportMode::Live ? 200 : 500);
  engine.SetOnProgress([&](TCustomConvertEngine*, PProgressInfo info) { reporter.Progress(*info); });
  // End notices arrive on notice threads of their own: each is handed to the main loop,
  // which owns the counters and the screen.
  engine.SetOnTerminate([&](TCustomConvertEngine*, const TTerminateInfo* info) {
    const TTerminateInfo copy = *info;
    RunInMainThread([&] { taskEnded(copy); });
  });

  engine.StartTask(setup.Parallel);
  bool stopping = false;
  while (!runEnded) {
    HeadlessDispatcher().WaitAndProcess(50);
    if (signals.Signal() && !stopping) {
      stopping = true;
      reporter.Note("Stopping: the files being converted are closed now (press Ctrl-C again to quit at once).");
      engine.StopTask(false);
    }
  }
  engine.SetOnProgress(nullptr);
  engine.SetOnTerminate(nullptr);
  engine.SetOnCustomHook(nullptr);
  engine.SetOnCustomHookNeeded(nullptr);
  engine.ClearTasks();

  int status = failed + skipped > 0 ? 1 : 0;
  if (signals.Signal()) status = 128 + signals.Signal();
  reporter.RunEnded(converted, failed, stopped, skipped, status);
  return status;
}
