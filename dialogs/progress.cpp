#include "dialogs/progress.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <cmath>

#include "controls/imagebutton.h"

QRect FitPicture(QSize source, QSize area) {
  if (source.width() <= 0 || source.height() <= 0 || area.isEmpty()) return {};
  const double a = double(source.width()) / area.width();
  const double b = double(source.height()) / area.height();
  if (a >= b) {
    const int c = int(std::nearbyint((area.height() - source.height() / a) / 2.0));
    return QRect(QPoint(0, c), QPoint(area.width() - 1, area.height() - 1 - c));
  }
  const int c = int(std::nearbyint((area.width() - source.width() / b) / 2.0));
  return QRect(QPoint(c, 0), QPoint(area.width() - 1 - c, area.height() - 1));
}

QString ShortFileName(const QString& path) {
  if (path.size() < 51) return path;
  const qsizetype dot = path.lastIndexOf('.');
  const QString ext = dot >= 0 && dot > path.lastIndexOf('/') ? path.mid(dot) : QString();
  return path.left(44) + ".." + ext;
}

namespace {

QLabel* Caption(QWidget* parent, const QString& text, int x, int y) {
  auto* l = new QLabel(text, parent);
  l->setGeometry(x, y, 84, 18);
  return l;
}

QLabel* Value(QWidget* parent, const char* name, int x, int y, int width) {
  auto* l = new QLabel(parent);
  l->setObjectName(name);
  l->setGeometry(x, y, width, 18);
  l->setTextFormat(Qt::PlainText);
  return l;
}

QPushButton* Button(QWidget* parent, const char* name, const QString& caption, int x) {
  auto* b = new QPushButton(caption, parent);
  b->setObjectName(name);
  b->setGeometry(x, 418, 70, 26);
  b->setAutoDefault(false);
  return b;
}

}  // namespace

TfrmProgress::TfrmProgress(QWidget* parent) : QDialog(parent) {
  setObjectName("frmProgress");
  setWindowTitle("Progress");
  setFixedSize(kWidth, kHeight);

  imgPreview_ = new QLabel(this);
  imgPreview_->setObjectName("imgPreview");
  imgPreview_->setGeometry(24, 12, kPictureWidth, kPictureHeight);

  Caption(this, "Current Time:", 24, 232);
  lblTime_ = Value(this, "lblTime", 108, 232, 100);
  Caption(this, "File Size:", 216, 232);
  lblSize_ = Value(this, "lblSize", 300, 232, 96);
  Caption(this, "Length:", 24, 254);
  lblLength_ = Value(this, "lblLength", 108, 254, 100);
  Caption(this, "Progress:", 216, 254);
  lblProgress_ = Value(this, "lblProgress", 300, 254, 96);
  Caption(this, "File:", 24, 276);
  lblOutput_ = Value(this, "lblOutput", 108, 276, 283);
  Caption(this, "Remaining:", 24, 298);
  lblRemaining_ = Value(this, "lblRemaining", 108, 298, 283);
  lblRemaining_->setToolTip("Time left for all the files of this run, at the speed measured so far");

  progbarFile_ = new QProgressBar(this);
  progbarFile_->setObjectName("progbarFile");
  progbarFile_->setGeometry(24, 324, 372, 22);
  progbarFile_->setRange(0, 100);
  progbarFile_->setTextVisible(true);

  ckOpen_ = new QCheckBox("Open the output folder after conversion", this);
  ckOpen_->setObjectName("ckOpen");
  ckOpen_->setGeometry(24, 356, 372, 20);
  ckShutDown_ = new QCheckBox("Shut down computer after conversion", this);
  ckShutDown_->setObjectName("ckShutDown");
  ckShutDown_->setGeometry(24, 380, 372, 20);

  imgbtnSnap_ = new TImageButton(this);
  imgbtnSnap_->setObjectName("imgbtnSnap");
  imgbtnSnap_->SetPictures("tool");
  imgbtnSnap_->SetGlyph("pv-snap.svg", {24, 24});
  imgbtnSnap_->setGeometry(24, 412, 38, 38);
  imgbtnSnap_->setToolTip("Save snapshot picture");
  imgbtnSnap_->setAccessibleName("Save snapshot picture");
  connect(imgbtnSnap_, &TImageButton::clicked, this, [this] {
    if (!picture_.isNull()) emit SnapshotClicked();
  });

  btnPause_ = Button(this, "btnPause", "Pause", 170);
  btnResume_ = Button(this, "btnResume", "Resume", 248);
  btnCancel_ = Button(this, "btnCancel", "Cancel", 326);
  connect(btnPause_, &QPushButton::clicked, this, [this] {
    btnPause_->setEnabled(false);
    btnResume_->setEnabled(true);
    emit PauseClicked();
  });
  connect(btnResume_, &QPushButton::clicked, this, [this] {
    btnResume_->setEnabled(false);
    btnPause_->setEnabled(true);
    emit ResumeClicked();
  });
  connect(btnCancel_, &QPushButton::clicked, this, &TfrmProgress::RequestStop);

  timer_.setInterval(100);
  connect(&timer_, &QTimer::timeout, this, &TfrmProgress::Tick);
}

void TfrmProgress::BeginRun() {
  for (QLabel* l : {lblTime_, lblLength_, lblSize_, lblProgress_, lblOutput_, lblRemaining_}) l->clear();
  ckOpen_->setChecked(true);
  btnPause_->setEnabled(true);
  btnResume_->setEnabled(false);
  btnCancel_->setEnabled(true);
  picture_ = QImage();
  drawn_ = QImage(kPictureWidth, kPictureHeight, QImage::Format_RGB32);
  drawn_.fill(kPictureBack);
  imgPreview_->setPixmap(QPixmap::fromImage(drawn_));
  pictureChanged_ = false;
  progbarFile_->setRange(0, 100);
  progbarFile_->setValue(0);
  running_ = true;
  stopping_ = false;
  setWindowTitle("Progress");
  timer_.start();
  open();
}

void TfrmProgress::EndRun() {
  running_ = false;
  stopping_ = false;
  timer_.stop();
  done(QDialog::Accepted);
}

void TfrmProgress::SetPicture(const QImage& picture) {
  picture_ = picture;
  pictureChanged_ = true;
}

QImage TfrmProgress::DrawnPicture() const { return drawn_; }

void TfrmProgress::SetPercent(int percent) {
  if (percent < 0) {
    progbarFile_->setRange(0, 0);  // unknown length: activity only
    return;
  }
  if (progbarFile_->maximum() != 100) progbarFile_->setRange(0, 100);
  progbarFile_->setValue(std::clamp(percent, 0, 100));
}

void TfrmProgress::SetRemaining(int64_t seconds) {
  if (seconds < 0) {
    lblRemaining_->clear();
    return;
  }
  lblRemaining_->setText(QString("%1:%2:%3")
                             .arg(seconds / 3600)
                             .arg(seconds / 60 % 60, 2, 10, QChar('0'))
                             .arg(seconds % 60, 2, 10, QChar('0')));
}

void TfrmProgress::Tick() {
  if (!pictureChanged_ || picture_.isNull()) return;
  pictureChanged_ = false;
  drawn_.fill(kPictureBack);
  QPainter p(&drawn_);
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  p.drawImage(FitPicture(picture_.size(), drawn_.size()), picture_);
  p.end();
  imgPreview_->setPixmap(QPixmap::fromImage(drawn_));
}

void TfrmProgress::RequestStop() {
  if (!running_) {
    done(QDialog::Rejected);
    return;
  }
  if (stopping_) return;  // a second request while stopping changes nothing
  stopping_ = true;
  btnPause_->setEnabled(false);
  btnResume_->setEnabled(false);
  btnCancel_->setEnabled(false);
  setWindowTitle("Progress - stopping");
  emit CancelClicked();
}

void TfrmProgress::closeEvent(QCloseEvent* event) {
  if (running_) {
    event->ignore();
    RequestStop();
    return;
  }
  QDialog::closeEvent(event);
}

void TfrmProgress::reject() {
  // Escape and the caption's close button: during a run they stop it like Cancel.
  if (running_) {
    RequestStop();
    return;
  }
  QDialog::reject();
}
