// A conversion run through the desktop program, driven without a person:
//   orvane-gui-run-bench FILE...
// The real main window adds the files, then Start converts them with the profile and output
// folder of the settings file ($XDG_CONFIG_HOME/orvane-video-converter/, as the command line
// reads it). Prints the wall time from Start to the end of the run and the longest gap
// between two ticks of a 5 ms timer on the main thread during the run (how long the window
// stopped answering at most), and the longest single event the main thread handled during the
// run in wall time and in the thread's own CPU time: on a loaded machine the tick gap also
// counts the time the main thread waited for a processor, the event figures only what the
// program did. Exit status 1 when a file did not convert.
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QTimer>
#include <time.h>

#include <cstdio>

#include "app/apperror.h"
#include "app/core/apppaths.h"
#include "app/jobadder.h"
#include "app/joblist.h"
#include "app/mainwindow.h"
#include "app/poweroff.h"
#include "app/runcontroller.h"
#include "controls/theme.h"
#include "dialogs/progress.h"

namespace {

int64_t ThreadCpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Times every event the main thread delivers (outermost calls only) while measuring.
class TTimedApplication : public TApplication {
public:
  using TApplication::TApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    if (!Measuring || depth_ > 0) return TApplication::notify(receiver, event);
    ++depth_;
    QElapsedTimer wall;
    wall.start();
    const int64_t cpu = ThreadCpuUs();
    const bool r = TApplication::notify(receiver, event);
    LongestWallUs = std::max<int64_t>(LongestWallUs, wall.nsecsElapsed() / 1000);
    LongestCpuUs = std::max<int64_t>(LongestCpuUs, ThreadCpuUs() - cpu);
    --depth_;
    return r;
  }
  bool Measuring = false;
  int64_t LongestWallUs = 0;
  int64_t LongestCpuUs = 0;

private:
  int depth_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  TTimedApplication app(argc, argv);
  const std::string programDir = ProgramDir();
  const std::string root = ProgramDataRoot(programDir + "/..");
  theme::SetSkinDir(QString::fromStdString(root + "/skin"));
  theme::Apply(app);
  TfrmMain main(SettingsIniPath(), FormatIniPath(programDir + "/.."));
  main.SetAskOnExit(false);
  TRunController* runner = main.Runner();
  runner->SetFolderOpener([](const QString&) {});
  QStringList files;
  for (int i = 1; i < argc; ++i) files << QString::fromLocal8Bit(argv[i]);

  QElapsedTimer runClock, tickClock;
  qint64 longestGap = 0;
  qint64 startMs = 0;
  QTimer ticker;
  ticker.setInterval(5);
  const bool verbose = qEnvironmentVariableIsSet("GAPS");
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    const qint64 gap = tickClock.restart();
    if (verbose && gap > 20)
      std::printf("  gap %lld ms at %lld ms\n", static_cast<long long>(gap),
                  static_cast<long long>(runClock.elapsed()));
    longestGap = std::max(longestGap, gap);
  });
  QObject::connect(main.Adder(), &TJobAdder::Finished, [&](const QStringList&, bool) {
    QTimer::singleShot(0, [&] {
      runner->ProgressWindow()->ckOpen()->setChecked(false);
      runClock.start();
      tickClock.start();
      ticker.start();
      runner->Start();
      startMs = runClock.elapsed();
      // Start prepares every file before the run begins (probing, names); its time is shown
      // apart, and the stall figure covers the run from there on.
      longestGap = 0;
      tickClock.restart();
      app.Measuring = true;
      if (!runner->Running()) {
        std::fprintf(stderr, "the run did not start\n");
        app.exit(1);
      }
    });
  });
  QObject::connect(runner, &TRunController::RunEnded, [&] {
    ticker.stop();
    app.Measuring = false;
    const qint64 wall = runClock.elapsed();
    int converted = 0;
    for (int r = 0; r < main.JobModel()->rowCount(); ++r) converted += main.JobModel()->Progress(r) == "100%";
    std::printf("desktop run: %d of %d files converted, Start took %lld ms, %lld ms; longest main-thread gap %lld ms\n",
                converted, main.JobModel()->rowCount(), static_cast<long long>(startMs), static_cast<long long>(wall),
                static_cast<long long>(longestGap));
    std::printf("longest event on the main thread during the run: %.1f ms wall, %.1f ms CPU\n",
                double(app.LongestWallUs) / 1000.0, double(app.LongestCpuUs) / 1000.0);
    app.exit(converted == main.JobModel()->rowCount() ? 0 : 1);
  });
  main.show();
  QTimer::singleShot(0, [&] { main.AddFiles(files); });
  return app.exec();
}
