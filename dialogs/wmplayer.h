// The watermark dialog's player row: Play, Pause, a seek bar, the two clocks and the volume,
// over the dialog's own player, which draws into a hidden panel. The player's frame hook hands
// every frame over to the main thread, where the row keeps the newest one for the dialog to
// draw its items into.
#pragma once

#include <QObject>
#include <QRect>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "media/bitmap.h"
#include "media/player.h"

class QLabel;
class QPushButton;
class QWidget;
class TAppSettings;
class TTrackBar2;
class TVideoSurfaceWidget;
class TVolumeControl;

class TWmPlayerBar : public QObject {
  Q_OBJECT
public:
  // The row's controls go on `host` from (x, y); the hidden panel takes `panel`.
  TWmPlayerBar(QWidget* host, TAppSettings& settings, int x, int y, const QRect& panel);
  ~TWmPlayerBar() override;

  // Opens the file and starts playing it; false when it cannot be played.
  bool Open(const std::string& file);
  // Stops the player (waiting for it) and forgets the frames still on their way.
  void Close();
  // Whether the frames reach the dialog (from the file's opening until it ends; Play again).
  bool Following() const { return following_; }

  int64_t DurationUs() const { return durationUs_; }
  int FrameWidth() const { return fw_; }
  int FrameHeight() const { return fh_; }
  // The shown width of one picture pixel, its height counting 1 (see dialogs/displayshape.h).
  double PixelAspect() const { return pixelAspect_; }
  // The newest frame taken over and its time in microseconds (main thread).
  const TBitmap24& Frame() const { return frame_; }
  int64_t FramePts() const { return framePts_; }
  int FramesShown() const { return framesShown_; }

  QPushButton* PlayButton() const { return btnPlay_; }
  QPushButton* PauseButton() const { return btnPause_; }
  TTrackBar2* SeekBar() const { return trcSeek_; }
  TFFPlayer& Player() { return *player_; }

signals:
  // A new frame was taken over (main thread).
  void FrameArrived();

private:
  void TakeFrame();
  void State(TPlayState state);

  int64_t durationUs_ = 0;
  int fw_ = 0, fh_ = 0;
  double pixelAspect_ = 1.0;
  bool following_ = false;
  bool positioning_ = false;  // the seek bar follows the playback: no seek

  std::mutex lock_;  // the hand-over from the video thread
  TBitmap24 latest_;
  int64_t latestPts_ = 0;
  bool pending_ = false;
  std::atomic<int> generation_{0};

  TBitmap24 frame_;
  int64_t framePts_ = 0;
  int framesShown_ = 0;

  TVideoSurfaceWidget* hiddenPanel_;
  QPushButton* btnPlay_;
  QPushButton* btnPause_;
  TTrackBar2* trcSeek_;
  QLabel* lblPosition_;
  QLabel* lblDuration_;
  TVolumeControl* volume_;
  std::unique_ptr<TFFPlayer> player_;
};
