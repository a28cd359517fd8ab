// The running state of one opened file inside a preview player: the reader, video,
// subtitle and refresh threads, the packet and picture queues, the clocks and the sound
// output. Internal to the player (media/player*.cpp).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/ffwrap.h"
#include "media/picturegraph.h"
#include "media/player.h"
#include "media/utils.h"

// The data pointer that marks the flush packet put into every queue after a seek.
extern const uint8_t kFlushData[];
inline bool IsFlushPacket(const AVPacket* p) { return p->data == kFlushData; }
// A flush packet; its pts carries the seek's target (microseconds on the file's time line,
// AV_NOPTS_VALUE: none), so that each decoder learns the place it is to resume at together
// with the flush itself, and its pos the number of the place (the video thread's seek serial).
inline AVPacket FlushPacket(int64_t target = AV_NOPTS_VALUE, int64_t serial = 0) {
  AVPacket p{};
  p.data = const_cast<uint8_t*>(kFlushData);
  p.pts = target;
  p.pos = serial;
  return p;
}

// Seconds on a monotonic clock.
inline double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
void SleepMs(int ms);

// A queue of packets between the reader and one decoder. Each packet counts its payload plus
// 72 bytes.
class TPacketQueue {
public:
  ~TPacketQueue() { Flush(); }
  void Init();
  // Queues a reference to the packet (the flush marker as it is).
  void Put(const AVPacket* pkt);
  // -1 when aborted, 1 with a packet (the caller frees it), 0 when empty and not blocking.
  int Get(ffw::Packet& out, bool block);
  void Flush();
  void Abort();
  bool Aborted();
  int Count();
  int64_t Size();

private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<AVPacket*> list_;
  int64_t size_ = 0;
  bool abort_ = false;
};

struct TPictureSlot {
  double Pts = 0;     // seconds
  double Target = 0;  // target display time, seconds on the monotonic clock
  int64_t Pos = -1;
  ffw::Frame Frame;
};

struct TSubPicture {
  double Pts = 0;
  AVSubtitle Sub{};
  bool Valid = false;
  // A text subtitle: its rectangles' events, drawn by the surface (Sub then only times it).
  bool IsText = false;
  std::vector<TSubtitleEvent> Events;
};

// Events of the playback's event loop (the numbers of the original event types).
enum TLoopEventKind : int {
  leQuit = 12,
  leResize = 16,
  leExpose = 17,
  leRefresh = 25,
  leQuitRequest = 26,
  leRelayout = 27
};

constexpr int kPictureQueueSize = 2;
constexpr int kSubPictureQueueSize = 4;
constexpr int kWaveRingSamples = 131072;
constexpr int kAudioBufferBytes = 288000;

// One playback's state in parts: what is set at the opening, the reader's, the pictures', the
// subtitles', the sound's, the display's and the position reporting's. Each part names the
// lock that guards its fields beside them; a field without a lock is an atomic or belongs to
// one thread (named), or is set before the threads that read it start.
//
// Locks may be taken only in this order (never one to the left while holding one to its
// right): the player's loopLock_ → video.pictLock → video.currentLock → subtitle.subLock →
// sound.audioLock → reportLock. Innermost, with nothing taken while one is held: the packet
// queues' own locks, reader.wakeLock, sound.waveLock and the player's loopQueueLock_,
// queueLock_, countersLock_, stateLock_ and playThreadLock_.
struct TPlayback {
  explicit TPlayback(TCustomPlayer* owner) : player(owner) {}
  ~TPlayback();

  // ---- Set at the opening: by the main thread before the reader starts, or by the reader
  // before its verdict (Start waits for it); read-only afterwards unless noted.
  TCustomPlayer* player;
  std::string fileName;
  bool startPaused = false;
  AVFormatContext* ic = nullptr;  // opened by the reader, used and closed by it only
  bool imageSequence = false, captureDevice = false;
  int64_t startTime = 0;  // microseconds
  int64_t duration = -1;  // microseconds
  int audioIndex = -1, videoIndex = -1, subtitleIndex = -1;
  AVStream* audioSt = nullptr;
  AVStream* videoSt = nullptr;
  AVStream* subtitleSt = nullptr;
  // Each used by its decoding thread only (sound: the callback thread).
  ffw::CodecContext audioCtx, videoCtx, subtitleCtx;
  std::thread readThread, refreshThread, videoThread, subtitleThread;
  // The size of the upright picture as the stream states it (0 without pictures).
  int UprightWidth() const;
  int UprightHeight() const;

  // ---- Shared flags (atomics, any thread).
  std::atomic<int> status{0};  // 0 opening, 1 reading, -1 failed, -2 failed and finished
  std::atomic<bool> abortRequest{false};
  // Written under video.pictLock (TogglePause), read anywhere.
  std::atomic<bool> paused{false};
  // A playback opened paused pauses once its first pictures are decoded (video thread).
  std::atomic<int> framesBeforePause{0};

  // ---- The reader: reads packets into the queues, carries out seeks (reader thread).
  struct TReaderPart {
    // The reader waits on wake while it has nothing to do (queues full, end of file); a seek,
    // a pause or the end of the playback wakes it at once. wakeLock guards only the waiting
    // (the conditions are atomics).
    std::mutex wakeLock;
    std::condition_variable wake;
    bool lastPaused = false;  // reader only
    std::atomic<int> readPauseReturn{0};
    // The seek request: the main thread writes the figures, then sets seekReq; the reader
    // reads them once it sees seekReq and clears it when the seek is done.
    std::atomic<bool> seekReq{false};
    int seekFlags = 0;
    int64_t seekPos = 0, seekRel = 0;
    // After a seek that reads again from a subtitle that began before the place the pictures
    // resume from: the sound and picture packets before that place are skipped (reader only;
    // AV_NOPTS_VALUE: nothing to skip). Pictures resume at a key packet at or after the mark.
    int64_t skipVideoBefore = AV_NOPTS_VALUE;  // video time base
    int64_t skipAudioBefore = AV_NOPTS_VALUE;  // sound time base
    // The number of the place the pictures are to come from: raised by the reader with each
    // seek's flush (which carries it), taken by the video thread with the flush (video.serial).
    std::atomic<int64_t> videoFlushSerial{0};
    // The place the pictures resume from after such a seek (microseconds, INT64_MIN: no
    // reading back): the text subtitles read again that ended before it are not queued. Set
    // by the reader before the flush goes in, taken by the subtitle thread with the flush.
    std::atomic<int64_t> subtitleResumeAt{INT64_MIN};
    // The end of the input: reported once, reached (localEof), every queue drained
    // (allDrained, read by the position reporting); insideRead while in a read (Stop).
    std::atomic<bool> eofReported{false}, localEof{false}, allDrained{false}, insideRead{false};
    // The packet queues to the decoders, each guarded by its own lock.
    TPacketQueue audioq, videoq, subtitleq;
  } reader;

  // ---- The pictures: the video thread decodes them into the picture queue, the play thread
  // shows them.
  struct TVideoPart {
    // Video thread only.
    // The place the video thread's pictures come from (see reader.videoFlushSerial).
    int64_t serial = 0;
    // An exact seek decodes forward from the key picture before its target: the pictures and
    // the sound before the target are decoded but not shown or played. The picture shown
    // first is the one whose time span holds the target. The target in the video time base
    // (AV_NOPTS_VALUE: not skipping), when the skipping began, and the last picture skipped
    // (shown when the input ends before the target).
    int64_t skipPicturesUntil = AV_NOPTS_VALUE;
    double skipPicturesSince = 0;
    ffw::Frame heldPicture;
    // The pictures' display rotation: they are turned upright (video thread) before they are
    // queued, so the surface, the frame hook and snapshots see what the conversion makes of
    // them (the orientation is set at the opening).
    TDisplayOrientation orientation;
    TPictureTurner turner;
    bool turnFailed = false;
    double frameDuration = 0.04;  // set at the opening

    // Atomics between the reader, the video thread, the play thread and the main thread.
    // A paused playback decodes until the first picture of the seek's place is queued.
    std::atomic<bool> pausedAtSeek{false};
    // The caller of the current seek waits for its first picture (main thread sets it).
    std::atomic<bool> seekWaited{false};
    // The old place's queued pictures are dropped until the first picture of the new one
    // (set by the reader at a seek, cleared by the video thread at that picture).
    std::atomic<bool> dropQueued{false};
    // The video thread took the seek's flush (cleared by the reader before it goes in).
    std::atomic<bool> newFrameAfterFlush{false};

    // Under pictLock (pictCond: a slot freed, the pause ended, a seek, the end).
    std::mutex pictLock;
    std::condition_variable pictCond;
    TPictureSlot pictq[kPictureQueueSize];
    int pictqSize = 0, pictqRindex = 0, pictqWindex = 0;
    double videoClock = 0;  // time of the next picture
    double frameTimer = 0, frameLastPts = -1, frameLastDelay = 0;
    double videoCurrentPts = 0, videoCurrentPtsDrift = 0;
    int64_t videoCurrentPos = -1;
    double skipFactor = 1;
    double skipIndex = 0;
    // A picture of the current place was shown (the picture clock is not the old place's).
    bool shownSinceFlush = false;

    // Under currentLock: the picture on show (the play thread writes, GetCurrentFrame reads).
    std::mutex currentLock;
    ffw::Frame current;
    double currentPts = 0;
    bool haveCurrent = false;
  } video;

  // ---- The subtitles: the subtitle thread decodes them into the subpicture queue, the play
  // thread shows them with the pictures.
  // Text subtitles still in force after the next one started (subtitles that overlap: a sign
  // over dialogue, two speakers); shown with it until their own end.
  struct TLingeringText {
    double Start = 0, End = 0;
    std::vector<TSubtitleEvent> Events;
  };
  static constexpr size_t kMaxLingeringTexts = 8;
  struct TSubtitlePart {
    // Under subLock (subCond: a slot freed, the end).
    std::mutex subLock;
    std::condition_variable subCond;
    TSubPicture subpq[kSubPictureQueueSize];
    int subpqSize = 0, subpqRindex = 0, subpqWindex = 0;
    bool subtitleStreamChanged = false;
    std::vector<TLingeringText> lingeringTexts;
    // The styles of the subtitle stream's script header (set before its thread starts).
    TSubtitleStyles subtitleStyles;
    // Play thread only: the subtitle text last handed to the surface; none yet at the start.
    bool subtitleTextSent = false;
    TSubtitleText subtitleText;
  } subtitle;
  // Free the first queued subpicture, or all of them (the lingering texts too); the caller
  // holds subtitle.subLock.
  void FreeFirstSubPictureLocked();
  void FreeSubPicturesLocked();

  // ---- The sound: decoded and handed to the device on SDL's audio callback thread.
  struct TSoundPart {
    // Set at the opening.
    SDL_AudioDeviceID audioDev = 0;
    int audioRate = 0, audioChannels = 0;
    int hwBufBytes = 0;
    // The sound waits for the first picture of a file with pictures (see AudioCallback).
    bool soundWaitsForPicture = false;

    // Callback thread only.
    std::vector<uint8_t> audioBuf;  // converted samples
    int audioBufSize = 0, audioBufIndex = 0;
    bool audioBufSilent = true;
    ffw::Swr swr;
    AVSampleFormat swrFmt = AV_SAMPLE_FMT_NONE;
    int swrRate = 0;
    AVChannelLayout swrLayout{};
    ffw::Frame audioFrame;
    // After an exact seek: the target in seconds; skipSound says whether it applies.
    double skipSoundUntil = 0;
    bool skipSound = false;

    // Atomics.
    std::atomic<int64_t> audioDurationUS{-1};
    // When the sound began to wait: its opening, or the last seek (reader thread).
    std::atomic<double> soundWaitFrom{0};
    // A picture of the new place was shown (play thread; cleared by the reader at a seek).
    std::atomic<bool> firstPictureShown{false};

    // Under audioLock: the sound clock.
    std::mutex audioLock;
    double audioClock = 0;  // end of the decoded sound, seconds
    bool audioClockValid = false;
    double cbTime = 0;         // when the last callback ran
    double cbClockStart = 0;   // the time of the first real sample handed in that callback
    double cbRealSeconds = 0;  // how much real sound that callback handed over
    double cbLeftBytes = 0;    // decoded bytes not yet handed over after that callback

    // The wave display of sound without pictures: the ring under waveLock (the callback
    // writes, the play thread draws); showAudio set at the opening, lastWaveStart play thread.
    std::mutex waveLock;
    std::vector<int16_t> sampleArray = std::vector<int16_t>(kWaveRingSamples);
    int sampleArrayIndex = 0;
    std::atomic<int> showAudio{0};
    int lastWaveStart = 0;
  } sound;

  // ---- Display (play thread; the sizes set by the main thread before it starts).
  int outWidth = 0, outHeight = 0;
  int surfaceWidth = 0, surfaceHeight = 0;
  // A refresh is queued for the play thread (set by whoever queues it, cleared by the play
  // thread once it has run).
  std::atomic<bool> refreshPending{false};
  SwsContext* displaySws = nullptr;
  TBitmap24 displayBitmap;

  // ---- Position reporting (play thread, video thread; lastReported under reportLock).
  std::mutex reportLock;
  int64_t lastReported = INT64_MIN;
  // Set by a seek: the next position may lie behind the last one reported.
  std::atomic<bool> positionJumped{false};
  // The end state was reported for the last picture (cleared by a new picture or a seek).
  std::atomic<bool> endStateReported{false};

  // Opening and closing.
  bool Start();
  void Close();

  // Reader side (media/player_read.cpp).
  void ReadThread();
  bool OpenInput();
  bool OpenStreams();
  void ReadPackets();
  void FollowPause();
  void PerformSeek();
  bool SeekInput(bool byTime);
  bool FlushDecoders(int64_t target);
  bool QueuesFull();
  void WaitAtEnd();
  int ReadPacket(AVPacket* pkt);
  void QueuePacket(const AVPacket* pkt);
  void CloseReader();
  void WakeReader();
  void ReaderWait(int ms);
  bool OpenStream(int index);
  void CloseStream(int index);
  void SeekBackForSubtitle(int64_t target);
  bool SkipBeforeSeekPlace(const AVPacket* pkt);
  void VideoThread();
  void SubtitleThread();
  // While the video thread's place differs from the reader's, what it decodes or holds
  // belongs to the old place and is dropped at once (it does not wait for a free slot).
  bool OldPlace() const { return video.serial != reader.videoFlushSerial.load(); }
  int GetVideoFrame(AVFrame* frame, bool& lastWasEmpty);
  void TakeVideoFlush(const AVPacket* flush, bool& lastWasEmpty);
  bool SkipPictureBeforeTarget(AVFrame* frame);
  int DeliverPicture(AVFrame* frame);
  int DecodeAudio();
  void TogglePause();
  void RequestSeek(int flags, bool wait, int64_t rel, int64_t pos);

  // Presentation side (media/player_present.cpp).
  // -1 aborted, 0 dropped (a seek made it a picture of the old place), 1 queued.
  // `pts` NaN: the picture has no time of its own (it takes the video clock's).
  int OutputPicture(AVFrame* frame, double pts, int64_t pos);
  double ComputeTargetTimeLocked(double framePts);
  double AudioClock();
  double VideoClockLocked();
  double VideoClock();
  double MasterClock();
  void RefreshThread();
  void Refresh(bool consume);
  void Display();
  void DisplayPicture();
  void DisplayWave();
  void BlendSubtitles(AVFrame* frame, double pts);
  void UpdateOutputSize();
  static void AudioCallback(void* opaque, Uint8* stream, int len);

  // Packets queued in total (reader's limits and end detection).
  int64_t QueuedBytes() { return reader.audioq.Size() + reader.videoq.Size() + reader.subtitleq.Size(); }
};
