#include "app/previewpanel.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QUrl>

#include "app/apperror.h"
#include "app/core/clocktext.h"
#include "app/core/settings.h"
#include "app/core/snapshot.h"
#include "app/joblist.h"
#include "controls/imagebutton.h"
#include "controls/theme.h"
#include "controls/trackbar.h"
#include "controls/videosurface.h"
#include "dialogs/playerhost.h"
#include "dialogs/volumecontrol.h"
#include "media/errors.h"

namespace {

const QString kNoTime = "00:00:00";
// The played and the remaining part of a bar's track.
const QColor kPlayed(118, 152, 202);
const QColor kRest(36, 75, 123);
constexpr int kThumbWidth = 13;
// A position change made by the mouse over a bar: x over the bar's width less half the thumb
// (seek bar) or half the mute picture (volume bar), rounded to even.
constexpr int kSeekMouseMargin = 6;
constexpr int kVolumeMouseMargin = 20;

QString FromPath(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

}  // namespace

TPreviewPanel::TPreviewPanel(QWidget* host, TAppSettings& settings, TJobListView* list, QPlainTextEdit* log)
    : QObject(host), settings_(settings), list_(list), model_(qobject_cast<TJobListModel*>(list->model())),
      mmoLog_(log) {
  pan1_ = new TVideoSurfaceWidget(host);
  pan1_->setObjectName("pan1");
  pan1_->setGeometry(516, 134, 370, 240);
  lblTime_ = new QLabel(kNoTime, host);
  lblTime_->setObjectName("lblTime");
  lblTime_->setGeometry(786, 384, 56, 14);
  lblPTS_ = new QLabel("/ " + kNoTime, host);
  lblPTS_->setObjectName("lblPTS");
  lblPTS_->setGeometry(842, 384, 58, 14);
  lblStatus_ = new QLabel(host);
  lblStatus_->setObjectName("lblPreviewStatus");
  lblStatus_->setGeometry(514, 462, 386, 16);

  const qreal dpr = host->devicePixelRatioF();
  seekTrack_ = theme::SkinPixmap("pv-seektrack.svg", {374, 12}, dpr);
  volumeTrack_ = theme::SkinPixmap("pv-voltrack.svg", {71, 12}, dpr);
  thumb_ = theme::SkinPixmap("pv-thumb.svg", {kThumbWidth, 20}, dpr);

  // The bars draw themselves with the skin's pictures.
  auto skinBar = [](TTrackBar2* bar, int thumbSize) {
    bar->SetTrackStyle(TTrackBar2::trUserDrawn);
    bar->SetThumbStyle(TTrackBar2::tsUserDrawn);
    bar->SetTickStyle(TTrackBar2::tiUserDrawn);
    bar->SetTickInterval(0);
    bar->SetThumbSize(thumbSize);
    bar->SetThumbLength(20);
  };
  trcPreview_ = new TTrackBar2(host);
  trcPreview_->setObjectName("trcPreview");
  trcPreview_->setGeometry(514, 400, 380, 20);
  skinBar(trcPreview_, 15);
  trcPreview_->SetMax(380);
  trcPreview_->setEnabled(false);
  connect(trcPreview_, &TTrackBar2::DrawTrack, this, [this](QPainter* p) {
    DrawTrack(p, trcPreview_, seekTrack_, {1, 2});
  });
  connect(trcPreview_, &TTrackBar2::DrawThumb, this,
          [this](QPainter* p, int x, int y) { DrawThumb(p, trcPreview_, x, y, 5, 370, 2); });
  // Volume and mute: the stored settings, written at once on every change.
  volume_ = new TVolumeControl(host, settings_, QRect(778, 432, 39, 25), QRect(815, 435, 83, 20));
  trcVolume_ = volume_->VolumeBar();
  imgbtnMute_ = volume_->MuteButton();
  skinBar(trcVolume_, kThumbWidth);
  connect(trcVolume_, &TTrackBar2::DrawTrack, this, [this](QPainter* p) {
    DrawTrack(p, trcVolume_, volumeTrack_, {1, 4});
  });
  connect(trcVolume_, &TTrackBar2::DrawThumb, this,
          [this](QPainter* p, int x, int y) { DrawThumb(p, trcVolume_, x, y, 4, 70, 4); });

  struct TButton {
    const char* Name;
    const char* Picture;
    const char* Hint;
    int X;
    TImageButton** Field;
    void (TPreviewPanel::*Click)();
  };
  const TButton buttons[] = {{"imgbtnPre", "pv-prev", "Previous", 514, &imgbtnPre_, &TPreviewPanel::imgbtnPreClick},
                             {"imgbtnPlay", "pv-play", "Play", 553, &imgbtnPlay_, &TPreviewPanel::imgbtnPlayClick},
                             {"imgbtnPause", "pv-pause", "Pause", 592, &imgbtnPause_, &TPreviewPanel::imgbtnPauseClick},
                             {"imgbtnStop", "pv-stop", "Stop", 631, &imgbtnStop_, &TPreviewPanel::imgbtnStopClick},
                             {"imgbtnNext", "pv-next", "Next", 670, &imgbtnNext_, &TPreviewPanel::imgbtnNextClick},
                             {"imgbtnSnap", "pv-snap", "Snapshot", 719, &imgbtnSnap_, &TPreviewPanel::imgbtnSnapClick}};
  for (const TButton& b : buttons) {
    auto* btn = new TImageButton(host);
    btn->setObjectName(b.Name);
    btn->SetPictures(b.Picture);
    btn->setToolTip(b.Hint);
    btn->setAccessibleName(b.Hint);
    btn->setGeometry(b.X, 432, 39, 25);
    *b.Field = btn;
    connect(btn, &TImageButton::clicked, this, b.Click);
  }

  // The idle state: Play only.
  SetPlayingButtons(false, false);
  imgbtnPre_->setEnabled(false);
  imgbtnNext_->setEnabled(false);

  connect(list_, &QAbstractItemView::clicked, this, &TPreviewPanel::UpdatePrevNext);
  connect(list_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
    if (list_->selectionModel()->isRowSelected(index.row(), {})) imgbtnPlayClick();
  });

  // The player: the seek bar seeks only when a press on it ends (see eventFilter).
  host_ = new TPlayerHost(this, settings_);
  host_->SetVolumeControl(volume_);
  host_->SetSeekBar(trcPreview_, TPlayerHost::srReleaseOnly, TPlayerHost::bsShare);
  connect(host_, &TPlayerHost::FileOpened, this, &TPreviewPanel::FFPlayerFileOpen);
  connect(host_, &TPlayerHost::PositionChanged, this, &TPreviewPanel::FFPlayerPosition);
  connect(host_, &TPlayerHost::StateChanged, this, &TPreviewPanel::FFPlayerState);

  // The seek bar's dragging rule watches every mouse event of the program.
  qApp->installEventFilter(this);
  LoadVolume();
}

TPreviewPanel::~TPreviewPanel() {
  qApp->removeEventFilter(this);
  // The player stops here, before the video panel it draws into goes.
  delete host_;
}

TFFPlayer& TPreviewPanel::Player() { return host_->Player(); }

bool TPreviewPanel::SeekDragging() const { return host_->BarHeld(); }

void TPreviewPanel::LoadVolume() { volume_->Load(); }

// ---- list and buttons ----

int TPreviewPanel::LastSelectedRow() const {
  const QModelIndexList rows = list_->selectionModel() ? list_->selectionModel()->selectedRows() : QModelIndexList{};
  if (rows.isEmpty()) return -1;
  int last = rows.front().row();
  for (const QModelIndex& i : rows) last = std::max(last, i.row());
  return last;
}

void TPreviewPanel::SelectRow(int row) {
  const QModelIndex index = model_->index(row, 0);
  list_->setCurrentIndex(index);
  list_->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  list_->scrollTo(index);
  list_->setFocus();
}

void TPreviewPanel::UpdatePrevNext() {
  const int i = std::max(LastSelectedRow(), 0);
  imgbtnPre_->setEnabled(i > 0);
  imgbtnNext_->setEnabled(i + 1 < model_->rowCount());
}

void TPreviewPanel::SetPlayingButtons(bool playing, bool paused) {
  imgbtnPlay_->setEnabled(!playing || paused);
  imgbtnPause_->setEnabled(playing && !paused);
  imgbtnStop_->setEnabled(playing);
  imgbtnSnap_->setEnabled(playing);
}

void TPreviewPanel::ShowClocks(const QString& time, const QString& duration) {
  lblTime_->setText(time);
  lblPTS_->setText("/ " + duration);
}

void TPreviewPanel::imgbtnPlayClick() {
  UpdatePrevNext();
  if (previewPaused_) {
    previewPaused_ = false;
    previewStopped_ = false;
    SetPlayingButtons(true, false);
    host_->Resume();
    return;
  }
  if (std::string error; !host_->LoadLibraries(error)) {
    mmoLog_->appendPlainText(QString::fromStdString(error));
    return;
  }
  if (model_->rowCount() == 0) {
    playAfterAdd_ = true;
    emit AddWanted();
    return;
  }
  if (LastSelectedRow() < 0) SelectRow(0);
  const TlvFilesRecord* rec = model_->Record(LastSelectedRow());
  if (!rec) return;
  SetPlayingButtons(false, false);
  imgbtnPlay_->setEnabled(false);
  previewDuration_ = 0;
  trcPreview_->SetPositionL(0);
  lblStatus_->clear();
  lblStatus_->setToolTip({});
  // The picture is laid out in the whole panel.
  if (!host_->Open(rec->SourceFile, pan1_, true, false)) {
    // Nothing plays: no picture of the file shown before, the buttons idle, and the status
    // line says why.
    previewStopped_ = true;
    previewPaused_ = false;
    trcPreview_->setEnabled(false);
    SetPlayingButtons(false, false);
    ShowClocks(kNoTime, kNoTime);
    pan1_->Clear();
    ShowStatus(QString("The file cannot be opened: %1").arg(QFileInfo(FromPath(rec->SourceFile)).fileName()));
    return;
  }
  previewStopped_ = false;
  previewPaused_ = false;
  // A duration that is not positive leaves the seek bar disabled (also for a file the player
  // could not open).
  trcPreview_->setEnabled(previewDuration_ > 0);
  SetPlayingButtons(true, false);
}

void TPreviewPanel::imgbtnPauseClick() {
  if (previewPaused_) return;
  host_->Pause();
  previewPaused_ = true;
  previewStopped_ = false;
  SetPlayingButtons(true, true);
}

void TPreviewPanel::imgbtnStopClick() {
  // The playback's threads end on their own: the window does not wait for them (the next
  // Open does, for what is left), and the stopped playback shows no further picture.
  host_->Stop(false);
  host_->ShowPlace(0);
  trcPreview_->setEnabled(false);
  previewStopped_ = true;
  previewPaused_ = false;
  SetPlayingButtons(false, false);
  UpdatePrevNext();  // the list may have changed (Remove, Clear)
  ShowClocks(kNoTime, kNoTime);
  pan1_->Clear();
}

void TPreviewPanel::imgbtnNextClick() {
  UpdatePrevNext();
  const int i = std::max(LastSelectedRow(), 0);
  if (i + 1 >= model_->rowCount()) return;
  SelectRow(i + 1);
  imgbtnPlayClick();
}

void TPreviewPanel::imgbtnPreClick() {
  UpdatePrevNext();
  const int i = std::max(LastSelectedRow(), 0);
  if (i <= 0) return;
  SelectRow(i - 1);
  imgbtnPlayClick();
}

void TPreviewPanel::AddFinished() {
  if (!playAfterAdd_ || model_->rowCount() == 0) return;
  playAfterAdd_ = false;
  imgbtnPlayClick();
}

void TPreviewPanel::imgbtnSnapClick() {
  int64_t pts = 0;
  const TBitmap24 frame = host_->Player().GetCurrentFrame(pts);
  if (frame.Width <= 0 || frame.Height <= 0) {
    ShowStatus("Snapshot: nothing to save, the file shows no picture");
    return;
  }
  const TSnapshotResult result = WriteSnapshots(frame, settings_);
  if (!result.Warning.empty()) {
    auto* box = new QMessageBox(QMessageBox::Warning, "Warning", QString::fromStdString(result.Warning),
                                QMessageBox::Ok, pan1_->window());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  }
  if (!result.Error.empty()) {
    HandleApplicationError(FFmpegException(result.Error));
    return;
  }
  if (result.Files.empty()) return;
  const QFileInfo first(FromPath(result.Files.front()));
  QStringList names;
  for (const std::string& f : result.Files) names << QFileInfo(FromPath(f)).fileName();
  ShowStatus(QString("Snapshot saved: %1 in %2").arg(names.join(", "), first.absolutePath()));
  QDesktopServices::openUrl(QUrl::fromLocalFile(first.absolutePath()));
}

void TPreviewPanel::ShowStatus(const QString& text) {
  lblStatus_->setToolTip(text);
  lblStatus_->setText(lblStatus_->fontMetrics().elidedText(text, Qt::ElideMiddle, lblStatus_->width()));
}

// ---- player notices ----

void TPreviewPanel::FFPlayerFileOpen(int64_t duration, int frameWidth, int frameHeight) {
  mmoLog_->appendPlainText(QString::fromStdString(host_->Player().AVProbe.GetInfoText()));
  mmoLog_->appendPlainText(QString::fromStdString(
      StrFormat("duration: %f, frame size: %dx%d", double(duration) / 1000000.0, frameWidth, frameHeight)));
  previewDuration_ = duration;
  lblPTS_->setText("/ " + QString::fromStdString(FormatClock(RoundedSeconds(duration))));
  trcPreview_->SetTickInterval(1);
  trcPreview_->SetMax(trcPreview_->width());
  trcPreview_->setEnabled(duration > 0);
  host_->ShowPlace(0);
}

void TPreviewPanel::FFPlayerPosition(int64_t pts) {
  // Stopped (also at the end of the file): the clocks stay at zero.
  if (previewStopped_) return;
  lblTime_->setText(QString::fromStdString(FormatClock(RoundedSeconds(pts))));
}

void TPreviewPanel::FFPlayerState(TPlayState state) {
  if (state != psEnd) return;
  // The file stays open, paused at its start; Play opens it again.
  previewPaused_ = false;
  previewStopped_ = true;
  SetPlayingButtons(false, false);
  trcPreview_->setEnabled(false);
  ShowClocks(kNoTime, kNoTime);
}

// ---- bars ----

void TPreviewPanel::DrawTrack(QPainter* canvas, TTrackBar2* bar, const QPixmap& track, QPoint at) {
  canvas->fillRect(bar->rect(), theme::kWindowBack);
  if (!track.isNull()) canvas->drawPixmap(at, track);
}

void TPreviewPanel::DrawThumb(QPainter* canvas, TTrackBar2* bar, int x, int y, int playedFrom, int restTo, int trackY) {
  // The inner band of the track picture: played up to the thumb, the rest after it.
  const QRect band(0, trackY + 3, bar->width(), 6);
  const QColor played = bar->isEnabled() ? kPlayed : kRest;
  if (x > playedFrom) canvas->fillRect(QRect(playedFrom, band.y(), x - playedFrom, band.height()), played);
  if (restTo > x + kThumbWidth)
    canvas->fillRect(QRect(x + kThumbWidth, band.y(), restTo - x - kThumbWidth, band.height()), kRest);
  if (!thumb_.isNull()) {
    canvas->setOpacity(bar->isEnabled() ? 1.0 : 0.55);
    canvas->drawPixmap(x, y, thumb_);
    canvas->setOpacity(1.0);
  } else {
    canvas->fillRect(QRect(x, y, kThumbWidth, 20), QColor(232, 238, 248));
  }
}

bool TPreviewPanel::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease && type != QEvent::MouseMove)
    return QObject::eventFilter(watched, event);
  auto* me = static_cast<QMouseEvent*>(event);
  if (type == QEvent::MouseButtonPress && me->button() == Qt::LeftButton && watched == trcPreview_ &&
      trcPreview_->isEnabled()) {
    host_->HoldBar();
  } else if (type == QEvent::MouseMove && (me->buttons() & Qt::LeftButton) && watched->isWidgetType() &&
             (watched == trcPreview_ || watched == trcVolume_)) {
    auto* bar = static_cast<TTrackBar2*>(watched);
    const int margin = bar == trcPreview_ ? kSeekMouseMargin : kVolumeMouseMargin;
    if (bar->isEnabled() && bar->width() > margin)
      bar->SetPositionL(int(me->position().x() / double(bar->width() - margin) * bar->Max()));
  } else if (type == QEvent::MouseButtonRelease && me->button() == Qt::LeftButton) {
    // Seeks when the press was on the seek bar; position notices of the time before the seek
    // would pull the bar back: they are kept off a little longer.
    host_->ReleaseBar();
  }
  return QObject::eventFilter(watched, event);
}
