#include "dialogs/crop.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <algorithm>
#include <cmath>

#include "app/core/settings.h"
#include "app/jobadder.h"
#include "app/joblist.h"
#include "controls/recttracker.h"
#include "controls/trackbar.h"
#include "controls/videosurface.h"
#include "dialogs/core/picturefilters.h"

class TFitPicture : public QWidget {
public:
  using QWidget::QWidget;
  void SetImage(const QImage& image) {
    image_ = image;
    update();
  }
  const QImage& Image() const { return image_; }

protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), QColor(166, 202, 240));
    if (image_.width() > 0 && image_.height() > 0) p.drawImage(TfrmCrop::FitRect(image_.width(), image_.height(), rect()), image_);
  }

private:
  QImage image_;
};

namespace {

QImage ToImage(const TBitmap24& b) {
  if (b.Width <= 0 || b.Height <= 0) return {};
  return QImage(b.Pixels.data(), b.Width, b.Height, b.Stride, QImage::Format_BGR888).copy();
}

struct TAdjustRange {
  const char* caption;
  int min, max, none;
};
constexpr TAdjustRange kRanges[4] = {
    {"Brightness:", 0, 512, 255}, {"Contrast:", -100, 100, 0}, {"Saturation:", 0, 512, 255}, {"Exposure:", -255, 512, 0}};

}  // namespace

int TfrmCrop::SourceMargin(int viewMargin, int sourceSize, int viewSize) {
  if (viewSize <= 0) return 0;
  const long v = std::lround(double(viewMargin) * sourceSize / viewSize);
  return int(v / 2 * 2);
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

TfrmCrop::TfrmCrop(TJobListModel& model, TAppSettings& settings, QWidget* parent)
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

  btnPlay_ = new QPushButton("Play", this);
  btnPlay_->setGeometry(24, 330, 70, 26);
  btnPause_ = new QPushButton("Pause", this);
  btnPause_->setGeometry(98, 330, 70, 26);
  btnStop_ = new QPushButton("Stop", this);
  btnStop_->setGeometry(172, 330, 70, 26);

  for (int i = 0; i < 4; ++i) {
    const TAdjustRange& r = kRanges[i];
    auto* caption = new QLabel(r.caption, this);
    caption->setGeometry(40, 372 + i * 34, 80, 22);
    bars_[i] = new TTrackBar2(this);
    bars_[i]->setGeometry(124, 370 + i * 34, 620, 26);
    bars_[i]->SetMin(r.min);
    bars_[i]->SetMax(r.max);
    bars_[i]->SetPositionL(r.none);
    spins_[i] = new QSpinBox(this);
    spins_[i]->setGeometry(756, 370 + i * 34, 80, 24);
    spins_[i]->setRange(r.min, r.max);
    spins_[i]->setValue(r.none);
    TTrackBar2* bar = bars_[i];
    QSpinBox* spin = spins_[i];
    connect(bar, &TTrackBar2::Change, spin, [bar, spin] { spin->setValue(bar->PositionL()); });
    connect(spin, &QSpinBox::valueChanged, bar, [bar](int v) { bar->SetPositionL(v); });
  }

  btnDefault_ = new QPushButton("&Default", this);
  btnDefault_->setGeometry(640, 526, 80, 28);
  btnOk_ = new QPushButton("Ok", this);
  btnOk_->setGeometry(726, 526, 80, 28);
  btnOk_->setDefault(true);
  btnCancel_ = new QPushButton("Cancel", this);
  btnCancel_->setGeometry(812, 526, 80, 28);

  connect(tracker_, &TRectTracker::MouseDown, this, &TfrmCrop::TrackerDown);
  connect(tracker_, &TRectTracker::MouseMove, this, &TfrmCrop::TrackerMove);
  connect(btnDefault_, &QPushButton::clicked, this, [this] {
    up_ = left_ = down_ = right_ = 0;
    PlaceTracker();
  });
  connect(btnOk_, &QPushButton::clicked, this, &TfrmCrop::OkClick);
  connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(btnPause_, &QPushButton::clicked, this, [this] {
    FFPlayer_->Pause();
    btnPlay_->setEnabled(true);
    btnPause_->setEnabled(false);
  });
  connect(btnPlay_, &QPushButton::clicked, this, [this] {
    if (FFPlayer_->IsOpen())
      FFPlayer_->Resume();
    else if (TlvFilesRecord* rec = model_.Record(row_))
      FFPlayer_->Open(rec->SourceFile, hiddenPanel_, false);
    btnPlay_->setEnabled(false);
    btnPause_->setEnabled(true);
  });
  connect(btnStop_, &QPushButton::clicked, this, [this] {
    FFPlayer_->Stop(true);
    btnPlay_->setEnabled(true);
    btnPause_->setEnabled(false);
  });

  FFPlayer_ = std::make_unique<TFFPlayer>();
  FFPlayer_->TriggerEventInMainThread = false;
  FFPlayer_->Hook = true;
  // Runs on the player's video thread: the frame is copied for the timer.
  FFPlayer_->OnHook = [this](TCustomPlayer*, TBitmap24& bitmap, int64_t) {
    std::lock_guard<std::mutex> lock(frameLock_);
    latest_ = bitmap;
    haveFrame_ = true;
  };
  // Raised during Open, on the calling thread: the source picture's size.
  FFPlayer_->OnFileOpen = [this](TCustomPlayer*, int64_t, int32_t fw, int32_t fh, int32_t&, int32_t&) {
    sw_ = fw;
    sh_ = fh;
  };
  FFPlayer_->OnState = [this](TCustomPlayer*, TPlayState state) {
    const int gen = generation_.load();
    QMetaObject::invokeMethod(this, [this, gen, state] {
      if (gen != generation_.load()) return;
      if (state == psPause || state == psStop || state == psEnd) {
        btnPlay_->setEnabled(true);
        btnPause_->setEnabled(false);
      }
      if (state == psEnd) {
        FFPlayer_->Seek(0, false, 0);
        FFPlayer_->Pause();
      }
    }, Qt::QueuedConnection);
  };

  timer_ = new QTimer(this);
  timer_->setInterval(100);
  connect(timer_, &QTimer::timeout, this, &TfrmCrop::Refresh);
  timer_->start();
}

TfrmCrop::~TfrmCrop() {
  timer_->stop();
  FFPlayer_.reset();
}

void TfrmCrop::ShowFor(int row) {
  if (model_.rowCount() == 0) return;
  row_ = row < 0 || row >= model_.rowCount() ? 0 : row;
  const TlvFilesRecord* rec = model_.Record(row_);
  std::string error;
  if (!FFPlayer_->AVLibLoaded() && !TJobAdder::LoadEngineLibs(error)) return;
  ++generation_;
  sw_ = sh_ = 0;
  const bool opened = FFPlayer_->Open(rec->SourceFile, hiddenPanel_, false);
  btnPlay_->setEnabled(!opened);
  btnPause_->setEnabled(opened);
  if (opened && sw_ > 0 && sh_ > 0) {
    const QRect fit = FitRect(sw_, sh_, imgPreview_->geometry()).adjusted(1, 1, -1, -1);
    x0_ = fit.x();
    y0_ = fit.y();
    pw_ = fit.width();
    ph_ = fit.height();
    up_ = rec->ViewCropTop;
    left_ = rec->ViewCropLeft;
    down_ = rec->ViewCropBottom;
    right_ = rec->ViewCropRight;
    PlaceTracker();
    tracker_->show();
    tracker_->raise();
    const int values[4] = {rec->Brightness, rec->Contrast, rec->Saturation, rec->Exposure};
    for (int i = 0; i < 4; ++i) {
      bars_[i]->setEnabled(true);
      bars_[i]->SetPositionL(values[i]);
    }
  } else {
    tracker_->hide();
    for (TTrackBar2* bar : bars_) bar->setEnabled(false);
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
}

void TfrmCrop::Refresh() {
  TBitmap24 frame;
  {
    std::lock_guard<std::mutex> lock(frameLock_);
    if (!haveFrame_) return;
    frame = latest_;
  }
  imgPreview_->SetImage(ToImage(frame));
  const int b = bars_[0]->PositionL(), c = bars_[1]->PositionL(), s = bars_[2]->PositionL(), e = bars_[3]->PositionL();
  if (b != 255 || c != 0 || s != 255 || e != 0) {
    BrightnessContrastSaturation(frame, b, c, s);
    ExposureFilter(frame, e);
  }
  const int cl = SourceMargin(left_, sw_, pw_), cr = SourceMargin(right_, sw_, pw_);
  const int ct = SourceMargin(up_, sh_, ph_), cb = SourceMargin(down_, sh_, ph_);
  const QImage whole = ToImage(frame);
  imgOutput_->SetImage(whole.copy(cl, ct, frame.Width - cl - cr, frame.Height - ct - cb));
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
  }
  accept();
}

void TfrmCrop::done(int result) {
  timer_->stop();
  ++generation_;
  FFPlayer_->Stop(true);
  QDialog::done(result);
}
