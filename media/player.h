// The preview player: plays one media file into a video surface given by the application,
// with sound through SDL, and reports what happens through four events (file opened,
// position, play state, per-frame hook).
//
// Threads of a player: the caller's (main) thread runs every operation; the play thread runs
// the playback's event loop (refresh, display, layout); the event thread delivers OnPosition
// and OnState (on the main thread through the dispatcher when TriggerEventInMainThread is
// set); inside a playback the reader, video, subtitle and refresh threads and SDL's audio
// callback thread (media/player_playback.h).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "media/bitmap.h"
#include "media/logger.h"
#include "media/probe.h"
#include "media/subtitletext.h"

enum TPlayState : int { psPlay, psPause, psResume, psStep, psStop, psEnd };
enum TAudioDriver : int { adDefault, adDirectSound, adWaveOut };
enum TVideoDriver : int { vdDefault, vdDirectDraw, vdGDI };
using TAudioVolume = int;  // 0 to 128

// Where the player's pictures go. Implemented by a Qt widget in the desktop program and by
// in-memory surfaces in tests and benchmarks.
class IVideoSurface {
public:
  virtual ~IVideoSurface() = default;
  // The drawable size in pixels. Any thread.
  virtual void ClientSize(int& width, int& height) const = 0;
  // Shows one finished picture: `picture` already has the size it is to be drawn at and goes
  // to (x, y) of an output area of outWidth × outHeight; the rest of the area is black. `pts`
  // is the picture's time in microseconds from the file start (-1 for the wave display).
  // Called on the player's play thread; the surface copies what it keeps.
  virtual void Present(const TBitmap24& picture, int x, int y, int outWidth, int outHeight, int64_t pts) = 0;
  // The text subtitles to show over the picture from now on (UTF-8 runs with their look and
  // place; no events: none). Called on the play thread, before the Present of the first
  // picture it goes with, whenever they change (and once at the first picture of each
  // playback). A surface that draws no text ignores them.
  virtual void ShowSubtitle(const TSubtitleText& text) { (void)text; }
};

// The picture rectangle inside an output area (Display): the largest rectangle of aspect a
// (widths and heights rounded down to even numbers), centred.
struct TLayoutRect {
  int X = 0, Y = 0, Width = 0, Height = 0;
};
// aspectRatio is the player's property (> 0 forced, 0 the picture's own, < 0 fill); sar the
// picture's sample aspect (<= 0 counts as 1).
TLayoutRect LayoutPicture(float aspectRatio, double sar, int picWidth, int picHeight, int outWidth, int outHeight);

// A manual-reset event.
class TManualEvent {
public:
  explicit TManualEvent(bool initial) : set_(initial) {}
  void Set() {
    std::lock_guard<std::mutex> g(m_);
    set_ = true;
    cv_.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> g(m_);
    set_ = false;
  }
  bool IsSet() {
    std::lock_guard<std::mutex> g(m_);
    return set_;
  }
  bool Wait(int ms) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return set_; });
  }

private:
  std::mutex m_;
  std::condition_variable cv_;
  bool set_;
};

class TCustomPlayer;
using TFileOpenEvent = std::function<void(TCustomPlayer* Sender, int64_t ADuration, int32_t AFrameWidth,
                                          int32_t AFrameHeight, int32_t& AScreenWidth, int32_t& AScreenHeight)>;
using TPositionEvent = std::function<void(TCustomPlayer* Sender, int64_t APTS)>;
using TPlayStateEvent = std::function<void(TCustomPlayer* Sender, TPlayState AState)>;
// ABitmap holds the frame (BGR, top row first); what the handler draws is what is shown.
using THookEvent = std::function<void(TCustomPlayer* Sender, TBitmap24& ABitmap, int64_t APTS)>;

struct TPlayback;
struct TPictureConverter;
struct AVFrame;

// Figures of the current or last playback, for tests and benchmarks.
struct TPlayerCounters {
  int64_t PicturesShown = 0;
  int64_t PicturesDropped = 0;   // late pictures dropped by the refresh
  int64_t PicturesSkipped = 0;   // decoded pictures dropped by the skip factor
  int64_t AudioBytesPlayed = 0;  // decoded sound bytes consumed by the sound device (muted ones too)
  int64_t SilenceBytes = 0;      // bytes of silence handed to the device (nothing decoded, or muted)
};

class TCustomPlayer : public TFFBaseComponent {
public:
  TCustomPlayer();
  ~TCustomPlayer() override;
  TCustomPlayer(const TCustomPlayer&) = delete;
  TCustomPlayer& operator=(const TCustomPlayer&) = delete;

  // Loads the player library set (codec libraries and SDL) from the folder, else the system.
  bool LoadAVLib(const std::string& folder);
  bool AVLibLoaded() const;

  // Opens the file and starts playing into the surface (null: no surface; the output size
  // then comes from ScreenWidth/ScreenHeight, else 640 × 480). With paused, the playback
  // pauses once its first pictures are decoded.
  bool Open(const std::string& fileName, IVideoSurface* screen, bool paused = false);
  // Ends the playback; with wait, returns when the play thread has ended.
  void Stop(bool wait);
  void Pause();
  void Resume();
  void StepToNextFrame();
  // flags: the library's seek flags (AVSEEK_FLAG_ANY = 4, AVSEEK_FLAG_BYTE = 2); position in
  // microseconds from the file start. With wait, returns when the first picture after the
  // seek has been queued.
  void Seek(int flags, bool wait, int64_t position);
  bool Paused() const;
  // A 24-bit copy of the current picture and its time (-1 without playback or video). The
  // bitmap belongs to the player and is overwritten by the next call.
  const TBitmap24& GetCurrentFrame(int64_t& position);

  // Properties.
  float AspectRatio() const { return aspectRatio_.load(); }
  void SetAspectRatio(float value);
  TAudioDriver AudioDriver = adDefault;
  TVideoDriver VideoDriver = vdDefault;
  std::atomic<int> AudioVolume{128};
  bool DisableAudio = false;
  bool DisableVideo = false;
  bool DisableDisplay = false;
  std::atomic<bool> Mute{false};
  int32_t FrameWidth = 0, FrameHeight = 0;
  std::atomic<bool> Hook{false};
  int32_t ScreenWidth = 0, ScreenHeight = 0;
  bool TriggerEventInMainThread = true;
  static const char* Version() { return "2.3"; }

  // Events. Set them while no playback is open.
  TFileOpenEvent OnFileOpen;
  THookEvent OnHook;
  TPositionEvent OnPosition;
  TPlayStateEvent OnState;

  // State.
  TCustomAVProbe AVProbe;
  std::string FileName() const;
  std::string LastErrMsg() const;
  TPlayState State() const { return state_.load(); }
  int64_t CurrentPosition() const { return position_.load(); }
  bool IsOpen() const;
  // The master clock of the open playback in microseconds from the file start (the sound
  // clock when sound plays, else the picture clock); -1 without playback.
  int64_t MasterClockUS() const;
  TPlayerCounters Counters() const;

private:
  friend struct TPlayback;

  struct TEventEntry {
    int Kind = 0;  // 1 position, 2 state, 3 quit
    TPlayState State = psPlay;
    int64_t Position = 0;
  };

  void SetLastError(const std::string& msg, TLogLevel level = llError, bool store = true);
  void SetState(TPlayState s);
  void QueueEvent(const TEventEntry& e);
  bool TakeEvent(TEventEntry& e);
  void ResetEventQueue();
  void EventThreadMain();
  void PlayThreadMain(TPlayback* pb);
  void ShutdownPlayback(TPlayback* pb);
  // Waits (in slices that serve the main thread's pending calls) until pred is true or
  // timeoutMs passed (negative: no limit).
  bool WaitServing(const std::function<bool()>& pred, int timeoutMs);
  void JoinThreads();
  void ReportPosition(TPlayback* pb);
  void RunHook(TPlayback* pb, AVFrame* frame, double t);

  std::atomic<float> aspectRatio_{0.0f};
  std::atomic<TPlayState> state_{psStop};
  std::atomic<int64_t> position_{0};
  mutable std::mutex stateLock_;  // fileName_, lastErr_
  std::string fileName_;
  std::string lastErr_;

  IVideoSurface* screen_ = nullptr;
  std::atomic<TPlayback*> playback_{nullptr};
  std::atomic<bool> step_{false};
  std::atomic<bool> seeking_{false};
  // Set by Stop: a playback that is still being shut down shows no more pictures.
  std::atomic<bool> stopRequested_{false};
  TManualEvent seekDone_{true};
  TManualEvent pictureEvent_{true};

  // The event loop lock: held by the play thread while it handles one event, and by Stop
  // before it decides to shut the playback down itself.
  std::mutex loopLock_;
  std::mutex playThreadLock_;
  std::condition_variable playThreadDone_;
  bool playThreadRunning_ = false;

  // The event queue: a ring of 10 with coalescing of equal kinds.
  std::mutex queueLock_;
  std::condition_variable queueSignal_;
  TEventEntry ring_[10];
  int readIndex_ = 0, writeIndex_ = 0;
  TEventEntry delivered_;
  std::atomic<bool> eventThreadRunning_{false};
  std::atomic<bool> eventsDetached_{false};  // set by the destructor: no more handler calls

  // The play thread's event loop queue: (kind, playback) pairs.
  std::mutex loopQueueLock_;
  std::condition_variable loopQueueSignal_;
  std::deque<std::pair<int, TPlayback*>> loopEvents_;
  void PushLoopEvent(int kind, TPlayback* pb);

  std::thread playThread_;
  std::thread eventThread_;

  std::unique_ptr<TPictureConverter> hookConverter_;
  std::unique_ptr<TPictureConverter> snapshotConverter_;
  TBitmap24 emptyBitmap_;

  mutable std::mutex countersLock_;
  TPlayerCounters counters_;
  bool sdlAudio_ = false;
};

class TFFPlayer : public TCustomPlayer {
public:
  using TCustomPlayer::TCustomPlayer;
};
