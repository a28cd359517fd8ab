#include "dialogs/playerhost.h"

#include <QAbstractButton>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "app/core/apppaths.h"
#include "app/core/settings.h"
#include "controls/trackbar.h"
#include "controls/videosurface.h"
#include "dialogs/displayshape.h"
#include "dialogs/volumecontrol.h"
#include "media/loader.h"

namespace {
// How long position notices leave the seek bar alone after the release that seeks.
constexpr int kSeekSettleMs = 300;
}  // namespace

TPlayerHost::TPlayerHost(QObject* parent, TAppSettings& settings) : QObject(parent), settings_(settings) {
  player_ = std::make_unique<TFFPlayer>();
  player_->TriggerEventInMainThread = false;
  // Raised during Open, on the calling thread.
  player_->OnFileOpen = [this](TCustomPlayer*, int64_t duration, int32_t fw, int32_t fh, int32_t& sw, int32_t& sh) {
    durationUs_ = std::max<int64_t>(0, duration);
    fw_ = fw;
    fh_ = fh;
    pixelAspect_ = ::PixelAspect(player_->AVProbe);
    if (fillSurface_ && surface_) {
      sw = surface_->width();
      sh = surface_->height();
    }
    emit FileOpened(duration, fw, fh);
  };
  // The event thread. The count is read before the stop mark: a Stop in between either
  // changed the count already or is seen by the mark.
  player_->OnPosition = [this](TCustomPlayer*, int64_t pts) {
    const int playback = playback_;
    if (!stopped_) Post(playback, [this, pts] { OnPosition(pts); });
  };
  player_->OnState = [this](TCustomPlayer*, TPlayState state) {
    const int playback = playback_;
    if (!stopped_) Post(playback, [this, state] { OnState(state); });
  };
  // The video thread: one hand-over is posted at a time; a newer frame replaces a waiting one.
  player_->OnHook = [this](TCustomPlayer*, TBitmap24& bitmap, int64_t pts) {
    int playback;
    {
      std::lock_guard<std::mutex> guard(frameLock_);
      if (stopped_) return;
      playback = playback_;
      latest_ = bitmap;
      latestPts_ = pts;
      if (pending_) return;
      pending_ = true;
    }
    Post(playback, [this] { TakeFrame(); });
  };
}

TPlayerHost::~TPlayerHost() {
  stopped_ = true;
  NewPlayback();
  if (volume_) volume_->Attach(nullptr);
  // The player stops here, before the surface it draws into goes.
  player_.reset();
}

bool TPlayerHost::LoadLibraries(std::string& error) { return LoadCodecLibraries(kPlayerLibs, error); }

void TPlayerHost::Post(int playback, std::function<void()> call) {
  QMetaObject::invokeMethod(
      this,
      [this, playback, call = std::move(call)] {
        if (playback == playback_.load()) call();
      },
      Qt::QueuedConnection);
}

void TPlayerHost::NewPlayback() {
  // Under the hand-over's lock: a frame is tagged with the playback its slot belongs to, and a
  // dropped hand-over of the ended playback leaves the slot free for the next one.
  std::lock_guard<std::mutex> guard(frameLock_);
  ++playback_;
  pending_ = false;
}

bool TPlayerHost::Open(const std::string& file, TVideoSurfaceWidget* surface, bool fillSurface, bool hook) {
  // The playback before ends first, its threads with it: none of its notices is raised after
  // this, and those on their way carry its count.
  player_->Hook = false;
  player_->Stop(true);
  NewPlayback();
  stopped_ = false;
  durationUs_ = 0;
  fw_ = fh_ = 0;
  pixelAspect_ = 1.0;
  frame_ = TBitmap24();
  framePts_ = 0;
  surface_ = surface;
  fillSurface_ = fillSurface;
  following_ = true;
  // The stored volume and mute, shown by the control when there is one.
  if (volume_) {
    volume_->Load();
  } else {
    const TSettingsValues stored = settings_.Read();
    player_->AudioVolume = stored.Volume;
    player_->Mute = stored.Mute;
  }
  player_->Hook = hook;
  if (player_->Open(file, surface, false)) return true;
  // What the failed attempt reported is dropped.
  stopped_ = true;
  NewPlayback();
  return false;
}

void TPlayerHost::Stop(bool wait) {
  // The threads of a playback stopped without waiting may still raise notices: dropped at once.
  stopped_ = true;
  NewPlayback();
  pressed_ = held_ = false;
  ++holdSerial_;
  player_->Hook = false;
  if (player_->Paused()) player_->Resume();
  player_->Stop(wait);
}

void TPlayerHost::Pause() { player_->Pause(); }

void TPlayerHost::Resume() {
  following_ = true;
  player_->Resume();
}

void TPlayerHost::SetPauseButtons(QAbstractButton* play, QAbstractButton* pause) {
  const auto paused = [play, pause] {
    play->setEnabled(true);
    pause->setEnabled(false);
  };
  connect(pause, &QAbstractButton::clicked, this, [this, paused] {
    Pause();
    paused();
  });
  connect(this, &TPlayerHost::StateChanged, pause, [paused](TPlayState state) {
    if (state == psPause || state == psEnd) paused();
  });
}

void TPlayerHost::SetVolumeControl(TVolumeControl* volume) {
  volume_ = volume;
  volume->Attach(player_.get());
}

// ---- notices on the main thread ----

void TPlayerHost::OnPosition(int64_t pts) {
  if (bar_ && following_ && !held_ && !bar_->TrackingL() && durationUs_ > 0) {
    const double share = double(bar_->Max()) * double(pts) / double(durationUs_);
    ShowPlace(scale_ == bsSeconds ? int(share + 0.5) : int(int64_t(bar_->Max()) * pts / durationUs_));
  }
  emit PositionChanged(pts);
}

void TPlayerHost::OnState(TPlayState state) {
  if (state == psEnd) {
    // The file rests on its first picture, paused, until it plays again. Paused first: a
    // paused playback decodes up to the first picture of the place it seeks to, while one
    // that pauses just after the seek may keep showing the last picture.
    following_ = false;
    if (bar_) ShowPlace(0);
    player_->Pause();
    player_->Seek(0, false, 0);
  }
  emit StateChanged(state);
}

void TPlayerHost::TakeFrame() {
  {
    std::lock_guard<std::mutex> guard(frameLock_);
    pending_ = false;
    std::swap(frame_, latest_);
    framePts_ = latestPts_;
  }
  ++framesShown_;
  emit FrameArrived();
}

// ---- the seek bar ----

void TPlayerHost::SetSeekBar(TTrackBar2* bar, TSeekRule rule, TBarScale scale) {
  bar_ = bar;
  rule_ = rule;
  scale_ = scale;
  connect(bar_, &TTrackBar2::Change, this, [this] {
    if (positioning_ || rule_ == srReleaseOnly || (rule_ == srHeldRelease && held_)) return;
    SeekToBar();
  });
}

void TPlayerHost::ShowPlace(int place) {
  positioning_ = true;
  bar_->SetPositionL(place);
  positioning_ = false;
}

void TPlayerHost::SeekToBar() {
  if (!player_->IsOpen() || durationUs_ <= 0 || bar_->Max() <= 0) return;
  const int place = bar_->PositionL();
  player_->Seek(0, false,
                scale_ == bsSeconds ? int64_t(place) * 1000000
                                    : int64_t(double(place) / bar_->Max() * double(durationUs_)));
}

void TPlayerHost::HoldBar() {
  pressed_ = held_ = true;
  ++holdSerial_;
}

void TPlayerHost::ReleaseBar() {
  if (!pressed_) return;
  pressed_ = false;
  // The bar takes the release first.
  QTimer::singleShot(0, this, [this, serial = holdSerial_] {
    if (serial != holdSerial_) return;
    SeekToBar();
    QTimer::singleShot(kSeekSettleMs, this, [this, serial] {
      if (serial == holdSerial_) held_ = false;
    });
  });
}
