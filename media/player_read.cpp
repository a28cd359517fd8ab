// The preview player's reading and decoding: playback opening and closing, the reader
// thread with its packet queues, stream opening, the video and subtitle threads, sound
// decoding for the audio callback, pause and seek.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "media/dispatcher.h"
#include "media/errors.h"
#include "media/loader.h"
#include "media/player_playback.h"
#include "media/unicode_protocol.h"

const uint8_t kFlushData[] = "FLUSH";

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

namespace {
constexpr int kPacketOverhead = 72;
constexpr size_t kMaxFileName = 1023;
constexpr int64_t kMaxQueueBytes = 15 * 1024 * 1024;
constexpr int64_t kAudioQueueFull = 320 * 1024;
constexpr int kPacketsFull = 5;

int InterruptCallback(void* opaque) { return static_cast<TPlayback*>(opaque)->abortRequest.load() ? 1 : 0; }
}  // namespace

// ---- packet queue ----

void TPacketQueue::Init() {
  std::lock_guard<std::mutex> g(m_);
  abort_ = false;
}

void TPacketQueue::Put(const AVPacket* pkt) {
  AVPacket* p = ff::av_packet_alloc();
  if (!p) return;
  if (IsFlushPacket(pkt)) {
    p->data = const_cast<uint8_t*>(kFlushData);
    p->pts = pkt->pts;
    p->pos = pkt->pos;
  } else if (ff::av_packet_ref(p, pkt) < 0) {
    ff::av_packet_free(&p);
    return;
  }
  std::lock_guard<std::mutex> g(m_);
  list_.push_back(p);
  size_ += p->size + kPacketOverhead;
  cv_.notify_all();
}

int TPacketQueue::Get(ffw::Packet& out, bool block) {
  std::unique_lock<std::mutex> g(m_);
  for (;;) {
    if (abort_) return -1;
    if (!list_.empty()) {
      AVPacket* p = list_.front();
      list_.pop_front();
      size_ -= p->size + kPacketOverhead;
      out.reset(p);
      return 1;
    }
    if (!block) return 0;
    cv_.wait(g);
  }
}

void TPacketQueue::Flush() {
  std::lock_guard<std::mutex> g(m_);
  for (AVPacket* p : list_) ff::av_packet_free(&p);
  list_.clear();
  size_ = 0;
}

void TPacketQueue::Abort() {
  std::lock_guard<std::mutex> g(m_);
  abort_ = true;
  cv_.notify_all();
}

bool TPacketQueue::Aborted() {
  std::lock_guard<std::mutex> g(m_);
  return abort_;
}

int TPacketQueue::Count() {
  std::lock_guard<std::mutex> g(m_);
  return int(list_.size());
}

int64_t TPacketQueue::Size() {
  std::lock_guard<std::mutex> g(m_);
  return size_;
}

// ---- opening and closing ----

TPlayback::~TPlayback() {
  for (auto& s : video.pictq) s.Frame.reset();
  for (auto& s : subtitle.subpq)
    if (s.Valid) ff::avsubtitle_free(&s.Sub);
  if (displaySws) ff::sws_freeContext(displaySws);
  ff::av_channel_layout_uninit(&sound.swrLayout);
}

bool TPlayback::Start() {
  if (startPaused) {
    paused = true;
    framesBeforePause = 1;
    player->step_ = false;
  }
  if (fileName.size() > kMaxFileName) {
    player->SetLastError(FormatAVError(fileName, AVERROR(ENAMETOOLONG)));
    return false;
  }
  for (auto& s : video.pictq) s.Frame = ffw::MakeFrame();
  video.current = ffw::MakeFrame();
  sound.audioFrame = ffw::MakeFrame();
  video.heldPicture = ffw::MakeFrame();
  try {
    readThread = std::thread([this] { ReadThread(); });
  } catch (const std::system_error&) {
    player->SetLastError("SDL_CreateThread() failed.");
    return false;
  }
  // Wait for the reader's verdict, serving the main thread meanwhile.
  player->WaitServing([&] { return status.load() != 0; }, -1);
  if (status == 1) return true;
  player->WaitServing([&] { return status.load() == -2; }, -1);
  readThread.join();
  return false;
}

void TPlayback::Close() {
  abortRequest = true;
  WakeReader();
  reader.videoq.Abort();
  reader.audioq.Abort();
  reader.subtitleq.Abort();
  {
    std::lock_guard<std::mutex> g(video.pictLock);
    video.pictCond.notify_all();
  }
  if (readThread.joinable()) readThread.join();
  if (refreshThread.joinable()) refreshThread.join();
}

// ---- the reader thread ----

void TPlayback::WakeReader() {
  std::lock_guard<std::mutex> g(reader.wakeLock);
  reader.wake.notify_all();
}

void TPlayback::ReaderWait(int ms) {
  std::unique_lock<std::mutex> g(reader.wakeLock);
  reader.wake.wait_for(g, std::chrono::milliseconds(ms), [&] {
    return reader.seekReq.load() || abortRequest.load() || paused.load() != reader.lastPaused;
  });
}

void TPlayback::ReadThread() {
  if (OpenInput() && OpenStreams()) {
    status = 1;
    ReadPackets();
    // The reader's end: the playback's threads are ended by Close.
    while (!abortRequest) ReaderWait(100);
  }
  CloseReader();
}

// Opens the file and reads its stream information; the file's kind, start and length.
bool TPlayback::OpenInput() {
  ic = ff::avformat_alloc_context();
  if (!ic) {
    player->SetLastError("av_mallocz() failed.");
    return false;
  }
  ic->interrupt_callback.callback = InterruptCallback;
  ic->interrupt_callback.opaque = this;
  ffw::Dict opts;
  if (player->FrameWidth > 0 && player->FrameHeight > 0)
    ff::av_dict_set(&opts, "video_size", StrFormat("%dx%d", player->FrameWidth, player->FrameHeight).c_str(), 0);
  const int err = OpenInputFile(&ic, fileName, nullptr, &opts);
  if (err < 0) {
    player->SetLastError(FormatAVError(fileName, err));
    return false;
  }
  if (ff::avformat_find_stream_info(ic, nullptr) < 0) {
    player->SetLastError(StrFormat("%s: could not find codec parameters", fileName.c_str()));
    return false;
  }
  if (ic->pb) ic->pb->eof_reached = 0;
  const char* fmt = ic->iformat ? ic->iformat->name : "";
  imageSequence = std::strcmp(fmt, "image2") == 0;
  captureDevice = std::strcmp(fmt, "vfwcap") == 0 || std::strcmp(fmt, "vfwcapture") == 0;
  startTime = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
  duration = ic->duration != AV_NOPTS_VALUE ? ic->duration : -1;
  return true;
}

// Opens the best sound, picture and subtitle streams (subtitles only with pictures); false
// when neither sound nor pictures can be played.
bool TPlayback::OpenStreams() {
  for (unsigned i = 0; i < ic->nb_streams; ++i) ic->streams[i]->discard = AVDISCARD_ALL;
  int a = -1, v = -1, s = -1;
  if (!player->DisableVideo) v = ff::av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (!player->DisableAudio && player->sdlAudio_)
    a = ff::av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (!player->DisableVideo) s = ff::av_find_best_stream(ic, AVMEDIA_TYPE_SUBTITLE, -1, -1, nullptr, 0);
  sound.soundWaitsForPicture = v >= 0;
  if (a >= 0) OpenStream(a);
  if (v >= 0) OpenStream(v);
  if (s >= 0 && videoIndex >= 0) OpenStream(s);
  if (audioIndex < 0 && videoIndex < 0) {
    player->SetLastError(StrFormat("%s: could not open codecs, no stream to play.", fileName.c_str()));
    return false;
  }
  return true;
}

// The reading loop: follows the pause, carries out seeks, keeps the packet queues filled and
// marks the end of the input, until the playback ends or the input fails.
void TPlayback::ReadPackets() {
  ffw::Packet pkt = ffw::MakePacket();
  while (!abortRequest) {
    FollowPause();
    if (reader.seekReq) PerformSeek();
    if (QueuesFull()) {
      ReaderWait(10);
      continue;
    }
    if (reader.localEof || (ic->pb && ic->pb->eof_reached)) {
      WaitAtEnd();
      continue;
    }
    const int r = ReadPacket(pkt.get());
    if (r < 0) break;
    if (r == 0) continue;
    QueuePacket(pkt.get());
    ff::av_packet_unref(pkt.get());
  }
}

// The input follows the pause (a network stream stops sending).
void TPlayback::FollowPause() {
  const bool p = paused;
  if (p == reader.lastPaused) return;
  reader.lastPaused = p;
  if (p)
    reader.readPauseReturn = ff::av_read_pause(ic);
  else
    ff::av_read_play(ic);
}

// The seek requested by RequestSeek: the input moves, every decoder gets a flush packet with
// the target, and the end of the file is forgotten.
void TPlayback::PerformSeek() {
  reader.skipVideoBefore = reader.skipAudioBefore = AV_NOPTS_VALUE;
  reader.subtitleResumeAt = INT64_MIN;
  const bool byTime = !(reader.seekFlags & AVSEEK_FLAG_BYTE);
  bool flushedVideo = false;
  if (!SeekInput(byTime)) {
    player->SetLastError(StrFormat("%s: error while seeking", fileName.c_str()), llError, false);
    if (videoSt) player->pictureEvent_.Set();
  } else {
    if (byTime) SeekBackForSubtitle(reader.seekPos);
    flushedVideo = FlushDecoders(byTime ? reader.seekPos : AV_NOPTS_VALUE);
  }
  reader.eofReported = false;
  reader.allDrained = false;
  // A seek that lands past the last picture ends the file again.
  endStateReported = false;
  reader.seekReq = false;
  if (!flushedVideo) video.dropQueued = true;
  player->seekDone_.Set();
  if (!videoSt) player->seeking_ = false;
  reader.localEof = false;
}

// Moves the input to the requested place; false when it cannot.
bool TPlayback::SeekInput(bool byTime) {
  int r;
  if (byTime) {
    // Exact: reading starts at the key picture at or before the target (never one of the
    // pictures after a key picture, which cannot be decoded alone), and the decoders skip
    // what lies before the target.
    const int flags = reader.seekFlags & ~AVSEEK_FLAG_ANY;
    r = ff::avformat_seek_file(ic, -1, INT64_MIN, reader.seekPos, reader.seekPos, flags);
    if (r < 0) r = ff::av_seek_frame(ic, -1, reader.seekPos, flags | AVSEEK_FLAG_BACKWARD);
    if (r < 0) r = ff::av_seek_frame(ic, -1, reader.seekPos, flags);
  } else {
    const int64_t minTs = reader.seekRel > 0 ? reader.seekPos - reader.seekRel + 2 : INT64_MIN;
    const int64_t maxTs = reader.seekRel < 0 ? reader.seekPos - reader.seekRel - 2 : INT64_MAX;
    r = ff::avformat_seek_file(ic, -1, minTs, reader.seekPos, maxTs, reader.seekFlags);
    if (r < 0) r = ff::av_seek_frame(ic, -1, reader.seekPos, reader.seekFlags);
    if (r < 0) r = ff::av_seek_frame(ic, -1, reader.seekPos, reader.seekFlags ^ AVSEEK_FLAG_BACKWARD);
  }
  return r >= 0;
}

// Empties the packet queues and puts a flush packet with the target (AV_NOPTS_VALUE: none)
// into each; true when the pictures were flushed.
bool TPlayback::FlushDecoders(int64_t target) {
  const AVPacket flush = FlushPacket(target);
  if (audioIndex >= 0) {
    reader.audioq.Flush();
    reader.audioq.Put(&flush);
  }
  if (subtitleIndex >= 0) {
    reader.subtitleq.Flush();
    reader.subtitleq.Put(&flush);
  }
  if (videoIndex < 0) return false;
  // Marked before the flush goes in: the video thread may take it at once (it waits idle at
  // the end of the file) and marks the first picture after it; marked after, that mark was
  // lost and every later picture dropped.
  video.newFrameAfterFlush = false;
  video.dropQueued = true;
  // A paused playback decodes until the first picture of the new place is queued. Set here,
  // not at the request: woken before the old pictures are marked to be dropped, the video
  // thread would show the old place's next pictures.
  video.pausedAtSeek = paused.load();
  player->pictureEvent_.Reset();
  // The sound of the new place waits for its first picture, as at the start.
  sound.firstPictureShown = false;
  sound.soundWaitFrom = NowSeconds();
  const int64_t serial = ++reader.videoFlushSerial;
  const AVPacket videoFlush = FlushPacket(target, serial);
  reader.videoq.Flush();
  reader.videoq.Put(&videoFlush);
  // Wakes the video thread wherever it waits (a free picture slot, the pause).
  std::lock_guard<std::mutex> g(video.pictLock);
  video.pictCond.notify_all();
  return true;
}

// True when the packet queues hold enough: more than kMaxQueueBytes in all, or each stream's
// queue its share.
bool TPlayback::QueuesFull() {
  return QueuedBytes() > kMaxQueueBytes || ((audioIndex < 0 || reader.audioq.Size() > kAudioQueueFull) &&
                                            (videoIndex < 0 || reader.videoq.Count() > kPacketsFull) &&
                                            (subtitleIndex < 0 || reader.subtitleq.Count() > kPacketsFull));
}

// At the end of the input: an empty packet drains the picture decoder, and once every queue
// is empty the end is reached.
void TPlayback::WaitAtEnd() {
  if (videoIndex >= 0) {
    ffw::Packet empty = ffw::MakePacket();
    empty->stream_index = videoIndex;
    reader.videoq.Put(empty.get());
    player->pictureEvent_.Set();
  }
  ReaderWait(10);
  if (QueuedBytes() == 0) reader.allDrained = true;
}

// Reads the next packet: 1 read, 0 none this time (the input asks to try again, or ended or
// failed: said once), -1 the reading ends (the playback ends, or the input failed for good).
int TPlayback::ReadPacket(AVPacket* pkt) {
  reader.insideRead = true;
  const int r = ff::av_read_frame(ic, pkt);
  reader.insideRead = false;
  if (abortRequest) return -1;
  if (r == AVERROR(EAGAIN)) {
    ReaderWait(10);
    return 0;
  }
  if (r >= 0) return 1;
  if (videoSt) player->pictureEvent_.Set();
  if (!imageSequence && !reader.eofReported) {
    reader.eofReported = true;
    if (r == AVERROR_EOF)
      GetFFLogger().LogFmt(player, llInfo, "reach end of file: %s", fileName.c_str());
    else
      player->SetLastError(StrFormat("error #%d while reading file: %s", r, fileName.c_str()), llError, false);
  }
  if (r == AVERROR_EOF) reader.localEof = true;
  if (ic->pb && ic->pb->error) return -1;
  ReaderWait(100);
  return 0;
}

// Puts the packet into its stream's queue.
void TPlayback::QueuePacket(const AVPacket* pkt) {
  if (SkipBeforeSeekPlace(pkt)) {
    // Sound or picture read again only to reach an earlier subtitle after a seek: dropped.
  } else if (pkt->stream_index == audioIndex) {
    reader.audioq.Put(pkt);
  } else if (pkt->stream_index == videoIndex) {
    reader.videoq.Put(pkt);
  } else if (pkt->stream_index == subtitleIndex) {
    reader.subtitleq.Put(pkt);
  }
}

// Closes the streams (ending their threads) and the input.
void TPlayback::CloseReader() {
  if (status != 1) status = -1;
  if (audioIndex >= 0) CloseStream(audioIndex);
  if (videoIndex >= 0) CloseStream(videoIndex);
  if (subtitleIndex >= 0) CloseStream(subtitleIndex);
  if (status == 1) player->AVProbe.AttachContext(nullptr);  // the probe must not outlive the input
  if (ic) CloseInput(&ic);
  if (status == -1) status = -2;
}

// ---- seeking back for a subtitle ----

// A seek starts reading at the key picture before the target, so a subtitle whose packet lies
// before that picture but whose display time covers the target would never be shown. When the
// input's index has subtitle packets before the picture (within kSubtitleLookBack), reading
// starts again from the earliest of them (one subtitle may still be in force under the ones
// that came after it); the sound and picture packets up to the picture are skipped, so the
// playback resumes where the plain seek would have, and the subtitle thread drops the texts
// that ended before that place.
void TPlayback::SeekBackForSubtitle(int64_t target) {
  constexpr int64_t kSubtitleLookBack = 10 * int64_t(AV_TIME_BASE);
  if (!subtitleSt || !videoSt) return;
  const int vi = ff::av_index_search_timestamp(videoSt, ff::av_rescale_q(target, AV_TIME_BASE_Q, videoSt->time_base),
                                               AVSEEK_FLAG_BACKWARD);
  const int si = ff::av_index_search_timestamp(subtitleSt,
                                               ff::av_rescale_q(target, AV_TIME_BASE_Q, subtitleSt->time_base),
                                               AVSEEK_FLAG_BACKWARD);
  if (vi < 0 || si < 0) return;
  const AVIndexEntry* ve = ff::avformat_index_get_entry(videoSt, vi);
  if (!ve) return;
  const int64_t resume = ff::av_rescale_q(ve->timestamp, videoSt->time_base, AV_TIME_BASE_Q);
  int64_t subStart = INT64_MAX;
  for (int i = si; i >= 0; --i) {
    const AVIndexEntry* se = ff::avformat_index_get_entry(subtitleSt, i);
    if (!se) break;
    const int64_t t = ff::av_rescale_q(se->timestamp, subtitleSt->time_base, AV_TIME_BASE_Q);
    if (resume - t > kSubtitleLookBack) break;
    subStart = t;
  }
  if (subStart >= resume) return;
  if (ff::avformat_seek_file(ic, -1, INT64_MIN, subStart, subStart, 0) < 0) {
    // Back to the plain seek's place.
    ff::avformat_seek_file(ic, -1, INT64_MIN, target, INT64_MAX, 0);
    return;
  }
  reader.skipVideoBefore = ve->timestamp;
  reader.subtitleResumeAt = resume;
  if (audioSt) reader.skipAudioBefore = ff::av_rescale_q(resume, AV_TIME_BASE_Q, audioSt->time_base);
}

// True for a sound or picture packet that lies before the place a seek resumes from.
bool TPlayback::SkipBeforeSeekPlace(const AVPacket* pkt) {
  if (reader.skipVideoBefore != AV_NOPTS_VALUE && pkt->stream_index == videoIndex) {
    // The key picture at the mark; any picture past it ends the skipping too, so a file whose
    // key pictures are not marked still plays. The mark is the index's time of the key picture,
    // its decoding or its presentation time as the container keeps it: a key picture that is
    // shown later than it is decoded (reordered pictures) has a decoding time before the mark
    // and is known by the later of its two times.
    const int64_t t = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    const int64_t keyTime = (pkt->flags & AV_PKT_FLAG_KEY) ? std::max(pkt->dts, pkt->pts) : AV_NOPTS_VALUE;
    const bool atPlace = (t != AV_NOPTS_VALUE && t > reader.skipVideoBefore) ||
                         (keyTime != AV_NOPTS_VALUE && keyTime >= reader.skipVideoBefore);
    if (!atPlace) return true;
    reader.skipVideoBefore = AV_NOPTS_VALUE;
  } else if (reader.skipAudioBefore != AV_NOPTS_VALUE && pkt->stream_index == audioIndex) {
    const int64_t t = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    if (t != AV_NOPTS_VALUE && t < reader.skipAudioBefore) return true;
    reader.skipAudioBefore = AV_NOPTS_VALUE;
  }
  return false;
}

// ---- streams ----

bool TPlayback::OpenStream(int index) {
  AVStream* st = ic->streams[index];
  AVCodecParameters* par = st->codecpar;
  const AVCodec* codec = ff::avcodec_find_decoder(par->codec_id);
  ffw::CodecContext ctx(ff::avcodec_alloc_context3(codec));
  bool opened = false;
  if (codec && ctx && ff::avcodec_parameters_to_context(ctx.get(), par) >= 0) {
    ctx->workaround_bugs = 1;
    ctx->error_concealment = 3;
    // Pictures decode on as many threads as the machine has cores (one picture behind the
    // other), as fast decoding is what keeps them in time with the sound; sound and
    // subtitles use one.
    ctx->thread_count = par->codec_type == AVMEDIA_TYPE_VIDEO ? 0 : 1;
    ctx->pkt_timebase = st->time_base;
    std::lock_guard<std::mutex> g(CodecLock());
    opened = ff::avcodec_open2(ctx.get(), codec, nullptr) >= 0;
  }
  if (!opened) {
    player->SetLastError("avcodec_open() failed.", llError, false);
    return false;
  }
  if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
    int channels = par->ch_layout.nb_channels;
    sound.audioChannels = (channels == 1 || channels == 2) ? channels : 2;
    sound.audioRate = par->sample_rate;
    SDL_AudioSpec want{}, have{};
    want.freq = sound.audioRate;
    want.format = AUDIO_S16SYS;
    want.channels = Uint8(sound.audioChannels);
    want.samples = 1024;
    want.callback = AudioCallback;
    want.userdata = this;
    sound.audioDev = ff::SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (sound.audioDev == 0) {
      player->SetLastError(std::string("SDL_OpenAudio() failed: ") + ff::SDL_GetError(), llError, false);
      std::lock_guard<std::mutex> g(CodecLock());
      ctx.reset();
      return false;
    }
    sound.hwBufBytes = int(have.size);
  }
  st->discard = AVDISCARD_DEFAULT;
  switch (par->codec_type) {
    case AVMEDIA_TYPE_VIDEO: {
      videoIndex = index;
      videoSt = st;
      videoCtx = std::move(ctx);
      video.orientation = DisplayOrientation(StreamDisplayMatrix(st));
      AVRational fr = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
      video.frameDuration = fr.num > 0 && fr.den > 0 ? av_q2d(av_inv_q(fr)) : 0.04;
      reader.videoq.Init();
      const AVPacket flush = FlushPacket();
      reader.videoq.Put(&flush);
      videoThread = std::thread([this] { VideoThread(); });
      break;
    }
    case AVMEDIA_TYPE_AUDIO: {
      audioIndex = index;
      audioSt = st;
      audioCtx = std::move(ctx);
      sound.audioDurationUS = st->duration != AV_NOPTS_VALUE
                                  ? ff::av_rescale_q(st->duration, st->time_base, AV_TIME_BASE_Q)
                                  : -1;
      sound.audioBuf.assign(kAudioBufferBytes, 0);
      sound.audioBufSize = sound.audioBufIndex = 0;
      reader.audioq.Init();
      const AVPacket flush = FlushPacket();
      reader.audioq.Put(&flush);
      sound.soundWaitFrom = NowSeconds();
      ff::SDL_PauseAudioDevice(sound.audioDev, 0);
      break;
    }
    case AVMEDIA_TYPE_SUBTITLE: {
      subtitleIndex = index;
      subtitleSt = st;
      subtitleCtx = std::move(ctx);
      subtitle.subtitleStyles = TSubtitleStyles(
          subtitleCtx->subtitle_header ? std::string_view(reinterpret_cast<const char*>(subtitleCtx->subtitle_header),
                                                          size_t(std::max(subtitleCtx->subtitle_header_size, 0)))
                                       : std::string_view());
      reader.subtitleq.Init();
      const AVPacket flush = FlushPacket();
      reader.subtitleq.Put(&flush);
      subtitleThread = std::thread([this] { SubtitleThread(); });
      break;
    }
    default:
      break;
  }
  return true;
}

void TPlayback::CloseStream(int index) {
  AVStream* st = ic->streams[index];
  switch (st->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      reader.videoq.Abort();
      {
        std::lock_guard<std::mutex> g(video.pictLock);
        video.pictCond.notify_all();
      }
      if (videoThread.joinable()) videoThread.join();
      reader.videoq.Flush();
      break;
    case AVMEDIA_TYPE_AUDIO:
      reader.audioq.Abort();
      if (sound.audioDev) ff::SDL_CloseAudioDevice(sound.audioDev);
      sound.audioDev = 0;
      reader.audioq.Flush();
      sound.swr.reset();
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      reader.subtitleq.Abort();
      {
        std::lock_guard<std::mutex> g(subtitle.subLock);
        subtitle.subtitleStreamChanged = true;
        subtitle.subCond.notify_all();
      }
      if (subtitleThread.joinable()) subtitleThread.join();
      reader.subtitleq.Flush();
      break;
    default:
      break;
  }
  st->discard = AVDISCARD_ALL;
  std::lock_guard<std::mutex> g(CodecLock());
  switch (st->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      videoCtx.reset();
      break;
    case AVMEDIA_TYPE_AUDIO:
      audioCtx.reset();
      sound.audioDurationUS = -1;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      subtitleCtx.reset();
      break;
    default:
      break;
  }
}

// ---- video ----

int TPlayback::UprightWidth() const {
  if (!videoSt) return 0;
  return video.orientation.SwapsSides() ? videoSt->codecpar->height : videoSt->codecpar->width;
}

int TPlayback::UprightHeight() const {
  if (!videoSt) return 0;
  return video.orientation.SwapsSides() ? videoSt->codecpar->width : videoSt->codecpar->height;
}

namespace {
// Pictures before a seek's target are not decoded at all when no other picture refers to
// them; within a second of the end of the file, only those further before it than this, so
// that the last picture is at hand when the target lies past it.
constexpr double kDecodeAllBeforeTarget = 0.5;
// A seek whose pictures have not reached the target after this long shows what comes.
constexpr double kMaxSkipSeconds = 5.0;
}  // namespace

// Turns a decoded picture upright; 1 (a picture to show).
int TPlayback::DeliverPicture(AVFrame* frame) {
  if (!video.orientation.Filters.empty() && !video.turnFailed) {
    std::string step;
    const int ret = video.turner.Turn(frame, video.orientation.Filters, step);
    if (ret < 0) {
      // Shown as coded from now on; said once.
      video.turnFailed = true;
      player->SetLastError(FormatAVError(fileName + ": turning the picture upright (" + step + ")", ret), llWarning,
                           false);
    }
  }
  return 1;
}

// After an exact seek: true for a decoded picture whose time span ends at or before the target
// (it is kept as the held picture); the first picture past that ends the skipping.
bool TPlayback::SkipPictureBeforeTarget(AVFrame* frame) {
  if (video.skipPicturesUntil == AV_NOPTS_VALUE) return false;
  const int64_t ts = frame->best_effort_timestamp;
  if (ts != AV_NOPTS_VALUE && NowSeconds() - video.skipPicturesSince < kMaxSkipSeconds) {
    int64_t span = frame->pkt_duration;
    if (span <= 0)
      span = std::max<int64_t>(1, ff::av_rescale_q(int64_t(video.frameDuration * 1e6), AV_TIME_BASE_Q,
                                                   videoSt->time_base));
    if (ts + span <= video.skipPicturesUntil) {
      ff::av_frame_unref(video.heldPicture.get());
      ff::av_frame_move_ref(video.heldPicture.get(), frame);
      return true;
    }
  }
  video.skipPicturesUntil = AV_NOPTS_VALUE;
  ff::av_frame_unref(video.heldPicture.get());
  videoCtx->skip_frame = AVDISCARD_DEFAULT;
  return false;
}

// The flush of a seek (or of the opening): the decoder and the picture queue start afresh at
// the new place. The queued pictures of the old place are dropped here, not left to the
// presenter.
void TPlayback::TakeVideoFlush(const AVPacket* flush, bool& lastWasEmpty) {
  video.serial = flush->pos;
  ff::avcodec_flush_buffers(videoCtx.get());
  ff::av_frame_unref(video.heldPicture.get());
  videoCtx->skip_frame = AVDISCARD_DEFAULT;
  video.skipPicturesUntil = flush->pts == AV_NOPTS_VALUE
                                ? AV_NOPTS_VALUE
                                : ff::av_rescale_q_rnd(flush->pts, AV_TIME_BASE_Q, videoSt->time_base, AV_ROUND_DOWN);
  video.skipPicturesSince = NowSeconds();
  std::lock_guard<std::mutex> g(video.pictLock);
  while (video.pictqSize > 0) {
    ff::av_frame_unref(video.pictq[video.pictqRindex].Frame.get());
    video.pictqRindex = (video.pictqRindex + 1) % kPictureQueueSize;
    --video.pictqSize;
  }
  video.pictCond.notify_all();
  video.videoCurrentPos = -1;
  video.frameLastPts = -1;
  video.frameLastDelay = 0;
  video.frameTimer = NowSeconds();
  video.skipFactor = 1;
  video.skipIndex = 0;
  video.newFrameAfterFlush = true;
  video.shownSinceFlush = false;
  lastWasEmpty = false;
}

// -1 aborted, 0 no picture this time, 1 a picture to show.
int TPlayback::GetVideoFrame(AVFrame* frame, bool& lastWasEmpty) {
  if (OldPlace()) {
    // A seek's flush is on its way: the pictures still in the decoder and the packets before
    // the flush belong to the old place; neither is decoded or shown.
    ffw::Packet pkt;
    if (reader.videoq.Get(pkt, true) < 0) return -1;
    if (IsFlushPacket(pkt.get())) TakeVideoFlush(pkt.get(), lastWasEmpty);
    return 0;
  }
  int r = ff::avcodec_receive_frame(videoCtx.get(), frame);
  if (r == 0) {
    lastWasEmpty = false;
    if (SkipPictureBeforeTarget(frame)) return 0;
    bool deliver;
    {
      std::lock_guard<std::mutex> g(video.pictLock);
      video.skipIndex += 1;
      deliver = video.skipIndex >= video.skipFactor;
      if (deliver) video.skipIndex -= std::max(video.skipFactor, 1.0);
    }
    if (deliver) return DeliverPicture(frame);
    ff::av_frame_unref(frame);
    std::lock_guard<std::mutex> g(player->countersLock_);
    ++player->counters_.PicturesSkipped;
    return 0;
  }
  if (r == AVERROR_EOF) {
    // Drained after the end of input: make the decoder accept packets again (a seek back).
    ff::avcodec_flush_buffers(videoCtx.get());
    if (video.skipPicturesUntil != AV_NOPTS_VALUE) {
      // The target lies past the last picture: that one is shown.
      video.skipPicturesUntil = AV_NOPTS_VALUE;
      videoCtx->skip_frame = AVDISCARD_DEFAULT;
      if (video.heldPicture->buf[0]) {
        ff::av_frame_move_ref(frame, video.heldPicture.get());
        return DeliverPicture(frame);
      }
    }
    if (lastWasEmpty && !endStateReported) player->ReportPosition(this);
    return 0;
  }
  ffw::Packet pkt;
  if (reader.videoq.Get(pkt, true) < 0) return -1;
  if (IsFlushPacket(pkt.get())) {
    TakeVideoFlush(pkt.get(), lastWasEmpty);
    return 0;
  }
  if (pkt->size == 0) {
    lastWasEmpty = true;
    ff::avcodec_send_packet(videoCtx.get(), nullptr);
    return 0;
  }
  lastWasEmpty = false;
  if (video.skipPicturesUntil != AV_NOPTS_VALUE) {
    // A picture before the target that no other picture refers to is not decoded at all
    // (near the end of the file or when its length is unknown, only those well before it).
    const int64_t endTs = duration > 0 ? ff::av_rescale_q(startTime + duration, AV_TIME_BASE_Q, videoSt->time_base)
                                       : -1;
    const bool nearEnd = endTs < 0 ||
                         video.skipPicturesUntil + ff::av_rescale_q(int64_t(1e6), AV_TIME_BASE_Q, videoSt->time_base) >=
                             endTs;
    const int64_t margin = nearEnd ? ff::av_rescale_q(int64_t(kDecodeAllBeforeTarget * 1e6), AV_TIME_BASE_Q,
                                                      videoSt->time_base)
                                   : 0;
    const bool farBefore = pkt->pts != AV_NOPTS_VALUE &&
                           pkt->pts + std::max<int64_t>(pkt->duration, 1) <= video.skipPicturesUntil - margin;
    videoCtx->skip_frame = farBefore ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
  }
  ff::avcodec_send_packet(videoCtx.get(), pkt.get());
  return 0;
}

void TPlayback::VideoThread() {
  ffw::Frame frame = ffw::MakeFrame();
  bool lastWasEmpty = false;
  for (;;) {
    {
      // Paused: no decoding until the pause ends, a seek wants the first picture of its place,
      // or the playback opened paused still wants its first pictures.
      std::unique_lock<std::mutex> g(video.pictLock);
      video.pictCond.wait(g, [&] {
        return !paused || reader.videoq.Aborted() || video.pausedAtSeek || framesBeforePause != 0;
      });
    }
    int r = GetVideoFrame(frame.get(), lastWasEmpty);
    if (r < 0) break;
    if (r == 0) continue;
    if (video.dropQueued && video.newFrameAfterFlush) {
      video.dropQueued = false;
      video.pausedAtSeek = false;
    }
    int64_t ts = frame->best_effort_timestamp;
    // NaN: the picture has no time of its own and takes the video clock's (time 0 is a time).
    double pts = ts == AV_NOPTS_VALUE ? std::nan("") : ts * av_q2d(videoSt->time_base);
    const int out = OutputPicture(frame.get(), pts, frame->pkt_pos);
    ff::av_frame_unref(frame.get());
    if (out < 0) break;
    if (out == 0) continue;
    player->pictureEvent_.Set();
    endStateReported = false;
    if (!reader.seekReq) player->seeking_ = false;
    int fb = framesBeforePause;
    if (fb) {
      if (fb == 2) {
        framesBeforePause = 0;
        player->SetState(psPause);
      } else {
        framesBeforePause = fb + 1;
      }
    }
    if (player->step_) TogglePause();
  }
}

// ---- subtitles ----

void TPlayback::SubtitleThread() {
  double dropTextsEndingBefore = -1e300;
  // Subtitles are decoded while paused too: a seek while paused may read several subtitle
  // packets before the one in force at the new place (the others ended before it), and that
  // one must still reach the picture on show. The queue bounds what is decoded ahead, and the
  // paused reader brings no more packets.
  for (;;) {
    ffw::Packet pkt;
    if (reader.subtitleq.Get(pkt, true) < 0) break;
    if (IsFlushPacket(pkt.get())) {
      // A seek: what was queued belongs to the old place.
      ff::avcodec_flush_buffers(subtitleCtx.get());
      dropTextsEndingBefore = double(reader.subtitleResumeAt.load()) / AV_TIME_BASE;
      std::lock_guard<std::mutex> g(subtitle.subLock);
      FreeSubPicturesLocked();
      continue;
    }
    {
      std::unique_lock<std::mutex> g(subtitle.subLock);
      subtitle.subCond.wait(g, [&] { return subtitle.subpqSize < kSubPictureQueueSize || reader.subtitleq.Aborted(); });
    }
    if (reader.subtitleq.Aborted()) break;
    TSubPicture& sp = subtitle.subpq[subtitle.subpqWindex];
    AVSubtitle sub{};
    int got = 0;
    if (ff::avcodec_decode_subtitle2(subtitleCtx.get(), &sub, &got, pkt.get()) < 0 || !got) continue;
    // Text subtitles keep their rectangles' events for the surface; graphic ones are blended.
    const bool isText = sub.format != 0;
    const double t = pkt->pts != AV_NOPTS_VALUE ? pkt->pts * av_q2d(subtitleSt->time_base) : 0;
    if (isText && t + sub.end_display_time / 1000.0 < dropTextsEndingBefore) {
      ff::avsubtitle_free(&sub);
      continue;
    }
    std::vector<TSubtitleEvent> events;
    if (isText) {
      for (unsigned i = 0; i < sub.num_rects; ++i) {
        const AVSubtitleRect* r = sub.rects[i];
        TSubtitleEvent event;
        if (r->type == SUBTITLE_ASS && r->ass) {
          event = SubtitleEvent(r->ass, subtitle.subtitleStyles);
        } else if (r->type == SUBTITLE_TEXT && r->text) {
          std::string t = r->text;
          t.erase(std::remove(t.begin(), t.end(), '\r'), t.end());
          while (!t.empty() && t.back() == '\n') t.pop_back();
          if (!t.empty()) event.Runs.push_back(TSubtitleRun{.Text = std::move(t)});
        }
        if (!event.Runs.empty()) events.push_back(std::move(event));
      }
    }
    // Palette RGBA to Y, U, V, alpha (ITU-R BT.601, limited range, 10-bit fixed point).
    for (unsigned i = 0; i < sub.num_rects; ++i) {
      AVSubtitleRect* r = sub.rects[i];
      uint32_t* pal = reinterpret_cast<uint32_t*>(r->data[1]);
      for (int j = 0; j < r->nb_colors && pal; ++j) {
        uint32_t c = pal[j];
        int a = (c >> 24) & 0xff, rr = (c >> 16) & 0xff, gg = (c >> 8) & 0xff, bb = c & 0xff;
        int y = ((263 * rr + 516 * gg + 100 * bb + 512) >> 10) + 16;
        int u = ((-152 * rr - 298 * gg + 450 * bb + 512) >> 10) + 128;
        int v = ((450 * rr - 377 * gg - 73 * bb + 512) >> 10) + 128;
        pal[j] = uint32_t(a) << 24 | uint32_t(y & 0xff) << 16 | uint32_t(u & 0xff) << 8 | uint32_t(v & 0xff);
      }
    }
    std::lock_guard<std::mutex> g(subtitle.subLock);
    if (sp.Valid) ff::avsubtitle_free(&sp.Sub);
    sp.Sub = sub;
    sp.Pts = t;
    sp.Valid = true;
    sp.IsText = isText;
    sp.Events = std::move(events);
    subtitle.subpqWindex = (subtitle.subpqWindex + 1) % kSubPictureQueueSize;
    ++subtitle.subpqSize;
    // A paused playback shows no new picture that would bring the subtitle (after a seek it
    // may come after the picture): the picture on show is drawn again with it.
    if (paused) player->PushLoopEvent(leExpose, this);
  }
}

void TPlayback::FreeFirstSubPictureLocked() {
  TSubPicture& sp = subtitle.subpq[subtitle.subpqRindex];
  ff::avsubtitle_free(&sp.Sub);
  sp.Valid = false;
  sp.Events.clear();
  subtitle.subpqRindex = (subtitle.subpqRindex + 1) % kSubPictureQueueSize;
  --subtitle.subpqSize;
  subtitle.subCond.notify_all();
}

void TPlayback::FreeSubPicturesLocked() {
  while (subtitle.subpqSize > 0) FreeFirstSubPictureLocked();
  subtitle.lingeringTexts.clear();
}

// ---- sound decoding (audio callback thread) ----

// The size in bytes of the next buffer of signed 16-bit samples in audioBuf, or -1.
int TPlayback::DecodeAudio() {
  for (;;) {
    int r = ff::avcodec_receive_frame(audioCtx.get(), sound.audioFrame.get());
    if (r == 0) {
      AVFrame* f = sound.audioFrame.get();
      AVSampleFormat fmt = AVSampleFormat(f->format);
      if (!sound.swr || fmt != sound.swrFmt || f->sample_rate != sound.swrRate ||
          ff::av_channel_layout_compare(&f->ch_layout, &sound.swrLayout) != 0) {
        sound.swr.reset();
        AVChannelLayout out{};
        ff::av_channel_layout_default(&out, sound.audioChannels);
        SwrContext* s = nullptr;
        if (ff::swr_alloc_set_opts2(&s, &out, AV_SAMPLE_FMT_S16, sound.audioRate, &f->ch_layout, fmt, f->sample_rate, 0,
                                    nullptr) < 0 ||
            ff::swr_init(s) < 0) {
          ff::swr_free(&s);
          player->SetLastError(StrFormat("Cannot convert %s sample format to %s sample format",
                                         ff::av_get_sample_fmt_name(fmt),
                                         ff::av_get_sample_fmt_name(AV_SAMPLE_FMT_S16)),
                               llError, false);
          ff::av_channel_layout_uninit(&out);
          ff::av_frame_unref(f);
          continue;
        }
        ff::av_channel_layout_uninit(&out);
        sound.swr.reset(s);
        sound.swrFmt = fmt;
        sound.swrRate = f->sample_rate;
        ff::av_channel_layout_uninit(&sound.swrLayout);
        ff::av_channel_layout_copy(&sound.swrLayout, &f->ch_layout);
      }
      uint8_t* out[1] = {sound.audioBuf.data()};
      int maxOut = kAudioBufferBytes / (2 * sound.audioChannels);
      int n = ff::swr_convert(sound.swr.get(), out, maxOut, const_cast<const uint8_t**>(f->extended_data),
                              f->nb_samples);
      int64_t ts = f->best_effort_timestamp;
      ff::av_frame_unref(f);
      if (n < 0) {
        player->SetLastError("av_audio_convert() failed", llError, false);
        continue;
      }
      if (n == 0) continue;
      const double start = ts != AV_NOPTS_VALUE ? ts * av_q2d(audioSt->time_base) : -1;
      {
        std::lock_guard<std::mutex> g(sound.audioLock);
        if (start >= 0) sound.audioClock = start;
        sound.audioClock += double(n) / sound.audioRate;
        sound.audioClockValid = true;
      }
      if (sound.skipSound) {
        // After an exact seek the sound starts at the target: what lies before it is dropped.
        const int before = start < 0 ? 0
                                     : int(std::clamp(std::lround((sound.skipSoundUntil - start) * sound.audioRate), 0L,
                                                      long(n)));
        if (before >= n) continue;
        sound.skipSound = false;
        if (before > 0) {
          const size_t bytesPerSample = size_t(2 * sound.audioChannels);
          std::memmove(sound.audioBuf.data(), sound.audioBuf.data() + size_t(before) * bytesPerSample,
                       size_t(n - before) * bytesPerSample);
          n -= before;
        }
      }
      return n * 2 * sound.audioChannels;
    }
    if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) GetFFLogger().Log(player, llInfo, "avcodec_decode_audio2() failed");
    if (r == AVERROR_EOF) ff::avcodec_flush_buffers(audioCtx.get());
    if (paused || reader.audioq.Aborted()) return -1;
    ffw::Packet pkt;
    if (reader.audioq.Get(pkt, false) <= 0) return -1;
    if (IsFlushPacket(pkt.get())) {
      ff::avcodec_flush_buffers(audioCtx.get());
      sound.swr.reset();
      sound.skipSound = pkt->pts != AV_NOPTS_VALUE;
      if (sound.skipSound) sound.skipSoundUntil = double(pkt->pts) / AV_TIME_BASE;
      continue;
    }
    if (ff::avcodec_send_packet(audioCtx.get(), pkt.get()) < 0)
      GetFFLogger().Log(player, llInfo, "avcodec_decode_audio2() failed");
  }
}

// ---- pause and seek (main thread) ----

void TPlayback::TogglePause() {
  if (!player->seekDone_.Wait(250)) player->seekDone_.Set();
  if (paused) {
    std::lock_guard<std::mutex> g(video.pictLock);
    double now = NowSeconds();
    video.frameTimer += now + video.videoCurrentPtsDrift - video.videoCurrentPts;
    if (reader.readPauseReturn != AVERROR(ENOSYS)) video.videoCurrentPts = now + video.videoCurrentPtsDrift;
    video.videoCurrentPtsDrift = video.videoCurrentPts - now;
    paused = false;
    video.pictCond.notify_all();
  } else {
    if (videoSt && !player->pictureEvent_.Wait(250)) player->pictureEvent_.Set();
    paused = true;
  }
  WakeReader();
}

void TPlayback::RequestSeek(int flags, bool wait, int64_t rel, int64_t pos) {
  if (reader.seekReq) return;
  player->seeking_ = true;
  reader.seekPos = pos;
  reader.seekRel = rel;
  reader.seekFlags = flags & 0xf;
  player->seekDone_.Reset();
  positionJumped = true;
  video.seekWaited = wait;
  reader.seekReq = true;
  WakeReader();
  if (!wait) return;
  player->WaitServing([&] { return player->seekDone_.IsSet() || abortRequest; }, -1);
  if (videoSt) player->WaitServing([&] { return player->pictureEvent_.IsSet() || abortRequest; }, -1);
  video.seekWaited = false;
}
