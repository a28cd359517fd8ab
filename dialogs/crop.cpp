#include "dialogs/crop.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <cmath>

#include "app/core/clocktext.h"
#include "app/core/jobrows.h"
#include "app/core/settings.h"
#include "controls/recttracker.h"
#include "controls/trackbar.h"
#include "controls/videosurface.h"
#include "dialogs/displayshape.h"
#include "dialogs/playerhost.h"
#include "dialogs/volumecontrol.h"
#include "render/pictureedits.h"
#include "render/picturefilters.h"

class TFitPicture : public QWidget {
public:
  using QWidget::QWidget;
  // pixelAspect: the shown width of one pixel (its height counting 1): the picture is drawn in
  // its display shape.
  void SetImage(const QImage& image, double pixelAspect) {
    image_ = image;
    aspect_ = pixelAspect;
    update();
  }
  const QImage& Image() const { return image_; }

protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), QColor(166, 202, 240));
    if (image_.width() > 0 && image_.height() > 0)
      p.drawImage(TfrmCrop::FitRect(ShownWidth(image_.width(), aspect_), image_.height(), rect()), image_);
  }

private:
  QImage image_;
  double aspect_ = 1.0;
};

namespace {

// A copy of the bitmap, or of the part `part` of it (one copy, not two).
QImage ToImage(const TBitmap24& b, const QRect& part = QRect()) {
  if (b.Width <= 0 || b.Height <= 0) return {};
  const QImage view(b.Pixels.data(), b.Width, b.Height, b.Stride, QImage::Format_BGR888);
  return part.isNull() ? view.copy() : view.copy(part);
}

struct TAdjustBar {
  const char* caption;
  int min, max, none;
};
constexpr TAdjustBar Bar(const char* caption, const TAdjustRange& r) { return {caption, r.Min, r.Max, r.None}; }
constexpr TAdjustBar kRanges[4] = {Bar("Brightness:", kBrightnessRange), Bar("Contrast:", kContrastRange),
                                   Bar("Saturation:", kSaturationRange), Bar("Exposure:", kExposureRange)};

}  // namespace

int TfrmCrop::SourceMargin(int viewMargin, int sourceSize, int viewSize) {
  if (viewSize <= 0) return 0;
  const long v = std::lround(double(viewMargin) * sourceSize / viewSize);
  return int(v / 2 * 2);
}

std::string TfrmCrop::ZoomAfterCrop(const std::string& zoom) {
  if (zoom == "lbox" || zoom == "center" || zoom == "orig" || zoom == "cent") return zoom;
  return "full";
}

QRect TfrmCrop::FitRect(int w, int h, const QRect& area) {
  if (w <= 0 || h <= 0 || area.width() <= 0 || area.height() <= 0) return {};
  const double rw = double(w) / area.width(), rh = double(h) / area.height();
  if (rw >= rh) {
    const int m = int(std::lround((area.height() - h / rw) / 2));
    return QRect(area.left(), area.top() + m, area.width(), area.height() - 2 * m);
  }
  const int m = int(std::lround((area.width() - w / rh) / 2));
  return QRect(area.left() + m, area.top(), area.width() - 2 * m, area.height());
}

TfrmCrop::TfrmCrop(TJobRows& model, TAppSettings& settings, QWidget* parent)
    : QDialog(parent), model_(model), settings_(settings) {
  setWindowTitle("Crop");
  setFixedSize(913, 566);

  imgPreview_ = new TFitPicture(this);
  imgPreview_->setGeometry(24, 16, 420, 303);
  imgOutput_ = new TFitPicture(this);
  imgOutput_->setGeometry(470, 16, 420, 303);
  tracker_ = new TRectTracker(this);
  tracker_->hide();
  // The player draws into a hidden panel: the dialog shows its frames itself.
  hiddenPanel_ = new TVideoSurfaceWidget(this);
  hiddenPanel_->setGeometry(0, 0, 65, 65);
  hiddenPanel_->hide();

  // The player controls under the pictures.
  btnPlay_ = new QPushButton("Play", this);
  btnPlay_->setGeometry(24, 328, 64, 26);
  btnPause_ = new QPushButton("Pause", this);
  btnPause_->setGeometry(92, 328, 64, 26);
  btnStop_ = new QPushButton("Stop", this);
  btnStop_->setGeometry(160, 328, 64, 26);
  trcSeek_ = new TTrackBar2(this);
  trcSeek_->setObjectName("trcSeek");
  trcSeek_->setGeometry(236, 331, 420, 20);
  trcSeek_->setEnabled(false);
  lblPosition_ = new QLabel(this);
  lblPosition_->setGeometry(664, 331, 56, 20);
  lblDuration_ = new QLabel(this);
  lblDuration_->setGeometry(724, 331, 56, 20);
  volume_ = new TVolumeControl(this, settings_, QRect(786, 329, 39, 25), QRect(830, 331, 60, 20));

  // The tabs: the margins (Crop) and the four adjustments (Effect).
  tabs_ = new QTabWidget(this);
  tabs_->setGeometry(16, 364, 881, 154);
  auto* cropTab = new QWidget;
  static const char* const kMarginCaptions[4] = {"Up:", "Left:", "Right:", "Down:"};
  for (int m = 0; m < 4; ++m) {
    auto* caption = new QLabel(kMarginCaptions[m], cropTab);
    caption->setGeometry(24 + (m % 2) * 220, 18 + (m / 2) * 40, 50, 24);
    margins_[m] = new QSpinBox(cropTab);
    margins_[m]->setGeometry(80 + (m % 2) * 220, 18 + (m / 2) * 40, 90, 24);
    margins_[m]->setRange(0, 9999);
    // Typing is off: the arrows step a margin, the rectangle drags it.
    if (auto* edit = margins_[m]->findChild<QLineEdit*>()) edit->setReadOnly(true);
    connect(margins_[m], &QSpinBox::valueChanged, this, [this, m](int v) { MarginEdited(TMargin(m), v); });
  }
  btnResetCrop_ = new QPushButton("Reset", cropTab);
  btnResetCrop_->setGeometry(760, 88, 90, 26);
  tabs_->addTab(cropTab, "Crop");

  auto* effectTab = new QWidget;
  for (int i = 0; i < 4; ++i) {
    const TAdjustBar& r = kRanges[i];
    auto* caption = new QLabel(r.caption, effectTab);
    caption->setGeometry(16, 8 + i * 28, 80, 24);
    bars_[i] = new TTrackBar2(effectTab);
    bars_[i]->setGeometry(100, 8 + i * 28, 540, 24);
    bars_[i]->SetMin(r.min);
    bars_[i]->SetMax(r.max);
    bars_[i]->SetPositionL(r.none);
    spins_[i] = new QSpinBox(effectTab);
    spins_[i]->setGeometry(652, 8 + i * 28, 80, 24);
    spins_[i]->setRange(r.min, r.max);
    spins_[i]->setValue(r.none);
    TTrackBar2* bar = bars_[i];
    QSpinBox* spin = spins_[i];
    connect(bar, &TTrackBar2::Change, spin, [bar, spin] { spin->setValue(bar->PositionL()); });
    connect(spin, &QSpinBox::valueChanged, bar, [bar](int v) { bar->SetPositionL(v); });
  }
  btnResetEffect_ = new QPushButton("Reset", effectTab);
  btnResetEffect_->setGeometry(760, 88, 90, 26);
  // Kept with the job and cleared by the Effect tab's Reset; not shown.
  chkText_ = new QCheckBox("Process  Added Text", effectTab);
  chkText_->hide();
  chkImage_ = new QCheckBox("Process  Added Image", effectTab);
  chkImage_->hide();
  tabs_->addTab(effectTab, "Effect");
  tabs_->setCurrentIndex(1);

  btnDefault_ = new QPushButton("&Default", this);
  btnDefault_->setGeometry(640, 526, 80, 28);
  btnOk_ = new QPushButton("Ok", this);
  btnOk_->setGeometry(726, 526, 80, 28);
  btnOk_->setDefault(true);
  btnCancel_ = new QPushButton("Cancel", this);
  btnCancel_->setGeometry(812, 526, 80, 28);

  connect(tracker_, &TRectTracker::MouseDown, this, &TfrmCrop::TrackerDown);
  connect(tracker_, &TRectTracker::MouseMove, this, &TfrmCrop::TrackerMove);
  connect(btnDefault_, &QPushButton::clicked, this, &TfrmCrop::ResetMargins);
  connect(btnResetCrop_, &QPushButton::clicked, this, &TfrmCrop::ResetMargins);
  connect(btnResetEffect_, &QPushButton::clicked, this, &TfrmCrop::ResetEffects);
  connect(btnOk_, &QPushButton::clicked, this, &TfrmCrop::OkClick);
  connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);
  host_ = new TPlayerHost(this, settings_);
  host_->SetVolumeControl(volume_);
  host_->SetSeekBar(trcSeek_, TPlayerHost::srEveryMove, TPlayerHost::bsShare);
  host_->SetPauseButtons(btnPlay_, btnPause_);
  connect(btnPlay_, &QPushButton::clicked, this, [this] {
    bool ok = true;
    if (host_->Player().IsOpen()) {
      host_->Resume();
    } else if (TlvFilesRecord* rec = model_.Record(row_)) {
      ok = host_->Open(rec->SourceFile, hiddenPanel_, false, true);
    } else {
      ok = false;
    }
    SetPlaying(ok);
  });
  connect(btnStop_, &QPushButton::clicked, this, [this] {
    host_->Stop(true);
    Stopped();
  });
  connect(host_, &TPlayerHost::PositionChanged, this,
          [this](int64_t pts) { lblPosition_->setText(QString::fromStdString(FormatClock(RoundedSeconds(pts)))); });
  connect(host_, &TPlayerHost::StateChanged, this, [this](TPlayState state) {
    if (state == psStop) Stopped();
  });

  timer_ = new QTimer(this);
  timer_->setInterval(100);
  connect(timer_, &QTimer::timeout, this, &TfrmCrop::Refresh);
  timer_->start();
}

TfrmCrop::~TfrmCrop() {
  timer_->stop();
  // The player stops before the panel it draws into goes.
  delete host_;
}

TFFPlayer& TfrmCrop::Player() { return host_->Player(); }

void TfrmCrop::ShowFor(int row) {
  if (model_.JobCount() == 0) return;
  row_ = row < 0 || row >= model_.JobCount() ? 0 : row;
  const TlvFilesRecord* rec = model_.Record(row_);
  std::string error;
  if (!host_->LoadLibraries(error)) return;
  lblPosition_->clear();
  lblDuration_->clear();
  zoom_ = rec->ZoomMode;
  chkText_->setChecked(rec->ProcessText);
  chkImage_->setChecked(rec->ProcessImage);
  const bool opened = host_->Open(rec->SourceFile, hiddenPanel_, false, true);
  // The coded picture's size and the shown width of its pixels.
  sw_ = host_->FrameWidth();
  sh_ = host_->FrameHeight();
  aspect_ = host_->PixelAspect();
  SetPlaying(opened);
  if (opened) {
    lblDuration_->setText(QString::fromStdString(FormatClock(RoundedSeconds(host_->DurationUs()))));
    trcSeek_->SetMax(trcSeek_->width());
    host_->ShowPlace(0);
  } else {
    btnPlay_->setEnabled(false);
  }
  if (opened && sw_ > 0 && sh_ > 0) {
    // The picture in its display shape; the margins map to coded pixels through its size.
    const QRect fit = FitRect(ShownWidth(sw_, aspect_), sh_, imgPreview_->geometry()).adjusted(1, 1, -1, -1);
    x0_ = fit.x();
    y0_ = fit.y();
    pw_ = fit.width();
    ph_ = fit.height();
    up_ = std::max(0, rec->ViewCropTop);
    left_ = std::max(0, rec->ViewCropLeft);
    down_ = std::max(0, rec->ViewCropBottom);
    right_ = std::max(0, rec->ViewCropRight);
    PlaceTracker();
    ShowMargins();
    tracker_->show();
    tracker_->raise();
    const int values[4] = {rec->Brightness, rec->Contrast, rec->Saturation, rec->Exposure};
    for (int i = 0; i < 4; ++i) {
      bars_[i]->setEnabled(true);
      spins_[i]->setEnabled(true);
      bars_[i]->SetPositionL(values[i]);
    }
    for (QSpinBox* field : margins_) field->setEnabled(true);
  } else {
    tracker_->hide();
    up_ = left_ = down_ = right_ = 0;
    ShowMargins();
    for (QSpinBox* field : margins_) field->setEnabled(false);
    for (int i = 0; i < 4; ++i) {
      bars_[i]->setEnabled(false);
      spins_[i]->setEnabled(false);
    }
  }
  open();
}

void TfrmCrop::PlaceTracker() {
  // The inner rectangle (2 pixels inside the bounds) marks the kept part.
  tracker_->setGeometry(x0_ + left_ - 2, y0_ + up_ - 2, pw_ - left_ - right_ + 4, ph_ - up_ - down_ + 4);
}

void TfrmCrop::TrackerDown() {
  pressRect_ = tracker_->geometry();
  pressMove_ = tracker_->DragZone() == TRectTracker::tzMove;
}

void TfrmCrop::TrackerMove() {
  if (tracker_->DragZone() == TRectTracker::tzNone) return;
  QRect inner = tracker_->TrackRect();
  // Keep the kept part inside the picture: a resize stops the moving edge at the picture's
  // edge, a move keeps the size and stops the whole rectangle there.
  if (inner.left() < x0_) {
    const int right = inner.right();
    inner.moveLeft(x0_);
    if (!pressMove_) inner.setRight(right);
  }
  if (inner.top() < y0_) {
    const int bottom = inner.bottom();
    inner.moveTop(y0_);
    if (!pressMove_) inner.setBottom(bottom);
  }
  if (inner.left() + inner.width() > x0_ + pw_) {
    if (pressMove_)
      inner.moveLeft(x0_ + pw_ - inner.width());
    else
      inner.setRight(x0_ + pw_ - 1);
  }
  if (inner.top() + inner.height() > y0_ + ph_) {
    if (pressMove_)
      inner.moveTop(y0_ + ph_ - inner.height());
    else
      inner.setBottom(y0_ + ph_ - 1);
  }
  up_ = std::max(0, inner.top() - y0_);
  left_ = std::max(0, inner.left() - x0_);
  down_ = std::max(0, y0_ + ph_ - (inner.top() + inner.height()));
  right_ = std::max(0, x0_ + pw_ - (inner.left() + inner.width()));
  const QRect bounds = inner.adjusted(-2, -2, 2, 2);
  if (bounds != tracker_->geometry()) tracker_->setGeometry(bounds);
  ShowMargins();
}

void TfrmCrop::ShowMargins() {
  showingMargins_ = true;
  const int values[4] = {up_, left_, right_, down_};
  for (int m = 0; m < 4; ++m) {
    margins_[m]->setValue(values[m]);
    accepted_[m] = values[m];
  }
  showingMargins_ = false;
}

void TfrmCrop::MarginEdited(TMargin m, int value) {
  if (showingMargins_ || pw_ <= 0 || ph_ <= 0) return;
  const bool vertical = m == mgUp || m == mgDown;
  const int keptSize = vertical ? ph_ - up_ - down_ : pw_ - left_ - right_;
  // A rectangle of 10 pixels or less only grows.
  if (keptSize <= 10 && value >= accepted_[m]) {
    showingMargins_ = true;
    margins_[m]->setValue(accepted_[m]);
    showingMargins_ = false;
    return;
  }
  value = std::max(0, value);
  // Never past the opposite edge.
  const int other = m == mgUp ? down_ : m == mgDown ? up_ : m == mgLeft ? right_ : left_;
  value = std::min(value, (vertical ? ph_ : pw_) - other - 1);
  (m == mgUp ? up_ : m == mgDown ? down_ : m == mgLeft ? left_ : right_) = value;
  PlaceTracker();
  ShowMargins();
}

void TfrmCrop::ResetMargins() {
  up_ = left_ = down_ = right_ = 0;
  PlaceTracker();
  ShowMargins();
}

void TfrmCrop::ResetEffects() {
  for (int i = 0; i < 4; ++i) bars_[i]->SetPositionL(kRanges[i].none);
  chkText_->setChecked(false);
  chkImage_->setChecked(false);
}

void TfrmCrop::SetPlaying(bool playing) {
  btnPlay_->setEnabled(!playing);
  btnPause_->setEnabled(playing);
  btnStop_->setEnabled(playing);
  trcSeek_->setEnabled(playing && host_->DurationUs() > 0);
}

void TfrmCrop::Stopped() {
  SetPlaying(false);
  host_->ShowPlace(0);
  lblPosition_->setText("00:00:00");
  lblDuration_->setText("00:00:00");
}

void TfrmCrop::Refresh() {
  if (host_->Frame().Empty()) return;
  TBitmap24 frame = host_->Frame();
  imgPreview_->SetImage(ToImage(frame), aspect_);
  const int adjustments[4] = {bars_[0]->PositionL(), bars_[1]->PositionL(), bars_[2]->PositionL(),
                              bars_[3]->PositionL()};
  imgOutput_->SetImage(ResultPicture(std::move(frame), adjustments, SourceMargin(left_, sw_, pw_),
                                     SourceMargin(up_, sh_, ph_), SourceMargin(right_, sw_, pw_),
                                     SourceMargin(down_, sh_, ph_)),
                       aspect_);
}

QImage TfrmCrop::ResultPicture(TBitmap24 frame, const int adjustments[4], int cropLeft, int cropTop, int cropRight,
                               int cropBottom) {
  bool changed = false;
  for (int i = 0; i < 4; ++i) changed = changed || adjustments[i] != kRanges[i].none;
  if (changed) {
    BrightnessContrastSaturation(frame, adjustments[0], adjustments[1], adjustments[2]);
    ExposureFilter(frame, adjustments[3]);
  }
  return ToImage(frame,
                 QRect(cropLeft, cropTop, frame.Width - cropLeft - cropRight, frame.Height - cropTop - cropBottom));
}

QImage TfrmCrop::Result() const { return imgOutput_->Image(); }

void TfrmCrop::OkClick() {
  if (TlvFilesRecord* rec = model_.Record(row_); rec && pw_ > 0 && ph_ > 0) {
    rec->ViewCropTop = up_;
    rec->ViewCropLeft = left_;
    rec->ViewCropBottom = down_;
    rec->ViewCropRight = right_;
    rec->CropTop = SourceMargin(up_, sh_, ph_);
    rec->CropLeft = SourceMargin(left_, sw_, pw_);
    rec->CropBottom = SourceMargin(down_, sh_, ph_);
    rec->CropRight = SourceMargin(right_, sw_, pw_);
    rec->Brightness = bars_[0]->PositionL();
    rec->Contrast = bars_[1]->PositionL();
    rec->Saturation = bars_[2]->PositionL();
    rec->Exposure = bars_[3]->PositionL();
    rec->ProcessText = chkText_->isChecked();
    rec->ProcessImage = chkImage_->isChecked();
    rec->ZoomMode = ZoomAfterCrop(zoom_);
  }
  accept();
}

void TfrmCrop::done(int result) {
  timer_->stop();
  host_->Stop(true);
  QDialog::done(result);
}
