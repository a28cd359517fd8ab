#include "cli/convert.h"

#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "app/core/apppaths.h"
#include "app/core/conversionrun.h"
#include "app/core/ledger.h"
#include "app/core/optionbuilder.h"
#include "app/core/runstatus.h"
#include "engine/engine.h"
#include "media/dispatcher.h"

namespace {

// The signal that stopped the run, 0 while it goes. Atomic, not only volatile: the two signals
// of an impatient user can arrive on two threads at once, and exactly one of them must see the
// other's mark and quit.
std::atomic<int> gStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");

// The temporary files of the run's outputs, for the handler to remove when the user does not
// wait: set before the tasks start, cleared before the list goes.
std::atomic<const std::vector<std::string>*> gTempFiles{nullptr};

// The handler only records the signal; the main loop stops the engine. A second Ctrl-C or
// SIGTERM means the user does not want to wait: the unfinished files go (unlink is safe in a
// signal handler; a file already moved to its final name is no longer there to remove).
void OnStopSignal(int sig) {
  int first = 0;
  if (gStopSignal.compare_exchange_strong(first, sig) || sig == SIGXFSZ) return;
  if (const std::vector<std::string>* temps = gTempFiles.load())
    for (const std::string& t : *temps) ::unlink(t.c_str());
  _exit(128 + first);
}

class TTempFilesForSignals {
public:
  explicit TTempFilesForSignals(std::vector<std::string> temps) : temps_(std::move(temps)) { gTempFiles = &temps_; }
  ~TTempFilesForSignals() { gTempFiles = nullptr; }
  TTempFilesForSignals(const TTempFilesForSignals&) = delete;
  TTempFilesForSignals& operator=(const TTempFilesForSignals&) = delete;

private:
  std::vector<std::string> temps_;
};

// SIGINT and SIGTERM stop the run. SIGXFSZ (an output reached the file-size limit) stops it
// too instead of killing the process, and SIGPIPE is ignored so that a closed standard output
// shows as a failed write, which also stops the run.
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
    sigaction(SIGXFSZ, &sa, &oldXfsz_);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &oldPipe_);
  }
  ~TStopSignals() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    sigaction(SIGXFSZ, &oldXfsz_, nullptr);
    sigaction(SIGPIPE, &oldPipe_, nullptr);
  }
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;
  int Signal() const { return gStopSignal.load(); }
  // A failed write on the standard output counts as SIGPIPE.
  void OutputClosed() {
    int none = 0;
    gStopSignal.compare_exchange_strong(none, SIGPIPE);
  }

private:
  struct sigaction oldInt_ {
  }, oldTerm_{}, oldXfsz_{}, oldPipe_{};
};

// What the user reads when the run stops.
std::string StopNote(int sig) {
  switch (sig) {
    case SIGXFSZ:
      return "Stopping: an output file reached the file-size limit (ulimit -f).";
    case SIGPIPE:
      return "Stopping: the standard output was closed.";
    default:
      return "Stopping: the files being converted are closed now (press Ctrl-C again to quit at once).";
  }
}

}  // namespace

int RunConversion(const TConvertSetup& setup, TRunReporter& reporter) {
  TStopSignals signals;
  std::string loadError;
  if (!LoadCodecLibraries(kEngineLibs, loadError)) {
    reporter.Error("the codec libraries cannot be loaded: " + loadError);
    return 1;
  }
  TConversionRun run;

  // The ledger of a resumable run, and what identifies a job in it.
  TLedger ledger;
  const bool useLedger = !setup.LedgerPath.empty();
  std::string settingsText, profileValues;
  if (useLedger) {
    std::string err;
    if (!ledger.Open(setup.LedgerPath, err)) {
      reporter.Error(err);
      reporter.RunEnded(0, 0, 0, int(setup.Jobs.size()), kExitRetry);
      return kExitRetry;
    }
    profileValues = ProfileValuesText(setup.Settings, setup.ProfileCode);
  }
  // Damaged ledger lines are left out; each is reported once.
  size_t damagedReported = 0;
  auto reportDamaged = [&] {
    for (; damagedReported < ledger.Damaged().size(); ++damagedReported) {
      const TLedger::TDamagedLine& d = ledger.Damaged()[damagedReported];
      reporter.Error("warning: the ledger " + ledger.Path() + ": line " + std::to_string(d.Number) +
                     " is damaged and was left out" + (d.Source.empty() ? "" : " (it names " + d.Source + ")"));
    }
  };
  if (useLedger) reportDamaged();
  auto jobId = [&](size_t j) { return j < setup.JobIds.size() ? setup.JobIds[j] : int(j); };
  auto sharedSource = [&](size_t j) {
    return j < setup.SharedSources.size() ? setup.SharedSources[j] : setup.Jobs[j].Job.SourceFile;
  };

  // One task per job, in order; the run maps task k to its job (its "row") and its output.
  TAutoAnswerPrompts prompts;
  TRunOptions options;
  options.Prepare.OutputDir = setup.OutputDir;
  options.Prepare.StoreFallback = false;
  options.Prepare.OwnOutputNames = setup.OwnOutputNames;
  options.KeepStopped = !useLedger;
  options.AcceptPartial = setup.AcceptPartial;
  // A finished output stays locked until the ledger records it (see TRunBook::SetHoldCommitted).
  options.HoldCommitted = useLedger;
  run.Begin(setup.Settings, prompts, options);
  std::vector<TJobIdentity> taskIds;  // task -> its identity in the ledger
  std::vector<bool> taskIdKnown;
  int done = 0, elsewhere = 0, ledgerFailures = 0;
  for (size_t j = 0; j < setup.Jobs.size(); ++j) {
    if (signals.Signal()) break;
    const std::string& file = setup.Jobs[j].Job.SourceFile;
    TJobIdentity id;
    const bool idKnown = useLedger && MakeJobIdentity(sharedSource(j), file, setup.ProfileCode,
                                                      JobSettingsDigest(setup.Jobs[j], profileValues,
                                                                        setup.Map.Shared(setup.OutputDir)),
                                                      id);
    // Recorded as converted (by any process, until now), its output still there.
    auto recordedDone = [&] {
      const std::string output = ledger.Find(id);
      struct stat st {};
      if (output.empty() || ::stat(setup.Map.Local(output).c_str(), &st) != 0) return false;
      reporter.AlreadyDone(file, setup.Map.Local(output), jobId(j));
      ++done;
      return true;
    };
    if (idKnown) {
      std::string err;
      if (!ledger.Refresh(err)) reporter.Error("warning: " + err);
      reportDamaged();
      if (recordedDone()) continue;
      // A damaged line may have been this job's entry: a finished output under the job's own
      // name that is as long as its source part counts as converted, and is recorded again.
      if (ledger.MayHaveLost(id.Source)) {
        const std::string own = OutputCandidate(setup.OutputDir, file,
                                                setup.Settings.OutputExtension(setup.ProfileCode),
                                                setup.Jobs[j].FirstOutputNumber);
        struct stat st {};
        if (::stat(own.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            OutputLooksComplete(own, setup.Jobs[j].Job, run.Engine().AVProbe())) {
          if (!ledger.Append(id, setup.Map.Shared(own), err)) reporter.Error(err);
          reporter.AlreadyDone(file, own, jobId(j));
          ++done;
          continue;
        }
      }
    }
    const TJobAdded added = run.Add(int(j), setup.Jobs[j], setup.ProfileCode, [&](const TPreparedJob& p) {
      if (!p.OwnNameTaken || !idKnown) return true;
      // Another process may have finished and recorded this job since the ledger was read.
      std::string err;
      if (!ledger.Refresh(err)) reporter.Error("warning: " + err);
      return !recordedDone();  // the later name reserved meanwhile goes with the prepared job
    });
    if (added.HeldElsewhere) {
      // Another process started on the same jobs converts this one: never twice.
      reporter.Elsewhere(file, added.Error, jobId(j));
      ++elsewhere;
      continue;
    }
    if (added.Task < 0) {
      if (!added.Withdrawn) reporter.Skipped(file, added.Error, jobId(j));
      continue;
    }
    taskIds.push_back(id);
    taskIdKnown.push_back(idKnown);
  }
  // The stored folder's fallback is news even in quiet mode: the files are not where the
  // settings say.
  for (const std::string& w : prompts.Warnings) reporter.Error("warning: " + w);
  const int taskCount = int(run.TaskCount());
  const int skipped = run.Totals().Skipped;
  if (signals.Signal()) {
    run.End();
    reporter.RunEnded(0, 0, taskCount, skipped, 128 + signals.Signal(), 0, done, elsewhere);
    return 128 + signals.Signal();
  }
  if (taskCount == 0) {
    const int passing = run.Totals().MayPass;
    const int status = RunExitStatus(skipped - passing, passing, 0);
    reporter.RunEnded(0, 0, 0, skipped, status, 0, done, elsewhere);
    return status;
  }
  std::vector<std::string> temps;
  for (int k = 0; k < taskCount; ++k) {
    reporter.Queued(k, taskCount, run.Job(k).Job.SourceFile, run.Job(k).Job.DestFile, jobId(size_t(run.Row(k))));
    temps.push_back(run.Job(k).Output.TempPath());
  }
  const TTempFilesForSignals tempsForSignals(std::move(temps));

  bool runEnded = false;
  auto taskEnded = [&](const TTerminateInfo& info) {
    if (info.TaskIndex < 0) {
      runEnded = true;
      return;
    }
    const std::optional<TTaskOutcome> outcome = run.TaskEnded(info);
    if (!outcome) return;
    const int task = info.TaskIndex;
    if (!outcome->Output.empty()) reporter.SetOutput(task, outcome->Output);
    switch (outcome->Kind) {
      case TTaskOutcome::Converted:
        // Recorded only now that the output has its final name.
        if (useLedger && taskIdKnown[size_t(task)]) {
          std::string err;
          if (!ledger.Append(taskIds[size_t(task)], setup.Map.Shared(outcome->Output), err)) {
            reporter.Error(err);
            ++ledgerFailures;
          }
        }
        run.Recorded(task);
        reporter.Ended(task, TTaskEnd::Converted, "", outcome->EndedEarly ? outcome->EndedAtUs : -1,
                       outcome->DurationUs);
        break;
      case TTaskOutcome::Stopped:
        reporter.Ended(task, outcome->Output.empty() ? TTaskEnd::StoppedRemoved : TTaskEnd::Stopped, "");
        break;
      case TTaskOutcome::NotStarted:
        reporter.Ended(task, TTaskEnd::NotStarted, "");
        break;
      case TTaskOutcome::Failed:
        if (outcome->EndedEarly) {
          // A partial input fails its file: the time it reached says how much there was.
          reporter.Ended(task, TTaskEnd::Failed, outcome->Message + "; --accept-partial keeps such files",
                         outcome->EndedAtUs, outcome->DurationUs);
        } else {
          reporter.Ended(task, TTaskEnd::Failed, outcome->Message);
        }
        break;
    }
  };
  // Progress through the main loop, which owns the screen. End notices arrive on notice
  // threads of their own: each is handed to the main loop, which owns the counters too.
  TRunNotices notices;
  notices.OnMainThread = true;
  notices.ProgressIntervalMs = reporter.Mode() == TReportMode::Live ? 200 : 500;
  notices.Progress = [&](const TProgressInfo& info) { reporter.Progress(info); };
  notices.Ended = [&](const TTerminateInfo& info) { RunInMainThread([&] { taskEnded(info); }); };
  run.SetNotices(notices);

  // The work priority chosen in the program's preferences applies here too.
  run.Start(setup.Parallel, setup.Settings.Read().Priority);
  bool stopping = false;
  while (!runEnded) {
    HeadlessDispatcher().WaitAndProcess(50);
    if (std::ferror(stdout)) signals.OutputClosed();
    if (signals.Signal() && !stopping) {
      stopping = true;
      if (signals.Signal() == SIGPIPE || signals.Signal() == SIGXFSZ)
        std::fprintf(stderr, "orvane-convert: %s\n", StopNote(signals.Signal()).c_str());
      else
        reporter.Note(StopNote(signals.Signal()));
      run.Stop();
    }
  }
  run.SetNotices({});
  run.End();

  const TRunTotals& t = run.Totals();
  const int passing = t.MayPass + ledgerFailures;
  const int status = RunExitStatus(t.Failed + skipped - passing, passing, signals.Signal());
  reporter.RunEnded(t.Converted, t.Failed, t.Stopped + t.NotStarted, skipped, status, t.EndedEarly, done, elsewhere);
  return status;
}
