// The preview player component: properties, operations, the state machine and the delivery
// of its events. The playback itself is in media/player_read.cpp (reading and decoding) and
// media/player_present.cpp (clocks, presentation, sound output).
#include "media/player.h"

#include <cmath>
#include <cstdlib>

#include "media/dispatcher.h"
#include "media/errors.h"
#include "media/loader.h"
#include "media/player_playback.h"
#include "media/utils.h"

namespace {
// Only one player can have an open playback at a time.
std::mutex gOwnerLock;
TCustomPlayer* gOwner = nullptr;
}  // namespace

TLayoutRect LayoutPicture(float aspectRatio, double sar, int picWidth, int picHeight, int outWidth, int outHeight) {
  TLayoutRect r;
  if (outWidth <= 0 || outHeight <= 0 || picWidth <= 0 || picHeight <= 0) return r;
  double a;
  if (aspectRatio >= 0) {
    a = aspectRatio;
    if (a <= 0) a = (sar > 0 ? sar : 1.0) * picWidth / picHeight;
  } else {
    a = double(outWidth) / outHeight;
  }
  int height = outHeight;
  int width = int(std::lrint(height * a)) & ~1;
  if (width > outWidth) {
    width = outWidth;
    height = int(std::lrint(width / a)) & ~1;
  }
  r.Width = width;
  r.Height = height;
  r.X = (outWidth - width) / 2;
  r.Y = (outHeight - height) / 2;
  return r;
}

TCustomPlayer::TCustomPlayer()
    : hookConverter_(std::make_unique<TPictureConverter>()), snapshotConverter_(std::make_unique<TPictureConverter>()) {
}

TCustomPlayer::~TCustomPlayer() {
  // No event reaches the application from here on; the handlers themselves are released
  // once the threads that read them have ended.
  eventsDetached_ = true;
  Hook = false;
  Stop(true);
  JoinThreads();
  OnPosition = nullptr;
  OnState = nullptr;
  OnHook = nullptr;
}

bool TCustomPlayer::LoadAVLib(const std::string& folder) {
  FFLoader().SetLibraryFolder(folder);
  if (FFLoader().LoadLibs(kPlayerLibs)) return true;
  std::lock_guard<std::mutex> g(stateLock_);
  lastErr_ = FFLoader().LastError();
  return false;
}

bool TCustomPlayer::AVLibLoaded() const { return FFLoader().LibsLoaded(kPlayerLibs); }

std::string TCustomPlayer::FileName() const {
  std::lock_guard<std::mutex> g(stateLock_);
  return fileName_;
}

std::string TCustomPlayer::LastErrMsg() const {
  std::lock_guard<std::mutex> g(stateLock_);
  return lastErr_;
}

// A playback that was told to stop is no longer open, also while its threads still end.
bool TCustomPlayer::IsOpen() const { return playback_.load() != nullptr && !stopRequested_; }

TPlayerCounters TCustomPlayer::Counters() const {
  std::lock_guard<std::mutex> g(countersLock_);
  return counters_;
}

void TCustomPlayer::SetLastError(const std::string& msg, TLogLevel level, bool store) {
  GetFFLogger().Log(this, level, msg);
  if (!store) return;
  std::lock_guard<std::mutex> g(stateLock_);
  lastErr_ = msg;
}

int64_t TCustomPlayer::MasterClockUS() const {
  // Called from the play thread (surfaces) or the main thread; the playback cannot go away
  // on the play thread while it handles an event.
  TPlayback* pb = playback_.load();
  if (!pb) return -1;
  return int64_t(std::llround(pb->MasterClock() * 1e6)) - pb->startTime;
}

// ---- the event queue and the event thread ----

void TCustomPlayer::ResetEventQueue() {
  std::lock_guard<std::mutex> g(queueLock_);
  readIndex_ = writeIndex_ = 0;
}

void TCustomPlayer::QueueEvent(const TEventEntry& e) {
  std::lock_guard<std::mutex> g(queueLock_);
  int newest = (writeIndex_ + 9) % 10;
  if (readIndex_ != writeIndex_ && ring_[newest].Kind == e.Kind) {
    // Coalesce: a slow receiver sees the newest position or state, never a backlog.
    ring_[newest] = e;
  } else {
    ring_[writeIndex_] = e;
    writeIndex_ = (writeIndex_ + 1) % 10;
    if (writeIndex_ == readIndex_) readIndex_ = (readIndex_ + 1) % 10;  // drop the oldest
  }
  queueSignal_.notify_all();
}

bool TCustomPlayer::TakeEvent(TEventEntry& e) {
  std::lock_guard<std::mutex> g(queueLock_);
  if (readIndex_ == writeIndex_) return false;
  e = ring_[readIndex_];
  readIndex_ = (readIndex_ + 1) % 10;
  return true;
}

void TCustomPlayer::SetState(TPlayState s) {
  state_ = s;
  if (OnState) {
    QueueEvent({2, s, 0});
  } else if (s == psStop) {
    QueueEvent({3, s, 0});
  }
}

void TCustomPlayer::EventThreadMain() {
  for (;;) {
    TEventEntry e;
    {
      std::unique_lock<std::mutex> g(queueLock_);
      queueSignal_.wait(g, [&] { return readIndex_ != writeIndex_; });
    }
    if (!TakeEvent(e)) continue;
    delivered_ = e;
    bool end = false;
    std::function<void()> call;
    if (e.Kind == 1) {
      if (OnPosition) call = [this, e] { OnPosition(this, e.Position); };
    } else if (e.Kind == 2) {
      if (OnState) call = [this, e] { OnState(this, e.State); };
      end = e.State == psStop;
    } else {
      end = true;
    }
    if (call && !eventsDetached_) {
      try {
        if (TriggerEventInMainThread)
          RunInMainThread(call);
        else
          call();
      } catch (const std::exception& ex) {
        GetFFLogger().Log(this, llError, std::string("Error in player event handler: ") + ex.what());
      }
    }
    if (end) break;
  }
  eventThreadRunning_ = false;
}

// ---- waiting on the main thread ----

bool TCustomPlayer::WaitServing(const std::function<bool()>& pred, int timeoutMs) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (pred()) return true;
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(timeoutMs))
      return false;
    if (IsMainThread()) {
      ProcessPendingMessages();
      if (&MainThreadDispatcher() == &HeadlessDispatcher()) {
        HeadlessDispatcher().WaitAndProcess(5);
        continue;
      }
    }
    SleepMs(5);
  }
}

void TCustomPlayer::JoinThreads() {
  if (playThread_.joinable()) {
    WaitServing(
        [&] {
          std::lock_guard<std::mutex> g(playThreadLock_);
          return !playThreadRunning_;
        },
        -1);
    playThread_.join();
  }
  if (eventThread_.joinable()) {
    // The event thread may be waiting for the main thread to run a handler.
    WaitServing([&] { return !eventThreadRunning_.load(); }, -1);
    eventThread_.join();
  }
}

void TCustomPlayer::PushLoopEvent(int kind, TPlayback* pb) {
  std::lock_guard<std::mutex> g(loopQueueLock_);
  loopEvents_.emplace_back(kind, pb);
  loopQueueSignal_.notify_all();
}

// ---- Open, Stop and the play thread ----

bool TCustomPlayer::Open(const std::string& fileName, IVideoSurface* screen, bool paused) {
  if (!AVLibLoaded()) {
    SetLastError("libav or libsdl not loaded.");
    return false;
  }
  Stop(true);
  JoinThreads();
  stopRequested_ = false;
  // Another player whose playback was stopped without waiting is still ending it: wait for
  // that (briefly), then the one-open-playback rule holds.
  WaitServing(
      [&] {
        std::lock_guard<std::mutex> g(gOwnerLock);
        return !gOwner || gOwner == this || !gOwner->stopRequested_;
      },
      2000);
  {
    std::lock_guard<std::mutex> g(gOwnerLock);
    if (gOwner && gOwner != this) {
      SetLastError("another player has an open playback; stop it first.");
      return false;
    }
    gOwner = this;
  }
  auto release = [&] {
    std::lock_guard<std::mutex> g(gOwnerLock);
    if (gOwner == this) gOwner = nullptr;
  };

  // Sound drivers: the default leaves SDL's own choice (and SDL_AUDIODRIVER as it is).
  if (AudioDriver == adDirectSound) setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
  if (AudioDriver == adWaveOut) setenv("SDL_AUDIODRIVER", "alsa", 1);
  sdlAudio_ = false;
  if (!DisableAudio) {
    // SDL would catch SIGINT and SIGTERM for a quit event of its own, which nobody reads here:
    // the program could no longer be stopped while its sound is open. The signals stay the
    // program's (the desktop program closes on them, app/quitsignals.h).
    ff::SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (ff::SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
      sdlAudio_ = true;
      const char* drv = ff::SDL_GetCurrentAudioDriver();
      ff::av_log(nullptr, AV_LOG_DEBUG, "using audio driver: %s\n", drv ? drv : "");
    } else {
      // No sound device: the picture plays alone.
      SetLastError(std::string("SDL_OpenAudio() failed: ") + ff::SDL_GetError(), llError, false);
    }
  }
  if (DisableDisplay) DisableVideo = true;
  {
    std::lock_guard<std::mutex> g(countersLock_);
    counters_ = TPlayerCounters{};
  }
  {
    std::lock_guard<std::mutex> g(loopQueueLock_);
    loopEvents_.clear();
  }

  auto pb = std::make_unique<TPlayback>(this);
  pb->fileName = fileName;
  pb->startPaused = paused;
  screen_ = screen;
  // The play state is set before the decoding starts, so that the pause of a playback
  // opened paused (raised by the video thread) follows it rather than being overtaken.
  ResetEventQueue();
  SetState(psPlay);
  if (!pb->Start()) {
    ResetEventQueue();
    state_ = psStop;
    pb.reset();
    if (sdlAudio_) ff::SDL_QuitSubSystem(SDL_INIT_AUDIO);
    sdlAudio_ = false;
    release();
    return false;
  }
  {
    std::lock_guard<std::mutex> g(stateLock_);
    fileName_ = fileName;
  }
  TPlayback* p = pb.release();
  position_ = 0;
  AVProbe.AttachContext(p->ic);

  int32_t sw = ScreenWidth, sh = ScreenHeight;
  if (OnFileOpen) {
    int64_t duration = p->imageSequence ? 0 : p->duration;
    int32_t fw = p->videoSt ? p->UprightWidth() : -1;
    int32_t fh = p->videoSt ? p->UprightHeight() : -1;
    auto call = [&] { OnFileOpen(this, duration, fw, fh, sw, sh); };
    if (TriggerEventInMainThread && !IsMainThread())
      RunInMainThread(call);
    else
      call();
  }
  if ((sw <= 0 || sh <= 0) && screen_) {
    int cw = 0, ch = 0;
    screen_->ClientSize(cw, ch);
    if (sw <= 0) sw = cw;
    if (sh <= 0) sh = ch;
  }
  ScreenWidth = sw;
  ScreenHeight = sh;
  p->outWidth = sw;
  p->outHeight = sh;
  if (screen_) screen_->ClientSize(p->surfaceWidth, p->surfaceHeight);
  if (!p->videoSt && !DisableDisplay && p->audioSt) p->sound.showAudio = 1;

  playback_ = p;
  {
    std::lock_guard<std::mutex> g(playThreadLock_);
    playThreadRunning_ = true;
  }
  eventThreadRunning_ = true;
  eventThread_ = std::thread([this] { EventThreadMain(); });
  playThread_ = std::thread([this, p] { PlayThreadMain(p); });
  p->refreshThread = std::thread([p] { p->RefreshThread(); });
  return true;
}

void TCustomPlayer::PlayThreadMain(TPlayback* pb) {
  try {
    for (;;) {
      std::pair<int, TPlayback*> ev;
      {
        std::unique_lock<std::mutex> g(loopQueueLock_);
        loopQueueSignal_.wait(g, [&] { return !loopEvents_.empty(); });
        ev = loopEvents_.front();
        loopEvents_.pop_front();
      }
      std::unique_lock<std::mutex> lock(loopLock_);
      if (playback_.load() != pb) break;
      if (ev.second != pb) continue;
      switch (ev.first) {
        case leQuit:
        case leQuitRequest:
          ShutdownPlayback(pb);
          pb = nullptr;
          break;
        case leRefresh:
          pb->Refresh(true);
          pb->refreshPending = false;
          break;
        case leResize:
        case leExpose:
          if (pb->paused)
            pb->Refresh(false);
          else
            pb->Display();
          break;
        case leRelayout:
          pb->Display();
          break;
        default:
          break;
      }
      if (!pb) break;
    }
  } catch (const std::exception& e) {
    GetFFLogger().Log(this, llFatal, std::string("PlayThread Exception: ") + e.what());
    std::unique_lock<std::mutex> lock(loopLock_);
    if (playback_.load() == pb) ShutdownPlayback(pb);
  }
  SetState(psStop);
  std::lock_guard<std::mutex> g(playThreadLock_);
  playThreadRunning_ = false;
  playThreadDone_.notify_all();
}

// Runs with the event-loop lock held.
void TCustomPlayer::ShutdownPlayback(TPlayback* pb) {
  if (!pb || playback_.load() != pb) return;
  pb->Close();
  playback_ = nullptr;
  delete pb;
  seeking_ = false;
  step_ = false;
  if (sdlAudio_) ff::SDL_QuitSubSystem(SDL_INIT_AUDIO);
  sdlAudio_ = false;
  std::lock_guard<std::mutex> g(gOwnerLock);
  if (gOwner == this) gOwner = nullptr;
}

void TCustomPlayer::Stop(bool wait) {
  // Only the first stop of a playback touches it: after that the play thread may be freeing it.
  const bool alreadyStopping = stopRequested_.exchange(true);
  TPlayback* pb = alreadyStopping ? nullptr : playback_.load();
  if (pb) {
    if (pb->paused) {
      pb->TogglePause();
      step_ = false;
    }
    PushLoopEvent(leQuit, pb);
  }
  if (!wait) return;
  int tries = 0;
  for (;;) {
    bool done = WaitServing(
        [&] {
          std::lock_guard<std::mutex> g(playThreadLock_);
          return !playThreadRunning_;
        },
        100);
    if (done || !playback_.load()) break;
    // The event-loop lock, for at most 100 ms.
    std::unique_lock<std::mutex> lock(loopLock_, std::defer_lock);
    auto lockEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (!lock.try_lock() && std::chrono::steady_clock::now() < lockEnd) SleepMs(2);
    if (!lock.owns_lock()) continue;
    TPlayback* cur = playback_.load();
    if (!cur) break;
    ++tries;
    if ((tries <= 10 || !cur->reader.insideRead) && tries <= 20) {
      PushLoopEvent(leQuit, cur);
      continue;
    }
    // The event loop did not end the playback in time (its reader is stuck in a read):
    // shut it down from here.
    ShutdownPlayback(cur);
    PushLoopEvent(leQuit, cur);  // wakes the event loop, which finds no playback and ends
    break;
  }
  JoinThreads();
}

// ---- Pause, resume, step, seek ----

// A playback that was told to stop is left alone: its play thread may be freeing it.
bool TCustomPlayer::Paused() const {
  if (stopRequested_) return true;
  TPlayback* pb = playback_.load();
  return !pb || pb->paused;
}

void TCustomPlayer::Pause() {
  if (stopRequested_) return;
  TPlayback* pb = playback_.load();
  if (!pb || pb->paused) return;
  pb->TogglePause();
  step_ = false;
  SetState(psPause);
}

void TCustomPlayer::Resume() {
  if (stopRequested_) return;
  TPlayback* pb = playback_.load();
  if (!pb || !pb->paused) return;
  pb->TogglePause();
  step_ = false;
  SetState(psResume);
}

void TCustomPlayer::StepToNextFrame() {
  if (stopRequested_) return;
  TPlayback* pb = playback_.load();
  if (!pb) return;
  if (pb->paused) pb->TogglePause();
  if (!step_.exchange(true)) SetState(psStep);
}

void TCustomPlayer::Seek(int flags, bool wait, int64_t position) {
  if (stopRequested_) return;
  TPlayback* pb = playback_.load();
  if (!pb) return;
  int64_t rel = 0;
  if (!(flags & AVSEEK_FLAG_BYTE)) {
    if (pb->duration > 0 && position > pb->duration) position = pb->duration;
    rel = position <= 0 ? 1 : 0;
    position += pb->startTime;
  }
  pb->RequestSeek(flags, wait, rel, position);
}

void TCustomPlayer::SetAspectRatio(float value) {
  if (aspectRatio_.exchange(value) == value) return;
  if (TPlayback* pb = playback_.load()) PushLoopEvent(leRelayout, pb);
}

// ---- position reporting and the current picture ----

void TCustomPlayer::ReportPosition(TPlayback* pb) {
  if (pb->imageSequence) return;
  double clk = pb->videoSt ? pb->VideoClock() : pb->AudioClock();
  int64_t pos = int64_t(std::llround(clk * 1e6)) - pb->startTime;
  std::lock_guard<std::mutex> g(pb->reportLock);
  if (!pb->videoSt && pb->sound.audioDurationUS >= 0 && pos >= pb->sound.audioDurationUS && pb->duration >= 0)
    pos = pb->duration;
  bool force = false;
  if (pb->duration > 0 && pos >= pb->duration) {
    pos = pb->duration;
    force = true;
  }
  position_ = pos;
  // The picture clock runs on between pictures, so after a late picture it can step back a
  // little; such steps are not reported (the seek bar would jitter backwards). Backwards
  // moves are reported after a seek, or when they are too large to be such a step.
  const int64_t back = pb->lastReported == INT64_MIN ? 0 : pb->lastReported - pos;
  const bool moved = pb->lastReported == INT64_MIN || pos - pb->lastReported > 10000 ||
                     (back > 10000 && (pb->positionJumped || back > 1000000));
  if (moved || force) {
    pb->lastReported = pos;
    if (back > 10000) pb->positionJumped = false;
    QueueEvent({1, psPlay, pos});
  }
  if (pb->reader.allDrained && !pb->captureDevice) {
    if (pb->videoSt) {
      if (!pb->endStateReported.exchange(true)) SetState(psEnd);
    } else {
      SetState(psEnd);
    }
  }
}

const TBitmap24& TCustomPlayer::GetCurrentFrame(int64_t& position) {
  position = -1;
  TPlayback* pb = playback_.load();
  TBitmap24& bmp = snapshotConverter_->Bitmap;
  if (!pb || !pb->videoSt) {
    bmp.SetSize(0, 0);
    return bmp;
  }
  std::lock_guard<std::mutex> g(pb->video.currentLock);
  int w = pb->UprightWidth(), h = pb->UprightHeight();
  bmp.SetSize(w, h);
  std::fill(bmp.Pixels.begin(), bmp.Pixels.end(), 0);
  if (!pb->video.haveCurrent) return bmp;
  position = int64_t(std::llround(pb->video.currentPts * 1e6)) - pb->startTime;
  AVFrame* f = pb->video.current.get();
  if (!PictureToBitmap(*snapshotConverter_, f, AVPixelFormat(f->format), f->height, f->width)) bmp.SetSize(0, 0);
  return bmp;
}

void TCustomPlayer::RunHook(TPlayback* pb, AVFrame* frame, double t) {
  if (!Hook || !OnHook) return;
  AVPixelFormat fmt = AVPixelFormat(frame->format);
  if (ff::av_frame_make_writable(frame) < 0 ||
      !PictureToBitmap(*hookConverter_, frame, fmt, frame->height, frame->width)) {
    GetFFLogger().Log(this, llError, "Cannot initialize the toRGB conversion context");
    return;
  }
  try {
    OnHook(this, hookConverter_->Bitmap, int64_t(std::llround(t * 1e6)) - pb->startTime);
  } catch (const std::exception& e) {
    GetFFLogger().Log(this, llError, std::string("Error occurs OnHook: ") + e.what());
    return;
  } catch (...) {
    GetFFLogger().Log(this, llError, "Error occurs OnHook: unknown error");
    return;
  }
  if (!BitmapToPicture(*hookConverter_, frame, fmt, frame->height, frame->width))
    GetFFLogger().Log(this, llError, "Cannot initialize the fromRGB conversion context");
}
