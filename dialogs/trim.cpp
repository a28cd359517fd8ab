#include "dialogs/trim.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <algorithm>
#include <cmath>
#include <QMouseEvent>
#include <QPainter>
#include <QLineEdit>
#include <QPushButton>

#include "app/core/clocktext.h"
#include "app/core/jobrows.h"
#include "app/core/settings.h"
#include "controls/theme.h"
#include "controls/trackbar.h"
#include "controls/videosurface.h"
#include "dialogs/playerhost.h"

TfrmTrim::TTrim TfrmTrim::Store(int64_t startSec, int64_t endSec, int64_t fileDurationSec) {
  TTrim t;
  int64_t length = fileDurationSec;
  if (startSec >= 0 && endSec > 0 && startSec < endSec && endSec <= fileDurationSec) length = endSec - startSec;
  if (length <= 0) return t;
  t.TrimStart = startSec > 0 ? startSec * 1000000 : 0;
  // A range that reaches the end converts to the end of the file: the whole-second duration is
  // rounded, and a stored length would cut off the part of the last second beyond it.
  const bool toTheEnd = length >= fileDurationSec || startSec + length >= fileDurationSec;
  t.TrimLength = toTheEnd ? 0 : length * 1000000;
  t.LengthSec = length;
  return t;
}

TfrmTrim::TfrmTrim(TJobRows& model, TAppSettings& settings, QWidget* parent)
    : QDialog(parent), model_(model), settings_(settings) {
  setWindowTitle("Trim");
  setFixedSize(900, 580);

  pnlPicture_ = new TVideoSurfaceWidget(this);
  pnlPicture_->setGeometry(28, 20, 845, 387);

  trcPreview_ = new TTrackBar2(this);
  trcPreview_->setGeometry(26, 420, 850, 22);
  trcPreview_->setEnabled(false);
  lblPosition_ = new QLabel(this);
  lblPosition_->setGeometry(32, 446, 120, 20);
  lblDuration_ = new QLabel(this);
  lblDuration_->setGeometry(750, 446, 120, 20);
  lblDuration_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  lblStatus_ = new QLabel(this);
  lblStatus_->setObjectName("lblTrimStatus");
  lblStatus_->setGeometry(160, 446, 580, 20);
  lblStatus_->setAlignment(Qt::AlignCenter);

  trcPosition_ = new TTrackBar2(this);
  trcPosition_->SetSecondThumb(true);
  trcPosition_->setGeometry(32, 473, 838, 20);
  trcPosition_->SetTrackStyle(TTrackBar2::trUserDrawn);
  trcPosition_->SetThumbStyle(TTrackBar2::tsUserDrawn);
  trcPosition_->SetTickInterval(0);
  trcPosition_->SetThumbSize(13);
  trcPosition_->SetThumbLength(20);
  markStart_ = theme::SkinPixmap("trim-start.svg", {13, 20}, devicePixelRatioF());
  markEnd_ = theme::SkinPixmap("trim-end.svg", {13, 20}, devicePixelRatioF());
  connect(trcPosition_, &TTrackBar2::DrawTrack, this, &TfrmTrim::DrawRangeTrack);
  connect(trcPosition_, &TTrackBar2::DrawThumb, this, &TfrmTrim::DrawMarker);
  trcPosition_->installEventFilter(this);
  trcPreview_->installEventFilter(this);

  btnPlay_ = new QPushButton("Play", this);
  btnPlay_->setGeometry(32, 505, 70, 26);
  btnPause_ = new QPushButton("Pause", this);
  btnPause_->setGeometry(106, 505, 70, 26);
  btnStop_ = new QPushButton("Stop", this);
  btnStop_->setGeometry(180, 505, 70, 26);

  auto* lblStart = new QLabel("Trim Start: ", this);
  lblStart->setGeometry(270, 508, 70, 20);
  edtStart_ = new QLineEdit(this);
  edtStart_->setReadOnly(true);
  edtStart_->setGeometry(340, 505, 90, 24);
  auto* lblEnd = new QLabel("Trim End: ", this);
  lblEnd->setGeometry(440, 508, 64, 20);
  edtTrimLength_ = new QLineEdit(this);
  edtTrimLength_->setReadOnly(true);
  edtTrimLength_->setGeometry(504, 505, 100, 24);

  btnDefault_ = new QPushButton("&Default", this);
  btnDefault_->setGeometry(620, 540, 80, 28);
  btnOk_ = new QPushButton("Ok", this);
  btnOk_->setGeometry(706, 540, 80, 28);
  btnOk_->setDefault(true);
  btnCancel_ = new QPushButton("Cancel", this);
  btnCancel_->setGeometry(792, 540, 80, 28);

  connect(trcPosition_, &TTrackBar2::Change, this, &TfrmTrim::RangeChanged);
  connect(btnDefault_, &QPushButton::clicked, this, &TfrmTrim::DefaultClick);
  connect(btnOk_, &QPushButton::clicked, this, &TfrmTrim::OkClick);
  connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);
  host_ = new TPlayerHost(this, settings_);
  // The seek bar seeks at once from the keyboard; a mouse drag seeks when it ends. The places
  // the dialog itself gives the bar (position updates, a marker's time) never seek: with the
  // bar focused they would pull the picture back to the last whole second at every update.
  host_->SetSeekBar(trcPreview_, TPlayerHost::srHeldRelease, TPlayerHost::bsSeconds);
  host_->SetPauseButtons(btnPlay_, btnPause_);
  connect(btnPlay_, &QPushButton::clicked, this, [this] {
    if (host_->Player().IsOpen()) {
      host_->Resume();
    } else if (TlvFilesRecord* rec = model_.Record(row_)) {
      host_->Open(rec->SourceFile, pnlPicture_, true, false);
    }
    btnPlay_->setEnabled(false);
    btnPause_->setEnabled(true);
  });
  connect(btnStop_, &QPushButton::clicked, this, [this] {
    host_->Stop(false);
    lblPosition_->setText("00:00:00");
    btnPlay_->setEnabled(true);
    btnPause_->setEnabled(false);
  });
  // Raised during Open, on the thread that called it.
  connect(host_, &TPlayerHost::FileOpened, this, &TfrmTrim::FileOpen);
  connect(host_, &TPlayerHost::PositionChanged, this,
          [this](int64_t pts) { lblPosition_->setText(QString::fromStdString(FormatClock(pts / 1000000))); });
  connect(host_, &TPlayerHost::StateChanged, this, [this](TPlayState state) {
    if (state != psStop) return;
    btnPlay_->setEnabled(true);
    btnPause_->setEnabled(false);
  });
}

TfrmTrim::~TfrmTrim() {
  // The player stops before the panel it draws into goes.
  delete host_;
}

TFFPlayer& TfrmTrim::Player() { return host_->Player(); }

void TfrmTrim::ShowFor(int row) {
  if (model_.JobCount() == 0) return;
  row_ = row < 0 || row >= model_.JobCount() ? 0 : row;
  TlvFilesRecord* rec = model_.Record(row_);
  lblPosition_->clear();
  lblDuration_->clear();
  lblStatus_->clear();
  std::string error;
  if (!host_->LoadLibraries(error)) return;
  // Nothing of the file shown before stays: not its picture, its range or its markers. A
  // file that cannot open shows black, an empty range and says so.
  pnlPicture_->Clear();
  fileDurationUs_ = fileDurationSec_ = 0;
  rangeStartSec_ = rangeEndSec_ = 0;
  loaded_ = false;
  settingRange_ = true;
  trcPosition_->SetMax(0);
  trcPosition_->SetPositionL(0);
  trcPosition_->SetPositionU(0);
  settingRange_ = false;
  host_->ShowPlace(0);
  trcPreview_->setEnabled(false);
  loaded_ = host_->Open(rec->SourceFile, pnlPicture_, true, false);
  ShowRange();
  for (QWidget* w : std::initializer_list<QWidget*>{trcPosition_, btnPlay_, btnPause_, btnStop_, btnDefault_})
    w->setEnabled(loaded_);
  if (!loaded_) {
    const QString name = QFileInfo(QFile::decodeName(QByteArray::fromStdString(rec->SourceFile))).fileName();
    lblStatus_->setText(QString("The file cannot be opened: %1").arg(name));
    // The old picture may have been handed over while the playback was stopping.
    pnlPicture_->Clear();
  }
  if (loaded_ && fileDurationSec_ > 0) {
    btnPlay_->setEnabled(false);
    btnPause_->setEnabled(true);
    if (rec->TrimStart >= 0) rangeStartSec_ = rec->TrimStart / 1000000;
    rangeEndSec_ = rec->TrimLength <= 0 ? fileDurationSec_ : (rec->TrimStart + rec->TrimLength) / 1000000;
    ShowRange();
  }
  open();
}

void TfrmTrim::FileOpen(int64_t duration) {
  fileDurationUs_ = duration;
  fileDurationSec_ = RoundedSeconds(duration);
  lblDuration_->setText(QString::fromStdString(FormatClock(fileDurationSec_)));
  settingRange_ = true;
  trcPreview_->SetMax(int(fileDurationSec_));
  trcPosition_->SetMax(int(fileDurationSec_));
  trcPosition_->SetPositionU(int(fileDurationSec_));
  trcPosition_->SetPositionL(0);
  settingRange_ = false;
  trcPreview_->setEnabled(true);
  host_->ShowPlace(0);
}

void TfrmTrim::ShowRange() {
  settingRange_ = true;
  trcPosition_->SetPositionU(int(rangeEndSec_));
  trcPosition_->SetPositionL(int(rangeStartSec_));
  settingRange_ = false;
  edtStart_->setText(QString::fromStdString(FormatClock(rangeStartSec_)));
  edtTrimLength_->setText(QString::fromStdString(FormatClock(rangeEndSec_)));
}

void TfrmTrim::RangeChanged() {
  if (settingRange_) return;
  const int64_t start = trcPosition_->PositionL(), end = trcPosition_->PositionU();
  // The marker that moved takes the picture to its time.
  const bool startMoved = start != rangeStartSec_;
  rangeStartSec_ = start;
  rangeEndSec_ = end;
  edtStart_->setText(QString::fromStdString(FormatClock(rangeStartSec_)));
  edtTrimLength_->setText(QString::fromStdString(FormatClock(rangeEndSec_)));
  host_->ShowPlace(int(startMoved ? start : end));
  if (!host_->BarHeld()) host_->SeekToBar();
}

void TfrmTrim::RangeMouse(int x) {
  // The marker on the side of the middle between the two takes the place under the mouse.
  const double left = trcPosition_->ThumbRect(trcPosition_->PositionL()).center().x();
  const double right = trcPosition_->ThumbRect(trcPosition_->PositionU()).center().x();
  // The marker's middle goes to x (to the nearest whole second).
  const int range = std::max(1, trcPosition_->RangePixels());
  const int span = trcPosition_->Max() - trcPosition_->Min();
  const int position = std::clamp(trcPosition_->Min() +
                                      int(std::lround(double(x - trcPosition_->ThumbOffset()) * span / range)),
                                  trcPosition_->Min(), trcPosition_->Max());
  if (x <= left + (right - left) / 2)
    trcPosition_->SetPositionL(std::min(position, trcPosition_->PositionU()));
  else
    trcPosition_->SetPositionU(std::max(position, trcPosition_->PositionL()));
}

bool TfrmTrim::eventFilter(QObject* watched, QEvent* event) {
  if (watched != trcPosition_ && watched != trcPreview_) return QDialog::eventFilter(watched, event);
  const QEvent::Type type = event->type();
  if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove && type != QEvent::MouseButtonRelease)
    return QDialog::eventFilter(watched, event);
  auto* mouse = static_cast<QMouseEvent*>(event);
  const bool range = watched == trcPosition_;
  const int x = int(mouse->position().x());
  if (type == QEvent::MouseButtonPress) {
    if (mouse->button() != Qt::LeftButton) return QDialog::eventFilter(watched, event);
    host_->HoldBar();
    if (range) RangeMouse(x);
    return range;
  }
  if (type == QEvent::MouseMove) {
    // Markers 2 seconds apart or closer stay where they are while the mouse moves on; a new
    // press moves them again.
    if (range && (mouse->buttons() & Qt::LeftButton) && rangeEndSec_ - rangeStartSec_ > 1) RangeMouse(x);
    return range;
  }
  if (mouse->button() != Qt::LeftButton) return QDialog::eventFilter(watched, event);
  if (range) RangeMouse(x);
  // The picture goes to where the seek bar shows.
  host_->ReleaseBar();
  return range;
}

void TfrmTrim::DrawRangeTrack(QPainter* canvas) {
  const QRect r = trcPosition_->rect();
  const int line = r.height() / 2;
  canvas->fillRect(QRect(0, line - 6, r.width(), 16).intersected(r), QColor(32, 75, 139));
  const int left = trcPosition_->ThumbRect(trcPosition_->PositionL()).center().x();
  const int right = trcPosition_->ThumbRect(trcPosition_->PositionU()).center().x();
  if (loaded_ && right > left) canvas->fillRect(QRect(left, line - 2, right - left, 4), QColor(255, 153, 0));
}

void TfrmTrim::DrawMarker(QPainter* canvas, int x, int y) {
  // Without a file there is no range to mark.
  if (!loaded_) return;
  const bool start = QPoint(x, y) == trcPosition_->ThumbOrigin(trcPosition_->PositionL());
  canvas->drawPixmap(QPoint(x, y), start ? markStart_ : markEnd_);
}

void TfrmTrim::DefaultClick() {
  rangeStartSec_ = 0;
  rangeEndSec_ = fileDurationSec_;
  settingRange_ = true;
  trcPosition_->SetPositionU(int(rangeEndSec_));
  trcPosition_->SetPositionL(0);
  settingRange_ = false;
  edtStart_->setText("00:00:00");
  const int64_t s = fileDurationUs_ / 1000000;
  edtTrimLength_->setText(QString::asprintf("%.2d:%.2d:%.2d.%.3d", int(s / 3600), int(s / 60 % 60), int(s % 60),
                                            int((fileDurationUs_ % 1000000) * 1000 / 1000000)));
}

void TfrmTrim::OkClick() {
  // Without the file the stored range was never shown: it stays as it is.
  TlvFilesRecord* rec = model_.Record(row_);
  if (rec && loaded_) {
    const TTrim t = Store(rangeStartSec_, rangeEndSec_, fileDurationSec_);
    rec->TrimStart = t.TrimStart;
    rec->TrimLength = t.TrimLength;
    if (t.LengthSec > 0) model_.SetTrimmed(row_, QString::number(t.LengthSec));
  }
  accept();
}

void TfrmTrim::done(int result) {
  // Closing stops the player without waiting.
  host_->Stop(false);
  QDialog::done(result);
}
