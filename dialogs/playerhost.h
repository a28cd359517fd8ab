// The player of a window that plays a file (the main window's preview panel, the crop, trim and
// watermark dialogs). It owns the player, hands the player's notices to the main thread and
// keeps what every such window does alike: the end of the file takes the playback back to its
// first picture, paused; the volume and mute follow the window's volume control; the seek bar
// follows the playback and seeks only when the user moves it.
//
// Threads: the player raises its position and state notices on its event thread and its frame
// hook on its video thread. Each is copied and posted to the main thread (a queued call),
// tagged with the playback it belongs to: every Open and Stop begins a new one, and a notice
// of an earlier playback that arrives after that is dropped (Open first lets the threads of the
// playback before end; after Stop the stopping playback's threads post nothing). Frames go through one slot: the
// video thread leaves the newest frame there (replacing one not taken yet) and posts one
// hand-over at a time. The window sees only signals on the main thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "media/bitmap.h"
#include "media/player.h"

class QAbstractButton;
class TAppSettings;
class TTrackBar2;
class TVideoSurfaceWidget;
class TVolumeControl;

class TPlayerHost : public QObject {
  Q_OBJECT
public:
  // Which moves of the seek bar seek (places the playback gives the bar never do).
  enum TSeekRule {
    srEveryMove,    // every change the user makes: keys, clicks, each step of a drag
    srHeldRelease,  // keys at once; a mouse press holds the bar (HoldBar) and its release seeks
    srReleaseOnly,  // only the release of a held bar
  };
  // What one step of the seek bar is.
  enum TBarScale {
    bsShare,    // a share of the file's duration: place = maximum * time / duration
    bsSeconds,  // a whole second (the maximum is the duration in seconds)
  };

  TPlayerHost(QObject* parent, TAppSettings& settings);
  ~TPlayerHost() override;

  TFFPlayer& Player() { return *player_; }
  // Loads the player's libraries (the codec libraries and SDL) from the program's folder, else
  // the system's; false, with the loader's message, when the player cannot play.
  bool LoadLibraries(std::string& error);

  // Opens the file into `surface` and starts playing it: a new playback. With `fillSurface`
  // the picture is laid out in the whole surface; with `hook` every frame is handed to the
  // window (FrameArrived). FileOpened is emitted during the call. False when it cannot play.
  bool Open(const std::string& file, TVideoSurfaceWidget* surface, bool fillSurface, bool hook);
  // Ends the playback (a paused one too): a new playback begins, which drops the notices of
  // the ended one still on their way. With `wait`, returns when its threads have ended.
  void Stop(bool wait);
  void Pause();
  // Plays on after a pause or the end of the file; the seek bar follows the playback again.
  void Resume();

  // Of the file last opened (set during Open).
  int64_t DurationUs() const { return durationUs_; }
  int FrameWidth() const { return fw_; }
  int FrameHeight() const { return fh_; }
  // The shown width of one picture pixel, its height counting 1 (see dialogs/displayshape.h).
  double PixelAspect() const { return pixelAspect_; }

  // The newest frame handed over and its time in microseconds (main thread; empty after Open
  // until the playback's first frame).
  const TBitmap24& Frame() const { return frame_; }
  int64_t FramePts() const { return framePts_; }
  int FramesShown() const { return framesShown_; }

  // The Play and Pause buttons of the window: Pause pauses; a pause and the end of the file
  // turn Play on and Pause off.
  void SetPauseButtons(QAbstractButton* play, QAbstractButton* pause);
  // The volume control whose volume and mute the player takes (at every Open and on every
  // change).
  void SetVolumeControl(TVolumeControl* volume);

  // The seek bar that follows the playback (no position notice moves it while the user holds
  // it) and seeks by the rule.
  void SetSeekBar(TTrackBar2* bar, TSeekRule rule, TBarScale scale);
  // Puts the seek bar at `place` without seeking.
  void ShowPlace(int place);
  // Seeks to the seek bar's place.
  void SeekToBar();
  // A mouse press that holds the seek bar, and its release: the release seeks once the bar
  // has taken it, and position notices of the time before the seek are kept off the bar a
  // little longer (a later press holds it again).
  void HoldBar();
  void ReleaseBar();
  bool BarHeld() const { return held_; }

signals:
  // During Open, on the calling thread: the file's duration (microseconds) and picture size.
  void FileOpened(int64_t durationUs, int frameWidth, int frameHeight);
  // The playback's position in microseconds (after the seek bar has followed it).
  void PositionChanged(int64_t pts);
  // The playback's state; at psEnd the playback is already on its way to its first picture,
  // paused.
  void StateChanged(TPlayState state);
  // A new frame was taken over (Frame, FramePts).
  void FrameArrived();

private:
  // Runs `call` on the main thread unless a playback after `playback` has begun by then.
  void Post(int playback, std::function<void()> call);
  void NewPlayback();
  void OnPosition(int64_t pts);
  void OnState(TPlayState state);
  void TakeFrame();

  TAppSettings& settings_;
  std::unique_ptr<TFFPlayer> player_;
  QPointer<TVolumeControl> volume_;
  TVideoSurfaceWidget* surface_ = nullptr;
  bool fillSurface_ = false;

  // Counts the playbacks (Open, Stop): notices carry the count of theirs. Changed on the main
  // thread under frameLock_, read by the player's threads.
  std::atomic<int> playback_{0};
  // No playback, or one that is stopping: its threads' notices are not posted. Set on the main
  // thread; cleared by Open once the threads of the playback before have ended.
  std::atomic<bool> stopped_{true};

  int64_t durationUs_ = 0;
  int fw_ = 0, fh_ = 0;
  double pixelAspect_ = 1.0;

  // The frame hand-over from the video thread.
  std::mutex frameLock_;  // latest_, latestPts_, pending_ (and the change of playback_)
  TBitmap24 latest_;
  int64_t latestPts_ = 0;
  bool pending_ = false;  // a hand-over is posted and not run yet
  // Main thread.
  TBitmap24 frame_;
  int64_t framePts_ = 0;
  int framesShown_ = 0;

  TTrackBar2* bar_ = nullptr;
  TSeekRule rule_ = srEveryMove;
  TBarScale scale_ = bsShare;
  bool positioning_ = false;  // the host moves the bar: no seek
  bool following_ = true;     // the bar follows the position (not after the end until Resume)
  bool pressed_ = false;      // the mouse holds the bar
  bool held_ = false;         // position notices leave the bar alone
  int holdSerial_ = 0;        // counts the presses: a later hold outlives an earlier release
};
