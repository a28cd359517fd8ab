// The watermark dialog's player row: Play, Pause, a seek bar, the two clocks and the volume,
// over the dialog's player host, whose player draws into a hidden panel. The host hands every
// frame over to the main thread, where the dialog draws its items into it.
#pragma once

#include <QObject>
#include <QRect>
#include <string>

class QLabel;
class QPushButton;
class QWidget;
class TAppSettings;
class TPlayerHost;
class TTrackBar2;
class TVideoSurfaceWidget;

class TWmPlayerBar : public QObject {
  Q_OBJECT
public:
  // The row's controls go on `host` from (x, y); the hidden panel takes `panel`.
  TWmPlayerBar(QWidget* host, TAppSettings& settings, int x, int y, const QRect& panel);

  // Opens the file and starts playing it; false when it cannot be played.
  bool Open(const std::string& file);
  // Stops the player (waiting for it); the frames still on their way are dropped.
  void Close();

  TPlayerHost& Host() const { return *host_; }
  QPushButton* PlayButton() const { return btnPlay_; }
  QPushButton* PauseButton() const { return btnPause_; }
  TTrackBar2* SeekBar() const { return trcSeek_; }

private:
  TPlayerHost* host_;
  TVideoSurfaceWidget* hiddenPanel_;
  QPushButton* btnPlay_;
  QPushButton* btnPause_;
  TTrackBar2* trcSeek_;
  QLabel* lblPosition_;
  QLabel* lblDuration_;
};
