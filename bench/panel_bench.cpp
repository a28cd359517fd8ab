// The main window's responsiveness while its preview panel plays a clip:
//   orvane-panel-bench CLIP SECONDS
// A 5 ms timer on the main thread measures the gaps between its ticks: first with the window
// idle (the reference on this machine), then while CLIP plays in the panel for SECONDS, with a
// seek by the mouse half way through; and the time Play (opening the file) and Stop take. Prints the longest gap
// and the 99th percentile of each phase.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/apperror.h"
#include "app/core/apppaths.h"
#include "app/core/settings.h"
#include "app/jobadder.h"
#include "app/mainwindow.h"
#include "app/previewpanel.h"
#include "controls/imagebutton.h"
#include "controls/theme.h"
#include "controls/trackbar.h"

namespace {

struct TGaps {
  std::vector<qint64> Values;
  qint64 Max() const { return Values.empty() ? 0 : *std::max_element(Values.begin(), Values.end()); }
  qint64 P99() const {
    if (Values.empty()) return 0;
    std::vector<qint64> v = Values;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * 99 / 100)];
  }
};

}  // namespace

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: orvane-panel-bench CLIP SECONDS\n");
    return 2;
  }
  const QString clip = QString::fromLocal8Bit(argv[1]);
  const int seconds = std::max(2, atoi(argv[2]));
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
  const std::string programDir = ProgramDir();
  theme::SetSkinDir(QString::fromStdString(ProgramDataRoot(programDir + "/..") + "/skin"));
  theme::Apply(app);
  TAppSettings settings(SettingsIniPath(), "");
  settings.WriteOutPutDir(config.path().toStdString() + "/out");
  settings.WriteVolume(64);
  QDir().mkpath(config.path() + "/out");
  TfrmMain main(SettingsIniPath(), FormatIniPath(programDir + "/.."));
  main.SetAskOnExit(false);
  main.show();
  TPreviewPanel& panel = *main.Preview();

  TGaps* phase = nullptr;
  TGaps idle, playing, seek;
  qint64 openMs = 0;
  QElapsedTimer tick;
  QTimer ticker;
  ticker.setInterval(5);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    const qint64 gap = tick.restart();
    if (phase) phase->Values.push_back(gap);
  });

  auto after = [&](int ms, std::function<void()> f) { QTimer::singleShot(ms, &app, std::move(f)); };
  QObject::connect(main.Adder(), &TJobAdder::Finished, [&] {
    tick.start();
    ticker.start();
    phase = &idle;
    after(2000, [&] {
      phase = nullptr;
      QElapsedTimer open;
      open.start();
      panel.imgbtnPlayClick();
      openMs = open.elapsed();
      tick.restart();
      phase = &playing;
      after(seconds * 500, [&] {
        // A seek by the mouse to three quarters of the bar.
        phase = &seek;
        TTrackBar2* bar = panel.SeekBar();
        const QPoint at(bar->width() * 3 / 4, bar->height() / 2);
        QTest::mousePress(bar, Qt::LeftButton, {}, at);
        QTest::mouseRelease(bar, Qt::LeftButton, {}, at);
        after(1000, [&] {
          phase = &playing;
          after(seconds * 500 - 1000, [&] {
            phase = nullptr;
            const auto shown = panel.Player().Counters();
            QElapsedTimer stop;
            stop.start();
            panel.imgbtnStopClick();
            const qint64 stopMs = stop.elapsed();
            // The playback's threads end after the call: the window's gaps meanwhile.
            static TGaps afterStop;
            tick.restart();
            phase = &afterStop;
            after(500, [&, stopMs, shown] {
              phase = nullptr;
              std::printf("idle window:      longest gap %lld ms, p99 %lld ms (%zu ticks)\n", idle.Max(), idle.P99(),
                          idle.Values.size());
              std::printf(
                  "playing:          longest gap %lld ms, p99 %lld ms (%zu ticks; %lld pictures shown, %lld dropped)\n",
                  playing.Max(), playing.P99(), playing.Values.size(), (long long)shown.PicturesShown,
                  (long long)shown.PicturesDropped);
              std::printf("seek by mouse:    longest gap %lld ms in the second after it\n", seek.Max());
              std::printf("play (opening):   %lld ms\n", openMs);
              std::printf("stop:             %lld ms; longest gap in the 500 ms after it %lld ms\n", stopMs,
                          afterStop.Max());
              const qint64 worst = std::max({playing.Max(), seek.Max(), stopMs, afterStop.Max(), openMs});
              std::printf("longest stall while playing %lld ms; ratio to the idle window %.2f; aim 50 ms: %s\n", worst,
                          double(worst) / double(std::max<qint64>(idle.Max(), 1)), worst <= 50 ? "met" : "missed");
              app.exit(0);
            });
          });
        });
      });
    });
  });
  main.AddFiles({clip});
  return app.exec();
}
