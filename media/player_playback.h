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
enum TLoopEventKind : int { leQuit = 12, leResize = 16, leExpose = 17, leRefresh = 25, leQuitRequest = 26, leRelayout = 27 };

constexpr int kPictureQueueSize = 2;
constexpr int kSubPictureQueueSize = 4;
constexpr int kWaveRingSamples = 131072;
constexpr int kAudioBufferBytes = 288000;

struct TPlayback {
  explicit TPlayback(TCustomPlayer* owner) : player(owner) {}
  ~TPlayback();

  TCustomPlayer* player;
  std::string fileName;
  AVFormatContext* ic = nullptr;  // opened by the reader, closed by it
  bool startPaused = false;

  std::thread readThread, refreshThread, videoThread, subtitleThread;
  std::atomic<int> status{0};  // 0 opening, 1 reading, -1 failed, -2 failed and finished
  std::atomic<bool> abortRequest{false};
  std::atomic<bool> paused{false};
  bool lastPaused = false;  // reader only
  std::atomic<int> readPauseReturn{0};
  // The reader waits here while it has nothing to do (queues full, end of file); a seek, a
  // pause or the end of the playback wakes it at once.
  std::mutex readerWakeLock;
  std::condition_variable readerWake;
  void WakeReader();
  void ReaderWait(int ms);

  // Seek request.
  std::atomic<bool> seekReq{false};
  int seekFlags = 0;
  int64_t seekPos = 0, seekRel = 0;
  std::atomic<bool> pausedAtSeek{false};
  // The caller of the current seek waits for its first picture (main thread sets it).
  std::atomic<bool> seekWaited{false};
  // The number of the place the pictures are to come from: raised by the reader with each
  // seek's flush (which carries it), taken by the video thread with the flush. While they
  // differ, what the video thread decodes or holds belongs to the old place and is dropped
  // at once (it does not wait for a free picture slot).
  std::atomic<int64_t> videoFlushSerial{0};
  int64_t videoSerial = 0;  // video thread
  bool OldPlace() const { return videoSerial != videoFlushSerial.load(); }
  // After a seek that reads again from a subtitle that began before the place the pictures
  // resume from: the sound and picture packets before that place are skipped (reader only;
  // AV_NOPTS_VALUE: nothing to skip). Pictures resume at a key packet at or after the mark.
  int64_t skipVideoBefore = AV_NOPTS_VALUE;  // video time base
  int64_t skipAudioBefore = AV_NOPTS_VALUE;  // sound time base
  // An exact seek decodes forward from the key picture before its target: the pictures and
  // the sound before the target are decoded but not shown or played. The picture shown first
  // is the one whose time span holds the target.
  // Video thread: the target in the video time base (AV_NOPTS_VALUE: not skipping), when the
  // skipping began, and the last picture skipped (shown when the input ends before the target).
  int64_t skipPicturesUntil = AV_NOPTS_VALUE;
  double skipPicturesSince = 0;
  ffw::Frame heldPicture;
  // Sound (callback thread): the target in seconds; skipSound says whether it applies.
  double skipSoundUntil = 0;
  bool skipSound = false;
  // The place the pictures resume from after such a seek (microseconds, INT64_MIN: no reading
  // back): the text subtitles read again that ended before it are not queued. Set by the
  // reader before the flush goes in, taken by the subtitle thread with the flush.
  std::atomic<int64_t> subtitleResumeAt{INT64_MIN};

  // Streams.
  int audioIndex = -1, videoIndex = -1, subtitleIndex = -1;
  AVStream* audioSt = nullptr;
  AVStream* videoSt = nullptr;
  AVStream* subtitleSt = nullptr;
  ffw::CodecContext audioCtx, videoCtx, subtitleCtx;
  // The pictures' display rotation: they are turned upright (video thread) before they are
  // queued, so the surface, the frame hook and snapshots see what the conversion makes of them.
  TDisplayOrientation videoOrientation;
  TPictureTurner turner;
  bool turnFailed = false;
  // The size of the upright picture as the stream states it (0 without pictures).
  int UprightWidth() const;
  int UprightHeight() const;
  TPacketQueue audioq, videoq, subtitleq;

  // Sound (callback thread; the clock figures under audioLock).
  SDL_AudioDeviceID audioDev = 0;
  int audioRate = 0, audioChannels = 0;
  int hwBufBytes = 0;
  std::vector<uint8_t> audioBuf;  // converted samples
  int audioBufSize = 0, audioBufIndex = 0;
  bool audioBufSilent = true;
  double audioClock = 0;  // end of the decoded sound, seconds
  ffw::Swr swr;
  AVSampleFormat swrFmt = AV_SAMPLE_FMT_NONE;
  int swrRate = 0;
  AVChannelLayout swrLayout{};
  ffw::Frame audioFrame;
  std::atomic<int64_t> audioDurationUS{-1};
  std::mutex audioLock;
  double cbTime = 0;         // when the last callback ran
  // The sound waits for the first picture of a file with pictures (see AudioCallback).
  bool soundWaitsForPicture = false;
  // When the sound began to wait: its opening, or the last seek (reader thread).
  std::atomic<double> soundWaitFrom{0};
  std::atomic<bool> firstPictureShown{false};
  // A picture of the current place was shown (the picture clock is not the old place's); under
  // pictLock.
  bool shownSinceFlush = false;
  double cbClockStart = 0;   // the time of the first real sample handed in that callback
  double cbRealSeconds = 0;  // how much real sound that callback handed over
  double cbLeftBytes = 0;    // decoded bytes not yet handed over after that callback
  bool audioClockValid = false;

  // Wave display.
  std::mutex waveLock;
  std::vector<int16_t> sampleArray = std::vector<int16_t>(kWaveRingSamples);
  int sampleArrayIndex = 0;
  std::atomic<int> showAudio{0};
  int lastWaveStart = 0;

  // Pictures (under pictLock).
  std::mutex pictLock;
  std::condition_variable pictCond;
  TPictureSlot pictq[kPictureQueueSize];
  int pictqSize = 0, pictqRindex = 0, pictqWindex = 0;
  double videoClock = 0;  // video thread: time of the next picture
  double frameTimer = 0, frameLastPts = -1, frameLastDelay = 0;
  double videoCurrentPts = 0, videoCurrentPtsDrift = 0;
  int64_t videoCurrentPos = -1;
  double skipFactor = 1;
  double skipIndex = 0;
  double frameDuration = 0.04;
  // The picture on show (play thread writes, GetCurrentFrame reads; under currentLock).
  std::mutex currentLock;
  ffw::Frame current;
  double currentPts = 0;
  bool haveCurrent = false;

  // Subtitles.
  std::mutex subLock;
  std::condition_variable subCond;
  TSubPicture subpq[kSubPictureQueueSize];
  int subpqSize = 0, subpqRindex = 0, subpqWindex = 0;
  bool subtitleStreamChanged = false;
  // Text subtitles still in force after the next one started (subtitles that overlap: a sign
  // over dialogue, two speakers); shown with it until their own end. Under subLock.
  struct TLingeringText {
    double Start = 0, End = 0;
    std::vector<TSubtitleEvent> Events;
  };
  static constexpr size_t kMaxLingeringTexts = 8;
  std::vector<TLingeringText> lingeringTexts;
  // Free the first queued subpicture, or all of them (the lingering texts too); the caller
  // holds subLock.
  void FreeFirstSubPictureLocked();
  void FreeSubPicturesLocked();
  // The subtitle text last handed to the surface (play thread); none yet at the start.
  bool subtitleTextSent = false;
  TSubtitleText subtitleText;
  // The styles of the subtitle stream's script header (set before its thread starts).
  TSubtitleStyles subtitleStyles;

  // Display (play thread).
  int outWidth = 0, outHeight = 0;
  int surfaceWidth = 0, surfaceHeight = 0;
  std::atomic<bool> refreshPending{false};
  SwsContext* displaySws = nullptr;
  TBitmap24 displayBitmap;

  // End handling.
  int64_t startTime = 0;    // microseconds
  int64_t duration = -1;    // microseconds
  std::atomic<bool> eofReported{false}, allDrained{false}, endStateReported{false};
  std::atomic<bool> insideRead{false}, dropQueued{false}, newFrameAfterFlush{false};
  std::atomic<int> framesBeforePause{0};
  bool imageSequence = false, captureDevice = false;
  std::atomic<bool> localEof{false};

  // Position reporting (several threads; under reportLock).
  std::mutex reportLock;
  int64_t lastReported = INT64_MIN;
  // Set by a seek: the next position may lie behind the last one reported.
  std::atomic<bool> positionJumped{false};

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
  bool OpenStream(int index);
  void CloseStream(int index);
  void SeekBackForSubtitle(int64_t target);
  bool SkipBeforeSeekPlace(const AVPacket* pkt);
  void VideoThread();
  void SubtitleThread();
  int GetVideoFrame(AVFrame* frame, bool& lastWasEmpty);
  void TakeVideoFlush(const AVPacket* flush, bool& lastWasEmpty);
  bool SkipPictureBeforeTarget(AVFrame* frame);
  int DeliverPicture(AVFrame* frame);
  int DecodeAudio();
  void TogglePause();
  void RequestSeek(int flags, bool wait, int64_t rel, int64_t pos);

  // Presentation side (media/player_present.cpp).
  // -1 aborted, 0 dropped (a seek made it a picture of the old place), 1 queued.
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
  int64_t QueuedBytes() { return audioq.Size() + videoq.Size() + subtitleq.Size(); }
};
