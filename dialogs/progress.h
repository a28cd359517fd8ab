// The progress window "Progress": the picture being converted, the current task's numbers,
// the whole run's remaining time, Pause/Resume/Cancel, the snapshot button and the two check
// boxes for what happens after the last file. The run controller fills it and closes it at
// the end of the run; its buttons are reported as signals, so the window owns no engine.
#pragma once

#include <QDialog>
#include <QImage>
#include <QTimer>

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class TImageButton;

// Where a picture of size `source` is drawn in an area of size `area`: scaled to fit with its
// aspect ratio kept and centred (the margin rounded to the nearest integer, halves to even).
// Empty for an empty source.
QRect FitPicture(QSize source, QSize area);

// The source path as the "File:" line shows it: as it is below 51 characters, otherwise its
// first 44 characters, ".." and its extension.
QString ShortFileName(const QString& path);

class TfrmProgress : public QDialog {
  Q_OBJECT
public:
  static constexpr int kWidth = 420;
  static constexpr int kHeight = 460;
  static constexpr int kPictureWidth = 372;
  static constexpr int kPictureHeight = 210;
  static inline const QColor kPictureBack{166, 202, 240};

  explicit TfrmProgress(QWidget* parent = nullptr);

  // Show for a new run: empty labels, ckOpen checked (ckShutDown as the user left it), Pause
  // enabled, Resume disabled, the picture cleared, the bar at 0.
  void BeginRun();
  // The end of the run: the window closes.
  void EndRun();
  bool Running() const { return running_; }
  bool Stopping() const { return stopping_; }

  // The latest picture of the running task; drawn at the next 100 ms tick.
  void SetPicture(const QImage& picture);
  const QImage& Picture() const { return picture_; }
  // The picture area as drawn last (372 x 210).
  QImage DrawnPicture() const;
  // Percent 0..100, or -1 for a task of unknown length (the bar shows activity only).
  void SetPercent(int percent);
  void SetRemaining(int64_t seconds);

  QLabel* lblTime() const { return lblTime_; }
  QLabel* lblLength() const { return lblLength_; }
  QLabel* lblSize() const { return lblSize_; }
  QLabel* lblProgress() const { return lblProgress_; }
  QLabel* lblOutput() const { return lblOutput_; }
  QLabel* lblRemaining() const { return lblRemaining_; }
  QProgressBar* progbarFile() const { return progbarFile_; }
  QPushButton* btnPause() const { return btnPause_; }
  QPushButton* btnResume() const { return btnResume_; }
  QPushButton* btnCancel() const { return btnCancel_; }
  QCheckBox* ckOpen() const { return ckOpen_; }
  QCheckBox* ckShutDown() const { return ckShutDown_; }
  TImageButton* imgbtnSnap() const { return imgbtnSnap_; }
  QLabel* imgPreview() const { return imgPreview_; }

signals:
  void PauseClicked();
  void ResumeClicked();
  // Cancel, the caption's close button or Escape during a run: the run is to stop. The window
  // stays until the end of the run closes it.
  void CancelClicked();
  void SnapshotClicked();

protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

private:
  void Tick();
  void RequestStop();

  QLabel* imgPreview_;
  QLabel *lblTime_, *lblLength_, *lblSize_, *lblProgress_, *lblOutput_, *lblRemaining_;
  QProgressBar* progbarFile_;
  QPushButton *btnPause_, *btnResume_, *btnCancel_;
  QCheckBox *ckOpen_, *ckShutDown_;
  TImageButton* imgbtnSnap_;
  QTimer timer_;
  QImage picture_;
  QImage drawn_;
  bool pictureChanged_ = false;
  bool running_ = false;
  bool stopping_ = false;
};
