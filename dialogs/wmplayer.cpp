#include "dialogs/wmplayer.h"

#include "dialogs/displayshape.h"

#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "app/core/clocktext.h"
#include "app/core/codeclibs.h"
#include "controls/trackbar.h"
#include "controls/videosurface.h"
#include "dialogs/volumecontrol.h"

TWmPlayerBar::TWmPlayerBar(QWidget* host, TAppSettings& settings, int x, int y, const QRect& panel) : QObject(host) {
  hiddenPanel_ = new TVideoSurfaceWidget(host);
  hiddenPanel_->setGeometry(panel);
  hiddenPanel_->hide();
  btnPlay_ = new QPushButton("Play", host);
  btnPlay_->setGeometry(x, y, 60, 26);
  btnPlay_->setEnabled(false);
  btnPause_ = new QPushButton("Pause", host);
  btnPause_->setGeometry(x + 64, y, 60, 26);
  btnPause_->setEnabled(false);
  trcSeek_ = new TTrackBar2(host);
  trcSeek_->setObjectName("trcSeek");
  trcSeek_->setGeometry(x + 132, y + 3, 250, 20);
  trcSeek_->SetTickStyle(TTrackBar2::tiUserDrawn);
  trcSeek_->setEnabled(false);
  lblPosition_ = new QLabel(host);
  lblPosition_->setGeometry(x + 388, y + 3, 54, 20);
  lblDuration_ = new QLabel(host);
  lblDuration_->setGeometry(x + 444, y + 3, 54, 20);
  volume_ = new TVolumeControl(host, settings, QRect(x + 502, y, 30, 25), QRect(x + 534, y + 3, 58, 20));

  connect(btnPlay_, &QPushButton::clicked, this, [this] {
    player_->Resume();
    following_ = true;
    btnPlay_->setEnabled(false);
    btnPause_->setEnabled(true);
    trcSeek_->setEnabled(durationUs_ > 0);
  });
  connect(btnPause_, &QPushButton::clicked, this, [this] {
    player_->Pause();
    btnPlay_->setEnabled(true);
    btnPause_->setEnabled(false);
  });
  connect(trcSeek_, &TTrackBar2::Change, this, [this] {
    // A seek only for the user's moves, not for the position updates.
    if (!positioning_ && durationUs_ > 0 && trcSeek_->Max() > 0)
      player_->Seek(0, false, int64_t(double(trcSeek_->PositionL()) / trcSeek_->Max() * double(durationUs_)));
  });

  player_ = std::make_unique<TFFPlayer>();
  player_->TriggerEventInMainThread = false;
  // Runs on the player's video thread. One hand-over is queued at a time; a newer frame
  // replaces a waiting one.
  player_->OnHook = [this](TCustomPlayer*, TBitmap24& bitmap, int64_t pts) {
    const int gen = generation_.load();
    {
      std::lock_guard<std::mutex> guard(lock_);
      latest_ = bitmap;
      latestPts_ = pts;
      if (pending_) return;
      pending_ = true;
    }
    QMetaObject::invokeMethod(this, [this, gen] {
      if (gen == generation_.load()) TakeFrame();
    }, Qt::QueuedConnection);
  };
  // Raised during Open, on the calling thread.
  player_->OnFileOpen = [this](TCustomPlayer*, int64_t duration, int32_t fw, int32_t fh, int32_t&, int32_t&) {
    durationUs_ = std::max<int64_t>(0, duration);
    fw_ = fw;
    fh_ = fh;
    pixelAspect_ = ::PixelAspect(player_->AVProbe);
  };
  player_->OnState = [this](TCustomPlayer*, TPlayState state) {
    const int gen = generation_.load();
    QMetaObject::invokeMethod(this, [this, gen, state] {
      if (gen == generation_.load()) State(state);
    }, Qt::QueuedConnection);
  };
}

TWmPlayerBar::~TWmPlayerBar() {
  ++generation_;
  player_.reset();
}

bool TWmPlayerBar::Open(const std::string& file) {
  std::string error;
  if (!player_->AVLibLoaded() && !LoadCodecLibs(error)) return false;
  ++generation_;
  volume_->Apply(*player_);
  volume_->Attach(player_.get());
  player_->Hook = false;
  if (!player_->Open(file, hiddenPanel_, false)) return false;
  lblDuration_->setText(QString::fromStdString(FormatClock(RoundedSeconds(durationUs_))));
  lblPosition_->setText("00:00:00");
  positioning_ = true;
  trcSeek_->SetMax(std::max<int>(1, int(RoundedSeconds(durationUs_))));
  trcSeek_->SetPositionL(0);
  positioning_ = false;
  trcSeek_->setEnabled(durationUs_ > 0);
  btnPause_->setEnabled(true);
  following_ = true;
  player_->Hook = true;
  return true;
}

void TWmPlayerBar::Close() {
  player_->Hook = false;
  volume_->Attach(nullptr);
  ++generation_;
  following_ = false;
  if (player_->Paused()) player_->Resume();
  player_->Stop(true);
}

void TWmPlayerBar::TakeFrame() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    pending_ = false;
    if (!following_) return;
    std::swap(frame_, latest_);
    framePts_ = latestPts_;
  }
  ++framesShown_;
  lblPosition_->setText(QString::fromStdString(FormatClock(RoundedSeconds(framePts_))));
  if (durationUs_ > 0 && !trcSeek_->TrackingL()) {
    positioning_ = true;
    trcSeek_->SetPositionL(int(int64_t(trcSeek_->Max()) * framePts_ / durationUs_));
    positioning_ = false;
  }
  emit FrameArrived();
}

void TWmPlayerBar::State(TPlayState state) {
  if (state == psPause) {
    btnPlay_->setEnabled(true);
    btnPause_->setEnabled(false);
  }
  if (state == psEnd) {
    // The view keeps its last picture; the file rests at its start until Play.
    following_ = false;
    positioning_ = true;
    trcSeek_->SetPositionL(0);
    positioning_ = false;
    player_->Seek(4, false, 0);
    player_->Pause();
    btnPlay_->setEnabled(true);
    btnPause_->setEnabled(false);
    trcSeek_->setEnabled(false);
  }
}
