// The crop and picture adjustment dialog: the crop rectangle dragged over the playing picture
// (left) and the adjusted, cropped result beside it (right), refreshed every 100 ms from the
// latest frame the player host hands over. OK writes the copy of the job record it
// edits back into the list; Cancel writes nothing.
#pragma once

#include <QDialog>
#include <QImage>
#include <QRect>
#include <string>

#include "app/core/jobrecord.h"
#include "media/bitmap.h"
#include "media/player.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTimer;
class TAppSettings;
class TJobRows;
class TPlayerHost;
class TRectTracker;
class TTrackBar2;
class TVideoSurfaceWidget;
class TVolumeControl;

// A picture area that draws its image fitted (aspect kept, centred).
class TFitPicture;

class TfrmCrop : public QDialog {
  Q_OBJECT
public:
  // A view margin in preview pixels to source pixels: scaled, rounded, then made even.
  static int SourceMargin(int viewMargin, int sourceSize, int viewSize);
  // The rectangle a w x h picture takes when fitted into `area`.
  static QRect FitRect(int w, int h, const QRect& area);
  // The result picture of a frame: the four adjustments (filters run only when one differs
  // from its no-change value), then the source margins cut off.
  static QImage ResultPicture(TBitmap24 frame, const int adjustments[4], int cropLeft, int cropTop, int cropRight,
                              int cropBottom);
  // The zoom OK stores: letterbox and the centred modes stay, everything else becomes "full".
  static std::string ZoomAfterCrop(const std::string& zoom);
  // The margin fields, in the order the Crop tab shows them.
  enum TMargin { mgUp, mgLeft, mgRight, mgDown };

  TfrmCrop(TJobRows& model, TAppSettings& settings, QWidget* parent = nullptr);
  ~TfrmCrop() override;

  // Opens the row's file (the first row when `row` is negative) and shows the dialog (open()).
  void ShowFor(int row);

  TRectTracker* Tracker() const { return tracker_; }
  QRect PreviewArea() const { return QRect(x0_, y0_, pw_, ph_); }
  int Up() const { return up_; }
  int Left() const { return left_; }
  int Down() const { return down_; }
  int Right() const { return right_; }
  TTrackBar2* Bar(int i) const { return bars_[i]; }  // brightness, contrast, saturation, exposure
  QSpinBox* Spin(int i) const { return spins_[i]; }
  QSpinBox* MarginField(TMargin m) const { return margins_[m]; }
  QTabWidget* Tabs() const { return tabs_; }
  QPushButton* ResetCropButton() const { return btnResetCrop_; }
  QPushButton* ResetEffectButton() const { return btnResetEffect_; }
  QCheckBox* ProcessTextBox() const { return chkText_; }
  QCheckBox* ProcessImageBox() const { return chkImage_; }
  TTrackBar2* SeekBar() const { return trcSeek_; }
  QLabel* PositionLabel() const { return lblPosition_; }
  QLabel* DurationLabel() const { return lblDuration_; }
  TVolumeControl* Volume() const { return volume_; }
  QPushButton* PlayButton() const { return btnPlay_; }
  QPushButton* StopButton() const { return btnStop_; }
  QPushButton* PauseButton() const { return btnPause_; }
  QPushButton* OkButton() const { return btnOk_; }
  QPushButton* CancelButton() const { return btnCancel_; }
  QPushButton* DefaultButton() const { return btnDefault_; }
  // The result picture as last drawn, in coded pixels (null before the first frame).
  QImage Result() const;
  TFFPlayer& Player();

  void done(int result) override;

private:
  void TrackerDown();
  void TrackerMove();
  void PlaceTracker();
  // Shows the view margins in the Crop tab's fields (their change handling muted) and keeps
  // them as the last accepted values.
  void ShowMargins();
  void MarginEdited(TMargin m, int value);
  void ResetMargins();
  void ResetEffects();
  void SetPlaying(bool playing);
  void Stopped();
  void Refresh();
  void OkClick();

  TJobRows& model_;
  TAppSettings& settings_;
  int row_ = -1;
  int sw_ = 0, sh_ = 0;  // the coded (upright) picture's size
  double aspect_ = 1.0;  // shown width of one of its pixels (see dialogs/displayshape.h)
  int x0_ = 0, y0_ = 0, pw_ = 0, ph_ = 0;
  int up_ = 0, left_ = 0, down_ = 0, right_ = 0;
  int accepted_[4] = {0, 0, 0, 0};  // by TMargin
  bool showingMargins_ = false;
  std::string zoom_;
  QRect pressRect_;
  bool pressMove_ = false;

  TFitPicture* imgPreview_;
  TFitPicture* imgOutput_;
  TRectTracker* tracker_;
  TVideoSurfaceWidget* hiddenPanel_;
  TTrackBar2* bars_[4];
  QSpinBox* spins_[4];
  QSpinBox* margins_[4];
  QTabWidget* tabs_;
  QPushButton* btnResetCrop_;
  QPushButton* btnResetEffect_;
  QCheckBox* chkText_;
  QCheckBox* chkImage_;
  TTrackBar2* trcSeek_;
  QLabel* lblPosition_;
  QLabel* lblDuration_;
  TVolumeControl* volume_;
  QPushButton* btnPlay_;
  QPushButton* btnPause_;
  QPushButton* btnStop_;
  QPushButton* btnDefault_;
  QPushButton* btnOk_;
  QPushButton* btnCancel_;
  QTimer* timer_;
  TPlayerHost* host_;
};
