// The desktop program's start and Add, measured on the real main window:
//   orvane-gui-bench FILE...
// Prints the time from the start of main() until the main window has been painted, the wall
// time of adding the files through the job list (probing on the worker thread, rows added on
// the main thread), and the longest gap between two ticks of a 5 ms timer on the main thread
// while adding (how long the window stopped answering at most).
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "app/apperror.h"
#include "app/core/apppaths.h"
#include "app/jobadder.h"
#include "app/joblist.h"
#include "app/mainwindow.h"
#include "app/core/settings.h"
#include "controls/theme.h"

namespace {
// Reports the first paint of the window it watches.
class TPaintWatch : public QObject {
public:
  explicit TPaintWatch(std::function<void()> onPaint) : onPaint_(std::move(onPaint)) {}
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint && onPaint_) {
      auto f = std::move(onPaint_);
      onPaint_ = nullptr;
      f();
    }
    return false;
  }

private:
  std::function<void()> onPaint_;
};
}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer sinceStart;
  sinceStart.start();
  TApplication app(argc, argv);
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
  const std::string programDir = ProgramDir();
  const std::string root = ProgramDataRoot(programDir + "/..");
  theme::SetSkinDir(QString::fromStdString(root + "/skin"));
  theme::Apply(app);
  TAppSettings(SettingsIniPath(), "").WriteOutPutDir(config.path().toStdString() + "/out");
  QDir().mkpath(config.path() + "/out");
  TfrmMain main(SettingsIniPath(), FormatIniPath(programDir + "/.."));
  main.SetAskOnExit(false);
  QStringList files;
  for (int i = 1; i < argc; ++i) files << QString::fromLocal8Bit(argv[i]);

  QElapsedTimer addClock, tickClock;
  qint64 longestGap = 0;
  QTimer ticker;
  ticker.setInterval(5);
  QObject::connect(&ticker, &QTimer::timeout, [&] { longestGap = std::max(longestGap, tickClock.restart()); });
  TPaintWatch watch([&] {
    std::printf("window shown: %lld ms after start\n", static_cast<long long>(sinceStart.elapsed()));
    QTimer::singleShot(0, [&] {
      addClock.start();
      tickClock.start();
      ticker.start();
      main.AddFiles(files);
    });
  });
  main.installEventFilter(&watch);
  QObject::connect(main.Adder(), &TJobAdder::Finished, [&](const QStringList& skipped, bool) {
    ticker.stop();
    std::printf("add: %d files, %d rows, %lld skipped, %lld ms; longest main-thread gap %lld ms\n", int(files.size()),
                main.JobModel()->rowCount(), static_cast<long long>(skipped.size()),
                static_cast<long long>(addClock.elapsed()), static_cast<long long>(longestGap));
    app.exit(0);
  });
  main.show();
  return app.exec();
}
