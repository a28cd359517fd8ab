// The trim dialog: the part of one file that is converted, chosen in whole seconds with the two
// markers of a range bar while the file plays in the dialog's own player. OK stores the range in
// the job record (TrimStart, TrimLength in microseconds) and the row's "Trimmed Length" cell;
// Cancel stores nothing.
#pragma once

#include <QDialog>
#include <QPixmap>
#include <cstdint>

#include "media/player.h"

class QLabel;
class QPainter;
class QLineEdit;
class QPushButton;
class TAppSettings;
class TJobRows;
class TPlayerHost;
class TTrackBar2;
class TVideoSurfaceWidget;
struct TlvFilesRecord;

class TfrmTrim : public QDialog {
  Q_OBJECT
public:
  // What OK stores for a chosen range, in whole seconds (see Store).
  struct TTrim {
    int64_t TrimStart = 0;   // microseconds
    int64_t TrimLength = 0;  // microseconds; 0 = to the end
    int64_t LengthSec = 0;   // the "Trimmed Length" text; 0 or less: the cell is left as it is
  };
  // An inconsistent range (start at or after end, end beyond the file) keeps a positive start
  // and converts to the end of the file.
  static TTrim Store(int64_t startSec, int64_t endSec, int64_t fileDurationSec);

  TfrmTrim(TJobRows& model, TAppSettings& settings, QWidget* parent = nullptr);
  ~TfrmTrim() override;

  // Opens the row's file (the first row when `row` is negative) and shows the dialog modally
  // (open(): the caller's event loop keeps running).
  void ShowFor(int row);

  int64_t RangeStartSec() const { return rangeStartSec_; }
  int64_t RangeEndSec() const { return rangeEndSec_; }
  int64_t FileDurationSec() const { return fileDurationSec_; }
  TTrackBar2* RangeBar() const { return trcPosition_; }
  TTrackBar2* SeekBar() const { return trcPreview_; }
  QLineEdit* StartField() const { return edtStart_; }
  QLineEdit* EndField() const { return edtTrimLength_; }
  QPushButton* PauseButton() const { return btnPause_; }
  QPushButton* OkButton() const { return btnOk_; }
  QPushButton* CancelButton() const { return btnCancel_; }
  QLabel* StatusLine() const { return lblStatus_; }
  TVideoSurfaceWidget* Picture() const { return pnlPicture_; }
  QPushButton* DefaultButton() const { return btnDefault_; }
  TFFPlayer& Player();

  void done(int result) override;

protected:
  // Watches the two bars' mouse buttons: a drag seeks when it ends, and markers closer than
  // 2 seconds stop following a moving mouse.
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  // A press, move or release on the range bar at x: the nearer side's marker goes there.
  void RangeMouse(int x);
  void DrawRangeTrack(QPainter* canvas);
  void DrawMarker(QPainter* canvas, int x, int y);
  void FileOpen(int64_t duration);
  void RangeChanged();
  void ShowRange();
  void DefaultClick();
  void OkClick();

  TJobRows& model_;
  TAppSettings& settings_;
  int row_ = -1;
  int64_t fileDurationUs_ = 0;
  int64_t fileDurationSec_ = 0;
  int64_t rangeStartSec_ = 0;
  int64_t rangeEndSec_ = 0;
  bool loaded_ = false;  // the row's file opened in the player
  bool settingRange_ = false;
  QPixmap markStart_, markEnd_;

  TVideoSurfaceWidget* pnlPicture_;
  TTrackBar2* trcPreview_;
  TTrackBar2* trcPosition_;
  QLabel* lblPosition_;
  QLabel* lblDuration_;
  QLabel* lblStatus_;  // says when the row's file cannot be opened
  QPushButton* btnPlay_;
  QPushButton* btnPause_;
  QPushButton* btnStop_;
  QLineEdit* edtStart_;
  QLineEdit* edtTrimLength_;
  QPushButton* btnDefault_;
  QPushButton* btnOk_;
  QPushButton* btnCancel_;
  TPlayerHost* host_;
};
