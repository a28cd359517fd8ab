// The preview area of the main window: the video panel `pan1` the player draws into, the
// position and duration clocks, the seek and volume bars, the player buttons, mute and the
// snapshot. It previews the job list's selected row with the preview player.
//
// The player is held by a player host (dialogs/playerhost.h), which hands its notices to the
// main thread and drops those of an earlier playback.
#pragma once

#include <QObject>
#include <QPixmap>
#include <cstdint>

#include "media/player.h"

class QLabel;
class QPainter;
class QPlainTextEdit;
class QWidget;
class TAppSettings;
class TImageButton;
class TJobListModel;
class TJobListView;
class TPlayerHost;
class TTrackBar2;
class TVolumeControl;
class TVideoSurfaceWidget;

class TPreviewPanel : public QObject {
  Q_OBJECT
public:
  // host: the main window; list: the job list whose selected row is previewed; log: the
  // hidden log memo that receives the player's file information and library errors.
  TPreviewPanel(QWidget* host, TAppSettings& settings, TJobListView* list, QPlainTextEdit* log);
  ~TPreviewPanel() override;

  TVideoSurfaceWidget* VideoPanel() const { return pan1_; }
  TTrackBar2* SeekBar() const { return trcPreview_; }
  TTrackBar2* VolumeBar() const { return trcVolume_; }
  TImageButton* MuteButton() const { return imgbtnMute_; }
  TImageButton* PlayButton() const { return imgbtnPlay_; }
  TImageButton* PauseButton() const { return imgbtnPause_; }
  TImageButton* StopButton() const { return imgbtnStop_; }
  TImageButton* PreviousButton() const { return imgbtnPre_; }
  TImageButton* NextButton() const { return imgbtnNext_; }
  TImageButton* SnapButton() const { return imgbtnSnap_; }
  QLabel* TimeLabel() const { return lblTime_; }
  QLabel* DurationLabel() const { return lblPTS_; }
  QLabel* StatusLine() const { return lblStatus_; }
  TFFPlayer& Player();
  bool PreviewStopped() const { return previewStopped_; }
  bool PreviewPaused() const { return previewPaused_; }
  // A press on the seek bar holds it against position notices (until a little after the
  // release).
  bool SeekDragging() const;
  int64_t PreviewDuration() const { return previewDuration_; }

  // Volume bar (0..128, the stored value or 64 when out of range) and the mute picture from
  // the settings file.
  void LoadVolume();

  // The buttons' actions (also run by the main window: Stop before Start, the dialogs and an
  // emptied list; Play by a double click on a selected row).
  void imgbtnPlayClick();
  void imgbtnPauseClick();
  void imgbtnStopClick();
  void imgbtnNextClick();
  void imgbtnPreClick();
  void imgbtnSnapClick();
  // Previous and Next enabled by the selected row's place in the list.
  void UpdatePrevNext();
  // End of an Add: plays the first row when Play asked for files.
  void AddFinished();

signals:
  // Play found the list empty: the main window runs Add.
  void AddWanted();

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  int LastSelectedRow() const;
  void SelectRow(int row);
  void SetPlayingButtons(bool playing, bool paused);
  void ShowClocks(const QString& time, const QString& duration);
  // The status line under the buttons (elided; the whole text as its tip).
  void ShowStatus(const QString& text);
  void FFPlayerFileOpen(int64_t duration, int frameWidth, int frameHeight);
  void FFPlayerPosition(int64_t pts);
  void FFPlayerState(TPlayState state);
  void DrawTrack(QPainter* canvas, TTrackBar2* bar, const QPixmap& track, QPoint at);
  void DrawThumb(QPainter* canvas, TTrackBar2* bar, int x, int y, int playedFrom, int restTo, int trackY);

  TAppSettings& settings_;
  TJobListView* list_;
  TJobListModel* model_;
  QPlainTextEdit* mmoLog_;
  TPlayerHost* host_;

  TVideoSurfaceWidget* pan1_;
  QLabel* lblTime_;
  QLabel* lblPTS_;
  QLabel* lblStatus_;
  TTrackBar2* trcPreview_;
  TTrackBar2* trcVolume_;
  TImageButton* imgbtnPre_ = nullptr;
  TImageButton* imgbtnPlay_ = nullptr;
  TImageButton* imgbtnPause_ = nullptr;
  TImageButton* imgbtnStop_ = nullptr;
  TImageButton* imgbtnNext_ = nullptr;
  TImageButton* imgbtnSnap_ = nullptr;
  TImageButton* imgbtnMute_ = nullptr;
  TVolumeControl* volume_ = nullptr;

  bool previewStopped_ = true;
  bool previewPaused_ = false;
  bool playAfterAdd_ = false;
  QPixmap seekTrack_, volumeTrack_, thumb_;
  int64_t previewDuration_ = 0;
};
