// The preview player's presentation: the picture queue and its frame timing, the clocks with
// sound as the master, the refresh that shows each picture on time or drops it, the layout
// into the video surface, the wave display for sound without pictures, and the audio
// callback with volume and mute.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "media/player_playback.h"

namespace {
constexpr double kSyncThreshold = 0.015;
constexpr double kMaxTimerLag = 0.1;
constexpr double kNoSyncThreshold = 10.0;
constexpr double kMaxSkipFactor = 3.0;
constexpr int kDisplayScaleFlags = SWS_BICUBIC;
// How long the sound of a file with pictures waits for the first picture at most.
constexpr double kSoundWaitForPicture = 0.5;
const uint8_t kSilence[1024] = {};
}  // namespace

// ---- clocks ----

double TPlayback::AudioClock() {
  std::lock_guard<std::mutex> g(sound.audioLock);
  if (!sound.audioClockValid) return 0;
  // The sound handed over in the last callback plays from that callback on.
  double played = std::clamp(NowSeconds() - sound.cbTime, 0.0, sound.cbRealSeconds);
  return sound.cbClockStart + played;
}

double TPlayback::VideoClockLocked() {
  if (paused) return video.videoCurrentPts;
  if (video.videoCurrentPtsDrift != 0) return NowSeconds() + video.videoCurrentPtsDrift;
  return startTime / 1e6;
}

double TPlayback::VideoClock() {
  std::lock_guard<std::mutex> g(video.pictLock);
  return VideoClockLocked();
}

double TPlayback::MasterClock() {
  if (audioSt) return AudioClock();
  return VideoClock();
}

// ---- picture queue (video thread) ----

double TPlayback::ComputeTargetTimeLocked(double framePts) {
  const double now = NowSeconds();
  const bool first = video.frameLastPts < 0;
  double delay = framePts - video.frameLastPts;
  if (first || delay <= 0 || delay >= kNoSyncThreshold)
    delay = video.frameLastDelay;
  else
    video.frameLastDelay = delay;
  video.frameLastPts = framePts;
  // The first picture after opening or a seek is due when it arrives: the time the decoder
  // took to deliver it is no lateness.
  if (first) return video.frameTimer = now;
  if (audioSt && video.shownSinceFlush) {
    // Pictures follow the sound: a picture behind the sound by more than kSyncThreshold is
    // shown half that much sooner (at once when that is in the past), one ahead of it half
    // that much later, by one picture's time at most. Taking up half the offset at each
    // picture follows a drifting sound clock without swinging to the other side.
    double diff = VideoClockLocked() - AudioClock();
    if (std::fabs(diff) < kNoSyncThreshold && std::fabs(diff) >= kSyncThreshold)
      delay = diff < 0 ? std::max(0.0, delay + diff / 2) : delay + std::min(diff / 2, delay);
  }
  video.frameTimer += delay;
  // A timer far behind the wall clock (the decoder stalled) starts again from now, so that a
  // stall costs the pictures it delayed, not a run of drops after it.
  if (delay > 0 && now - video.frameTimer > kMaxTimerLag) video.frameTimer = now;
  return video.frameTimer;
}

int TPlayback::OutputPicture(AVFrame* frame, double pts, int64_t pos) {
  {
    std::unique_lock<std::mutex> g(video.pictLock);
    if (!std::isnan(pts))
      video.videoClock = pts;
    else
      pts = video.videoClock;
    video.videoClock += video.frameDuration + frame->repeat_pict * video.frameDuration * 0.5;
    if (video.pictqSize == kPictureQueueSize && !refreshPending)
      video.skipFactor = std::max(0.95 * video.skipFactor, 0.95);
    // A seek while this waits makes the picture one of the old place: it is dropped at once
    // rather than waiting for the presenter to show one of the pictures the seek drops too.
    video.pictCond.wait(g,
                        [&] { return video.pictqSize < kPictureQueueSize || reader.videoq.Aborted() || OldPlace(); });
    if (reader.videoq.Aborted()) return -1;
    if (OldPlace()) return 0;
  }
  player->RunHook(this, frame, pts);
  bool due;
  {
    std::lock_guard<std::mutex> g(video.pictLock);
    TPictureSlot& slot = video.pictq[video.pictqWindex];
    ff::av_frame_unref(slot.Frame.get());
    if (ff::av_frame_ref(slot.Frame.get(), frame) < 0) return -1;
    // The first picture of a place is due at once.
    due = video.frameLastPts < 0;
    slot.Pts = pts;
    slot.Pos = pos;
    slot.Target = ComputeTargetTimeLocked(pts);
    video.pictqWindex = (video.pictqWindex + 1) % kPictureQueueSize;
    ++video.pictqSize;
  }
  // Paused, it is shown now, not at the refresh thread's next tick (after a seek that its
  // caller waits for, at the first tick after the caller has been told). Playing, the tick
  // shows it: shown at once, the next pictures would be timed against the sound clock of the
  // old place, which runs on until the sound of the new place starts.
  if (due && paused && !video.seekWaited && !refreshPending.exchange(true)) player->PushLoopEvent(leRefresh, this);
  return 1;
}

// ---- refresh (play thread) ----

void TPlayback::RefreshThread() {
  while (!abortRequest) {
    if (!refreshPending.exchange(true)) player->PushLoopEvent(leRefresh, this);
    SleepMs(sound.showAudio ? 20 : 5);
  }
}

void TPlayback::Refresh(bool consume) {
  if (!videoSt) {
    if (audioSt) {
      Display();
      player->ReportPosition(this);
    }
    return;
  }
  for (;;) {
    std::unique_lock<std::mutex> g(video.pictLock);
    if (video.pictqSize == 0 || !consume) {
      g.unlock();
      if (!consume) Display();
      player->ReportPosition(this);
      return;
    }
    TPictureSlot& vp = video.pictq[video.pictqRindex];
    double now = NowSeconds();
    if (now < vp.Target) return;
    // The first picture after a seek whose caller waits for it is shown once the caller has
    // been told it is there (at the refresh thread's next tick), so that the caller sees it come.
    if (!video.shownSinceFlush && video.seekWaited && !video.dropQueued) return;
    video.videoCurrentPts = vp.Pts;
    video.videoCurrentPtsDrift = vp.Pts - now;
    // The first picture of a place (after the opening or a seek: the seek's target) is shown
    // however late it is; only the old place's pictures are dropped then.
    const bool firstOfPlace = !video.shownSinceFlush;
    video.shownSinceFlush = true;
    video.videoCurrentPos = vp.Pos;
    double next = video.pictqSize > 1 ? video.pictq[(video.pictqRindex + 1) % kPictureQueueSize].Target
                                      : vp.Target + video.videoClock - vp.Pts;
    bool dropAll = video.dropQueued;
    if ((now > next && !captureDevice && !firstOfPlace) || dropAll) {
      // Never more than kMaxSkipFactor: when decoding cannot keep up, skipping more decoded
      // pictures saves no decoding and would leave the picture standing still.
      video.skipFactor = std::min(video.skipFactor * 1.05, kMaxSkipFactor);
      if (video.pictqSize > 1 || now > next + 0.5 || dropAll) {
        video.pictqRindex = (video.pictqRindex + 1) % kPictureQueueSize;
        --video.pictqSize;
        video.pictCond.notify_all();
        if (!dropAll) {
          std::lock_guard<std::mutex> c(player->countersLock_);
          ++player->counters_.PicturesDropped;
        }
        continue;
      }
    }
    // Subtitles: free the ones whose time is over.
    {
      std::lock_guard<std::mutex> s(subtitle.subLock);
      if (subtitle.subtitleStreamChanged) {
        FreeSubPicturesLocked();
        subtitle.subtitleStreamChanged = false;
      } else {
        while (subtitle.subpqSize > 0) {
          TSubPicture& sp = subtitle.subpq[subtitle.subpqRindex];
          bool over = video.videoCurrentPts > sp.Pts + sp.Sub.end_display_time / 1000.0;
          if (!over && subtitle.subpqSize > 1) {
            TSubPicture& sp2 = subtitle.subpq[(subtitle.subpqRindex + 1) % kSubPictureQueueSize];
            over = video.videoCurrentPts > sp2.Pts + sp2.Sub.start_display_time / 1000.0;
          }
          if (!over) break;
          // A text the next one overtook before its end stays on screen beside it.
          const double end = sp.Pts + sp.Sub.end_display_time / 1000.0;
          if (sp.IsText && !sp.Events.empty() && video.videoCurrentPts <= end &&
              subtitle.lingeringTexts.size() < kMaxLingeringTexts)
            subtitle.lingeringTexts.push_back({sp.Pts + sp.Sub.start_display_time / 1000.0, end, std::move(sp.Events)});
          FreeFirstSubPictureLocked();
        }
        std::erase_if(subtitle.lingeringTexts, [&](const TLingeringText& l) { return video.videoCurrentPts > l.End; });
      }
    }
    {
      std::lock_guard<std::mutex> c(video.currentLock);
      ff::av_frame_unref(video.current.get());
      video.haveCurrent = ff::av_frame_ref(video.current.get(), vp.Frame.get()) >= 0;
      video.currentPts = vp.Pts;
    }
    video.pictqRindex = (video.pictqRindex + 1) % kPictureQueueSize;
    --video.pictqSize;
    video.pictCond.notify_all();
    g.unlock();
    {
      std::lock_guard<std::mutex> c(player->countersLock_);
      ++player->counters_.PicturesShown;
    }
    // (A picture of the new place: the old place's are dropped until the first new one comes.)
    if (video.newFrameAfterFlush) sound.firstPictureShown = true;
    Display();
    player->ReportPosition(this);
    return;
  }
}

// ---- display (play thread) ----

void TPlayback::UpdateOutputSize() {
  IVideoSurface* screen = player->screen_;
  if (screen) {
    int w = 0, h = 0;
    screen->ClientSize(w, h);
    if (w > 0 && h > 0 && (w != surfaceWidth || h != surfaceHeight)) {
      // The panel was resized: the picture follows it.
      surfaceWidth = w;
      surfaceHeight = h;
      outWidth = w;
      outHeight = h;
    }
  }
  if (outWidth <= 0 || outHeight <= 0) {
    if (videoSt) {
      outWidth = UprightWidth() & ~1;
      outHeight = UprightHeight() & ~1;
    } else {
      outWidth = 640;
      outHeight = 480;
    }
  }
}

void TPlayback::Display() {
  UpdateOutputSize();
  if (audioSt && sound.showAudio)
    DisplayWave();
  else if (videoSt)
    DisplayPicture();
}

void TPlayback::DisplayPicture() {
  IVideoSurface* screen = player->screen_;
  if (!screen) return;
  int64_t pts;
  TLayoutRect r;
  TSubtitleText text;
  {
    std::lock_guard<std::mutex> g(video.currentLock);
    if (!video.haveCurrent) return;
    AVFrame* f = video.current.get();
    AVRational sarq = f->sample_aspect_ratio.num > 0 ? f->sample_aspect_ratio : videoSt->codecpar->sample_aspect_ratio;
    double sar = sarq.num > 0 && sarq.den > 0 ? av_q2d(sarq) : 0;
    r = LayoutPicture(player->AspectRatio(), sar, f->width & ~1, f->height & ~1, outWidth, outHeight);
    if (r.Width <= 0 || r.Height <= 0) return;
    pts = int64_t(std::llround(video.currentPts * 1e6)) - startTime;

    // Graphic subtitles are blended into a copy of the picture; the text of a text subtitle
    // goes to the surface while the picture lies in its display time.
    ffw::Frame blended;
    AVFrame* src = f;
    {
      std::lock_guard<std::mutex> s(subtitle.subLock);
      // Every text in force, the earliest first, one under the other.
      auto addText = [&](double start, double end, const std::vector<TSubtitleEvent>& events) {
        if (video.currentPts < start || video.currentPts > end) return;
        text.Events.insert(text.Events.end(), events.begin(), events.end());
      };
      for (const TLingeringText& l : subtitle.lingeringTexts) addText(l.Start, l.End, l.Events);
      for (int i = 0; i < subtitle.subpqSize; ++i) {
        const TSubPicture& sp = subtitle.subpq[(subtitle.subpqRindex + i) % kSubPictureQueueSize];
        if (sp.IsText)
          addText(sp.Pts + sp.Sub.start_display_time / 1000.0, sp.Pts + sp.Sub.end_display_time / 1000.0, sp.Events);
      }
      if (subtitle.subpqSize > 0 && !subtitle.subpq[subtitle.subpqRindex].IsText && f->format == AV_PIX_FMT_YUV420P) {
        TSubPicture& sp = subtitle.subpq[subtitle.subpqRindex];
        if (sp.Pts + sp.Sub.start_display_time / 1000.0 <= video.currentPts) {
          blended = ffw::MakeFrame();
          if (ff::av_frame_ref(blended.get(), f) >= 0 && ff::av_frame_make_writable(blended.get()) >= 0) {
            BlendSubtitles(blended.get(), video.currentPts);
            src = blended.get();
          }
        }
      }
    }
    // One scaling, straight to the size the surface draws.
    displaySws = ff::sws_getCachedContext(displaySws, src->width, src->height, AVPixelFormat(src->format), r.Width,
                                          r.Height, AV_PIX_FMT_BGR24, kDisplayScaleFlags, nullptr, nullptr, nullptr);
    if (!displaySws) return;
    displayBitmap.SetSize(r.Width, r.Height);
    uint8_t* dst[4] = {displayBitmap.Pixels.data(), nullptr, nullptr, nullptr};
    int dstLinesize[4] = {displayBitmap.Stride, 0, 0, 0};
    ff::sws_scale(displaySws, src->data, src->linesize, 0, src->height, dst, dstLinesize);
  }
  if (player->stopRequested_) return;
  if (!subtitle.subtitleTextSent || text != subtitle.subtitleText) {
    subtitle.subtitleTextSent = true;
    subtitle.subtitleText = text;
    screen->ShowSubtitle(subtitle.subtitleText);
  }
  screen->Present(displayBitmap, r.X, r.Y, outWidth, outHeight, pts);
}

// Caller holds subLock; the frame is a writable planar YUV 4:2:0 picture.
void TPlayback::BlendSubtitles(AVFrame* frame, double) {
  const AVSubtitle& sub = subtitle.subpq[subtitle.subpqRindex].Sub;
  for (unsigned i = 0; i < sub.num_rects; ++i) {
    const AVSubtitleRect* rect = sub.rects[i];
    if (rect->type != SUBTITLE_BITMAP || !rect->data[0] || !rect->data[1]) continue;
    // Clip: size first, then position.
    int w = std::min(rect->w, frame->width), h = std::min(rect->h, frame->height);
    int x0 = std::clamp(rect->x, 0, frame->width - w), y0 = std::clamp(rect->y, 0, frame->height - h);
    const uint32_t* pal = reinterpret_cast<const uint32_t*>(rect->data[1]);
    auto yuva = [&](int x, int y, int& Y, int& U, int& V, int& A) {
      uint32_t c = pal[rect->data[0][y * rect->linesize[0] + x]];
      A = int(c >> 24);
      Y = int((c >> 16) & 0xff);
      U = int((c >> 8) & 0xff);
      V = int(c & 0xff);
    };
    for (int y = 0; y < h; ++y) {
      uint8_t* lum = frame->data[0] + (y0 + y) * frame->linesize[0] + x0;
      for (int x = 0; x < w; ++x) {
        int Y, U, V, A;
        yuva(x, y, Y, U, V, A);
        lum[x] = uint8_t((lum[x] * (255 - A) + Y * A) / 255);
      }
    }
    // Chroma at half resolution: the rectangle pixels each chroma sample covers.
    for (int cy = (y0 >> 1); cy <= ((y0 + h - 1) >> 1); ++cy) {
      for (int cx = (x0 >> 1); cx <= ((x0 + w - 1) >> 1); ++cx) {
        int sa = 0, su = 0, sv = 0, n = 0;
        for (int dy = 0; dy < 2; ++dy)
          for (int dx = 0; dx < 2; ++dx) {
            int px = cx * 2 + dx - x0, py = cy * 2 + dy - y0;
            if (px < 0 || py < 0 || px >= w || py >= h) continue;
            int Y, U, V, A;
            yuva(px, py, Y, U, V, A);
            sa += A;
            su += U;
            sv += V;
            ++n;
          }
        if (n == 0) continue;
        int a = n == 1 ? sa : sa / 4;
        int u = su / n, v = sv / n;
        uint8_t* cb = frame->data[1] + cy * frame->linesize[1] + cx;
        uint8_t* cr = frame->data[2] + cy * frame->linesize[2] + cx;
        *cb = uint8_t((*cb * (255 - a) + u * a) / 255);
        *cr = uint8_t((*cr * (255 - a) + v * a) / 255);
      }
    }
  }
}

void TPlayback::DisplayWave() {
  IVideoSurface* screen = player->screen_;
  if (!screen) return;
  const int n = std::max(sound.audioChannels, 1);
  const int width = outWidth, height = outHeight;
  int start;
  if (!paused) {
    double leftBytes, since;
    {
      std::lock_guard<std::mutex> g(sound.audioLock);
      leftBytes = sound.cbLeftBytes;
      since = NowSeconds() - sound.cbTime;
    }
    int delay = int(leftBytes / (2 * n) - since * sound.audioRate);
    delay += 2 * width;
    if (delay < width) delay = width;
    std::lock_guard<std::mutex> g(sound.waveLock);
    int x = ((sound.sampleArrayIndex - delay * n) % kWaveRingSamples + kWaveRingSamples) % kWaveRingSamples;
    start = x;
    int best = INT_MIN;
    for (int i = 0; i < 1000; i += n) {
      int idx = (kWaveRingSamples + x - i) % kWaveRingSamples;
      int a = sound.sampleArray[idx];
      int b = sound.sampleArray[(idx + 4 * n) % kWaveRingSamples];
      int c = sound.sampleArray[(idx + 5 * n) % kWaveRingSamples];
      int d = sound.sampleArray[(idx + 9 * n) % kWaveRingSamples];
      int score = a - d;
      if (best < score && (b ^ c) < 0) {
        best = score;
        start = idx;
      }
    }
    sound.lastWaveStart = start;
  } else {
    start = sound.lastWaveStart;
  }
  displayBitmap.SetSize(width, height);
  std::fill(displayBitmap.Pixels.begin(), displayBitmap.Pixels.end(), 0);
  auto white = [&](int x, int y) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    std::memset(displayBitmap.Row(y) + x * 3, 255, 3);
  };
  const int rows = height / n;
  const int h2 = (rows * 9) / 20;
  {
    std::lock_guard<std::mutex> g(sound.waveLock);
    for (int ch = 0; ch < n; ++ch) {
      int i = start + ch;
      int centre = ch * rows + rows / 2;
      for (int x = 0; x < width; ++x) {
        int s = sound.sampleArray[i % kWaveRingSamples];
        int len = std::abs(s) * h2 / 32768;
        int y0 = s > 0 ? centre : centre - len;
        for (int y = y0; y < y0 + len; ++y) white(x, y);
        i = (i + n) % kWaveRingSamples;
      }
    }
  }
  for (int ch = 1; ch < n; ++ch)
    for (int x = 0; x < width; ++x) white(x, ch * rows);
  if (player->stopRequested_) return;
  screen->Present(displayBitmap, 0, 0, width, height, -1);
}

// ---- sound output (SDL's audio thread) ----

void TPlayback::AudioCallback(void* opaque, Uint8* stream, int len) {
  TPlayback* pb = static_cast<TPlayback*>(opaque);
  TCustomPlayer* player = pb->player;
  const double now = NowSeconds();
  const double bytesPerSecond = double(pb->sound.audioRate) * 2 * pb->sound.audioChannels;
  // The sound starts with the first picture, at the opening and after a seek: the video
  // decoder needs several pictures' time to deliver its first one (after a seek, to decode
  // forward to the target), and sound played meanwhile would start with the picture behind
  // it. A picture that does not come within kSoundWaitForPicture does not hold the sound
  // longer. Nothing is taken from the sound meanwhile, so its clock stays where it was.
  if (pb->sound.soundWaitsForPicture && !pb->sound.firstPictureShown &&
      now - pb->sound.soundWaitFrom < kSoundWaitForPicture) {
    std::memset(stream, 0, size_t(len));
    std::lock_guard<std::mutex> g(player->countersLock_);
    player->counters_.SilenceBytes += len;
    return;
  }
  bool realStarted = false;
  double clockStart = 0, realSeconds = 0;
  int64_t realBytes = 0, silentBytes = 0;
  while (len > 0) {
    if (pb->sound.audioBufIndex >= pb->sound.audioBufSize) {
      int n = pb->DecodeAudio();
      if (pb->reader.audioq.Aborted()) {
        std::memset(stream, 0, size_t(len));
        return;
      }
      if (n < 0) {
        pb->sound.audioBufSilent = true;
        pb->sound.audioBufSize = int(sizeof(kSilence));
      } else {
        pb->sound.audioBufSilent = false;
        pb->sound.audioBufSize = n;
        if (pb->sound.showAudio) {
          std::lock_guard<std::mutex> g(pb->sound.waveLock);
          const int16_t* s = reinterpret_cast<const int16_t*>(pb->sound.audioBuf.data());
          for (int i = 0; i < n / 2; ++i) {
            pb->sound.sampleArray[pb->sound.sampleArrayIndex] = s[i];
            pb->sound.sampleArrayIndex = (pb->sound.sampleArrayIndex + 1) % kWaveRingSamples;
          }
        }
      }
      pb->sound.audioBufIndex = 0;
    }
    int l = std::min(len, pb->sound.audioBufSize - pb->sound.audioBufIndex);
    const uint8_t* src = pb->sound.audioBufSilent ? kSilence : pb->sound.audioBuf.data() + pb->sound.audioBufIndex;
    if (!pb->sound.audioBufSilent) {
      if (!realStarted) {
        std::lock_guard<std::mutex> g(pb->sound.audioLock);
        clockStart = pb->sound.audioClock - (pb->sound.audioBufSize - pb->sound.audioBufIndex) / bytesPerSecond;
        realStarted = true;
      }
      realSeconds += l / bytesPerSecond;
      realBytes += l;
    } else {
      silentBytes += l;
    }
    const int volume = player->AudioVolume;
    if (player->Mute || pb->sound.audioBufSilent || volume <= 0) {
      std::memset(stream, 0, size_t(l));
      if (!pb->sound.audioBufSilent) silentBytes += l;
    } else if (volume >= SDL_MIX_MAXVOLUME) {
      std::memcpy(stream, src, size_t(l));
    } else {
      std::memset(stream, 0, size_t(l));
      ff::SDL_MixAudioFormat(stream, src, AUDIO_S16SYS, Uint32(l), volume);
    }
    len -= l;
    stream += l;
    pb->sound.audioBufIndex += l;
  }
  {
    std::lock_guard<std::mutex> g(pb->sound.audioLock);
    pb->sound.cbTime = now;
    pb->sound.cbLeftBytes = pb->sound.audioBufSilent ? 0 : pb->sound.audioBufSize - pb->sound.audioBufIndex;
    if (realStarted) {
      pb->sound.cbClockStart = clockStart;
      pb->sound.cbRealSeconds = realSeconds;
    } else {
      pb->sound.cbClockStart = pb->sound.audioClock - pb->sound.cbLeftBytes / bytesPerSecond;
      pb->sound.cbRealSeconds = 0;
    }
  }
  std::lock_guard<std::mutex> g(player->countersLock_);
  player->counters_.AudioBytesPlayed += realBytes;
  player->counters_.SilenceBytes += silentBytes;
}
