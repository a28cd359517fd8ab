// The video path: pre-processing of every decoded picture (deinterlacing, the application's
// hook, hook modules), then per encoded output stream the frame-rate synchronisation,
// cropping and scaling, encoding, the preview picture and writing; and the subtitle path.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/transcoder/transcoder.h"
#include "media/errors.h"
#include "media/logger.h"

using namespace transcoder;

namespace {

// The most encoder ticks (frames) of repeated pictures that may run past the content an input
// holds: a few, for pictures read a little ahead of the other streams.
constexpr double kGapFillTicks = 3.0;

// Blends the lines of the second field with their neighbours ([-1 4 2 4 -1] / 8 vertically),
// one plane of 8-bit samples. Lines of the first field stay as they are.
void DeinterlacePlane(uint8_t* data, int linesize, int width, int height) {
  if (height < 3) return;
  std::vector<uint8_t> prev2(static_cast<size_t>(width)), prev1(static_cast<size_t>(width));
  // Original rows are needed after earlier rows were rewritten: keep copies of the two rows
  // above the current one.
  std::memcpy(prev1.data(), data, size_t(width));
  std::copy(prev1.begin(), prev1.end(), prev2.begin());
  for (int y = 1; y < height; ++y) {
    uint8_t* row = data + size_t(y) * size_t(linesize);
    std::vector<uint8_t> current(row, row + width);
    if (y & 1) {
      const uint8_t* below1 = y + 1 < height ? row + linesize : row;
      const uint8_t* below2 = y + 2 < height ? row + 2 * linesize : below1;
      for (int x = 0; x < width; ++x) {
        const int v = -prev2[size_t(x)] + 4 * prev1[size_t(x)] + 2 * current[size_t(x)] + 4 * below1[x] - below2[x];
        row[x] = uint8_t(std::clamp((v + 4) >> 3, 0, 255));
      }
    }
    prev2.swap(prev1);
    prev1.swap(current);
  }
}

bool Deinterlace(AVFrame* frame) {
  const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(AVPixelFormat(frame->format));
  if (!desc || !(desc->flags & AV_PIX_FMT_FLAG_PLANAR) || (desc->flags & AV_PIX_FMT_FLAG_HWACCEL) ||
      desc->comp[0].depth != 8 || (desc->flags & AV_PIX_FMT_FLAG_RGB))
    return false;
  for (int p = 0; p < 4 && frame->data[p]; ++p) {
    const bool chroma = p == 1 || p == 2;
    const int w = chroma ? AV_CEIL_RSHIFT(frame->width, desc->log2_chroma_w) : frame->width;
    const int h = chroma ? AV_CEIL_RSHIFT(frame->height, desc->log2_chroma_h) : frame->height;
    DeinterlacePlane(frame->data[p], frame->linesize[p], w, h);
  }
  return true;
}

}  // namespace

void TTranscoder::TurnUpright(TInputStream& ist, AVFrame* picture) {
  if (ist.Orientation.Filters.empty()) return;
  std::string step;
  const int ret = ist.Turner.Turn(picture, ist.Orientation.Filters, step);
  if (ret < 0) Raise(FormatAVError("turning the picture upright (" + step + ")", ret));
}

void TTranscoder::KeepStillPicture(TInputStream& ist, const AVFrame* picture) {
  if (!ist.Still) ist.Still = ffw::MakeFrame();
  if (!ist.Still) Raise("Out of memory");
  ff::av_frame_unref(ist.Still.get());
  if (ff::av_frame_ref(ist.Still.get(), picture) < 0) Raise("Out of memory");
  ist.StillTime = ist.StreamTime;
}

void TTranscoder::RepeatStillPictures(int64_t until) {
  if (repeatingStill_) return;
  for (auto& p : ist_) {
    TInputStream& ist = *p;
    if (!ist.Still) continue;
    // The frame rate of the output stream that shows it.
    AVRational rate{0, 1};
    for (auto& o : ost_)
      if (o->EncodingNeeded && o->Active && ist_[size_t(o->SourceIndex)].get() == &ist) rate = o->Enc->framerate;
    if (rate.num <= 0 || rate.den <= 0) continue;
    const int64_t step = std::max<int64_t>(1, ff::av_rescale_q(1, AVRational{rate.den, rate.num}, AV_TIME_BASE_Q));
    // Showings before the trim start would only be dropped.
    if (Opt.StartTime > ist.StillTime + step) ist.StillTime = Opt.StartTime - step;
    if (!stillCopy_) stillCopy_ = ffw::MakeFrame();
    if (!stillCopy_) Raise("Out of memory");
    repeatingStill_ = true;
    try {
      while (ist.StillTime + step <= until && !StopRequested()) {
        ist.StillTime += step;
        if (ff::av_frame_ref(stillCopy_.get(), ist.Still.get()) < 0) Raise("Out of memory");
        const int64_t ts = ff::av_rescale_q(ist.StillTime, AV_TIME_BASE_Q, ist.Stream->time_base);
        stillCopy_->pts = stillCopy_->best_effort_timestamp = ts;
        HandleDecodedFrame(ist, stillCopy_.get());
        ff::av_frame_unref(stillCopy_.get());
      }
    } catch (...) {
      repeatingStill_ = false;
      ff::av_frame_unref(stillCopy_.get());
      throw;
    }
    repeatingStill_ = false;
  }
}

void TTranscoder::PrepareDecodedPicture(TInputStream& ist, AVFrame* picture) {
  ++pictureCount_;
  TurnUpright(ist, picture);
  const int64_t streamTime = ist.StreamTime;
  const bool deinterlace = Opt.DoDeinterlace;
  const bool hook = hookOn_ && HasHookCallback();
  const bool modules = hookModulesOn_ && hookChain_;
  if (!deinterlace && !hook && !modules) return;
  if (hook && !deinterlace) {
    // The hook reads the picture as it is and writes a whole new one only when it drew.
    CustomHook(picture, AVPixelFormat(picture->format), picture->width, picture->height, streamTime);
    return;
  }
  // The decoder may still need this picture as a reference: work on a private copy.
  if (ff::av_frame_make_writable(picture) < 0) {
    LogText(llError, "hook buf malloc error.");
    return;
  }
  if (deinterlace && !Deinterlace(picture)) LogText(llError, "Deinterlacing failed.");
  if (hook) {
    CustomHook(picture, AVPixelFormat(picture->format), picture->width, picture->height, streamTime);
  } else if (modules) {
    TFrameHookPicture pict{};
    for (int i = 0; i < 4; ++i) {
      pict.data[i] = picture->data[i];
      pict.linesize[i] = picture->linesize[i];
    }
    RunFrameHooks(hookChain_, &pict, picture->format, picture->width, picture->height, streamTime);
  }
}

void TTranscoder::CustomHook(AVFrame* picture, AVPixelFormat pixFmt, int width, int height, int64_t streamTime) {
  // A picture the application leaves as it is passes on without the conversions.
  if (!HookNeeded(pictureCount_, streamTime)) return;
  bool failed = false;
  if (!PictureToBitmap(hookConv_, picture, pixFmt, height, width)) {
    LogText(llError, "Cannot initialize the toRGB conversion context");
    failed = true;
  }
  THookInfo info;
  if (!failed) {
    info.Bitmap = &hookConv_.Bitmap;
    info.FrameNumber = pictureCount_;
    info.PTS = streamTime;
    info.Update = true;
    info.StopHook = false;
    try {
      DoHook(info);
    } catch (const std::exception& e) {
      LogText(llError, std::string("Error occurs OnCustomHook: ") + e.what());
      info.Update = false;
    } catch (...) {
      LogText(llError, "Error occurs OnCustomHook: unknown error");
      info.Update = false;
    }
    if (info.Update && !ff::av_frame_is_writable(picture)) {
      // The decoder still holds these planes: the drawn picture goes into new ones, which the
      // conversion fills completely, so nothing needs copying first.
      ffw::Frame fresh = ffw::MakeFrame();
      if (!fresh) Raise("Out of memory");
      fresh->format = picture->format;
      fresh->width = picture->width;
      fresh->height = picture->height;
      if (ff::av_frame_get_buffer(fresh.get(), 0) < 0 || ff::av_frame_copy_props(fresh.get(), picture) < 0)
        Raise("Out of memory");
      ff::av_frame_unref(picture);
      ff::av_frame_move_ref(picture, fresh.get());
    }
    if (info.Update && !BitmapToPicture(hookConv_, picture, pixFmt, height, width)) {
      LogText(llError, "Cannot initialize the fromRGB conversion context");
      failed = true;
    }
  }
  if (info.StopHook || failed) {
    hookOn_ = false;
    hookModulesOn_ = false;
  }
}

void TTranscoder::PreviewPicture(const AVFrame* picture, int64_t pts) {
  // The flags are read and updated under the global flags lock; the conversion and the
  // handler run outside it, so that the previews of tasks running at once, and a front end
  // that switches the preview while a handler runs, never wait for one another.
  int flags = 0;
  {
    std::lock_guard<std::mutex> g(PreviewFlagsLock());
    flags = FlagsLocked();
  }
  const int64_t now = ff::av_gettime();
  if (now - previewLast_ <= PreviewIntervalUs()) return;
  int failed = 0;
  if ((flags & kFlagPreviewBitmap) && HasPreviewCallback()) {
    if (!PictureToBitmap(previewConv_, picture, AVPixelFormat(picture->format), picture->height, picture->width)) {
      LogText(llError, "Cannot initialize the toRGB conversion context");
      failed = kFlagPreviewBitmap;
    } else {
      TPreviewInfo info;
      info.Bitmap = &previewConv_.Bitmap;
      info.FrameNumber = pictureCount_;
      info.PTS = pts;
      DoPreview(info);
    }
    previewLast_ = now;
  } else if (flags & kFlagPreviewWindow) {
    bool keep = true;
    if (!previewer_) previewer_ = CreatePreviewer();
    if (!previewer_) {
      keep = false;
    } else if (!PictureToBitmap(previewConv_, picture, AVPixelFormat(picture->format), picture->height,
                                picture->width)) {
      LogText(llError, "Cannot initialize the toRGB conversion context");
      keep = false;
    } else {
      keep = previewer_->ShowPicture(previewConv_.Bitmap, pictureCount_, pts);
    }
    if (!keep) {
      failed = kFlagPreviewWindow;
      previewer_.reset();
    }
    previewLast_ = now;
  }
  if (failed) {
    std::lock_guard<std::mutex> g(PreviewFlagsLock());
    FlagsLocked() &= ~failed;
  }
}

int64_t TTranscoder::ContentReach(const TInputStream& ist) const {
  int64_t reach = kNoPts;
  for (const auto& p : ist_) {
    const TInputStream& other = *p;
    if (&other == &ist || other.FileIndex != ist.FileIndex || other.Unclaimed) continue;
    // A stream not read yet holds nothing past the input's start.
    int64_t t = inputs_[size_t(ist.FileIndex)]->StartTime;
    if (other.PacketsRead > 0) {
      t = other.StreamTime;
      if (other.NextStreamTime != kNoPts) t = std::max(t, other.NextStreamTime);
    }
    reach = reach == kNoPts ? t : std::max(reach, t);
  }
  if (reach != kNoPts) return reach;
  // The only stream in use: the container's length is all there is to go by.
  const TInputFileState& in = *inputs_[size_t(ist.FileIndex)];
  const AVFormatContext* ic = in.Ctx.get();
  if (ic->duration == AV_NOPTS_VALUE || ic->duration <= 0) return kNoPts;
  const int64_t start = ic->start_time == AV_NOPTS_VALUE ? 0 : ic->start_time;
  return start + ic->duration + in.TsOffset + ist.StartCorrection;
}

int TTranscoder::DoVideoOut(TOutputStream& ost, TInputStream& ist, AVFrame* picture) {
  TOptionState& o = Opt;
  AVCodecContext* enc = ost.Enc;
  AVFormatContext* oc = outputFile(ost.FileIndex).Ctx.get();
  const double tb = av_q2d(enc->time_base);
  double t = double(ist.StreamTime - o.StartTime) / 1000000.0 / tb - ost.SkippedTicks;
  int n = 1;

  // A picture far ahead of the output and of everything else the input holds so far (a
  // damaged or jumping time stamp) follows on a few frames after that content instead: the
  // gap has nothing in it, and repeating pictures through it would make the output run on for
  // as long as the jump (hours, from one bad time stamp). A gap that the other streams' content
  // covers (still pictures over sound) is filled as before.
  if (o.VideoSyncMethod != 0 && t - double(ost.OutputTicks) > kGapFillTicks) {
    const int64_t reach = ContentReach(ist);
    if (reach != kNoPts) {
      const double limit = std::max(double(ost.OutputTicks),
                                    double(reach - o.StartTime) / 1000000.0 / tb - ost.SkippedTicks) +
                           kGapFillTicks;
      if (t > limit) {
        if (o.Verbose > 2)
          GetFFLogger().LogFmt(this, llVerbose, "*** gap of %.3f s without content skipped", (t - limit) * tb);
        ost.SkippedTicks += t - limit;
        t = limit;
      }
    }
  }

  // 2. Frame-rate synchronisation.
  if (o.VideoSyncMethod != 0) {
    const double d = t - double(ost.OutputTicks);
    if (d < -1.1) {
      n = 0;
    } else if (o.VideoSyncMethod == 2 || (o.VideoSyncMethod == -1 && (oc->oformat->flags & AVFMT_VARIABLE_FPS))) {
      if (d <= -0.6)
        n = 0;
      else if (d > 0.6)
        ost.OutputTicks = std::llround(t);
    } else if (d > 1.1) {
      n = int(std::lround(d));
    }
    if (n == 0) {
      ++dropCount_;
      dupDropLogged_ = true;
      if (o.Verbose > 2) LogText(llVerbose, "*** drop!");
    } else if (n > 1) {
      dupCount_ += n - 1;
      dupDropLogged_ = true;
      if (o.Verbose > 2) GetFFLogger().LogFmt(this, llVerbose, "*** %d dup!", n - 1);
    }
  } else {
    ost.OutputTicks = std::llround(t);
  }

  // 3. Frame limit.
  n = int(std::min<int64_t>(n, int64_t(o.VideoMaxFrames) - ost.FrameNumber));
  if (n <= 0) return 0;

  AVFrame* final = picture;
  if (!ost.Graph) {
    // 5. A picture of another size or format than set up for.
    const int h = picture->height - ost.CurrentCropTop - ost.CurrentCropBottom;
    const int w = picture->width - ost.CurrentCropLeft - ost.CurrentCropRight;
    if (h != ost.ScalerInputHeight || w != ost.ScalerInputWidth || picture->format != ost.ScalerInputFormat) {
      const char* fmtName = ff::av_get_pix_fmt_name(AVPixelFormat(picture->format));
      GetFFLogger().LogFmt(this, llQuiet, "Input Stream #%d.%d frame size changed to %dx%d, %s", ist.FileIndex,
                           ist.Index, picture->width, picture->height, fmtName ? fmtName : "none");
      if (!ost.VideoResample) {
        // The stream had no scaler: one is made now, so that the new pictures still reach the
        // encoder at its size instead of ending the conversion.
        ost.InitialWidth = ost.ScalerInputWidth + ost.InitialCropLeft + ost.InitialCropRight;
        ost.InitialHeight = ost.ScalerInputHeight + ost.InitialCropTop + ost.InitialCropBottom;
        ost.VideoResample = true;
      }
      if (ost.VideoResample) {
        ost.CurrentCropTop = (picture->height * ost.InitialCropTop / ost.InitialHeight) & ~1;
        ost.CurrentCropBottom = (picture->height * ost.InitialCropBottom / ost.InitialHeight) & ~1;
        ost.CurrentCropLeft = (picture->width * ost.InitialCropLeft / ost.InitialWidth) & ~1;
        ost.CurrentCropRight = (picture->width * ost.InitialCropRight / ost.InitialWidth) & ~1;
        ost.ScalerInputHeight = picture->height - ost.CurrentCropTop - ost.CurrentCropBottom;
        ost.ScalerInputWidth = picture->width - ost.CurrentCropLeft - ost.CurrentCropRight;
        ost.ScalerInputFormat = picture->format;
        ost.VideoCrop = ost.CurrentCropTop || ost.CurrentCropBottom || ost.CurrentCropLeft || ost.CurrentCropRight;
        MakePictureScaler(ost, ost.ScalerInputWidth, ost.ScalerInputHeight, AVPixelFormat(ost.ScalerInputFormat));
      }
    }

    // 4. Cropped view; 6. scaling.
    const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(AVPixelFormat(picture->format));
    const uint8_t* src[4] = {picture->data[0], picture->data[1], picture->data[2], picture->data[3]};
    if (ost.VideoCrop) {
      if (!desc || (desc->flags & AV_PIX_FMT_FLAG_HWACCEL)) {
        if (o.ExitOnError) Raise("error cropping picture");
        LogText(llError, "error cropping picture");
        return 0;
      }
      for (int p = 0; p < 4 && picture->data[p]; ++p) {
        const bool chroma = (p == 1 || p == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
        const int top = chroma ? ost.CurrentCropTop >> desc->log2_chroma_h : ost.CurrentCropTop;
        const int left = chroma ? ost.CurrentCropLeft >> desc->log2_chroma_w : ost.CurrentCropLeft;
        const int step = desc->flags & AV_PIX_FMT_FLAG_PLANAR ? (desc->comp[p < desc->nb_components ? p : 0].step)
                                                              : desc->comp[0].step;
        src[p] = picture->data[p] + ptrdiff_t(top) * picture->linesize[p] + ptrdiff_t(left) * step;
      }
    }
    if (ost.VideoResample) {
      AVFrame* scaled = ost.ScaledPicture.get();
      if (ff::av_frame_make_writable(scaled) < 0) Raise("Cannot allocate temp picture, check pix fmt");
      ff::sws_scale(ost.PictureScaler.get(), src, picture->linesize, 0, ost.ScalerInputHeight, scaled->data,
                    scaled->linesize);
      scaled->sample_aspect_ratio = enc->sample_aspect_ratio;
      final = scaled;
    } else if (ost.VideoCrop) {
      // Same size and format after cropping: a view on the decoded picture.
      if (!cropView_) cropView_ = ffw::MakeFrame();
      ff::av_frame_unref(cropView_.get());
      if (ff::av_frame_ref(cropView_.get(), picture) < 0) Raise("error cropping picture");
      for (int p = 0; p < 4; ++p) cropView_->data[p] = const_cast<uint8_t*>(src[p]);
      cropView_->width = ost.ScalerInputWidth;
      cropView_->height = ost.ScalerInputHeight;
      final = cropView_.get();
    }
  }

  // 7. Encode N copies.
  int frameSize = 0;
  for (int i = 0; i < n && !StopRequested(); ++i) {
    final->pict_type = AV_PICTURE_TYPE_NONE;
    final->interlaced_frame = picture->interlaced_frame;
    if (enc->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME))
      final->top_field_first = o.TopFieldFirst == -1 ? picture->top_field_first : o.TopFieldFirst;
    final->quality = int(o.SameQuality ? ist.Quality : ost.Def->Quality);
    final->pts = ost.OutputTicks;
    lastVideoPacketSize_ = 0;
    EncodeAndWrite(ost, final, true);
    if (lastVideoPacketSize_ > 0) {
      frameSize = int(lastVideoPacketSize_);
      if (Flags() != 0) PreviewPicture(final, ist.StreamTime);
    }
    ost.OutputTicks++;
    ost.FrameNumber++;
  }
  if (final == cropView_.get()) ff::av_frame_unref(cropView_.get());
  return frameSize;
}

void TTranscoder::DoSubtitleOut(TOutputStream& ost, TInputStream& ist, AVSubtitle& sub, int64_t streamTime) {
  TOptionState& o = Opt;
  if (sub.pts == AV_NOPTS_VALUE && streamTime == kNoPts) {
    if (o.ExitOnError) Raise("Subtitle packets must have a pts");
    LogText(llError, "Subtitle packets must have a pts");
    return;
  }
  if (subtitleBuffer_.empty()) subtitleBuffer_.resize(1 << 20);
  AVCodecContext* enc = ost.Enc;
  const int copies = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
  const uint32_t startOffset = sub.start_display_time;
  for (int i = 0; i < copies; ++i) {
    AVSubtitle s = sub;
    s.pts = streamTime + int64_t(startOffset) * 1000 - o.StartTime;
    s.end_display_time -= s.start_display_time;
    s.start_display_time = 0;
    if (i == 1) s.num_rects = 0;  // the second DVB packet clears the screen
    const int size = ff::avcodec_encode_subtitle(enc, subtitleBuffer_.data(), int(subtitleBuffer_.size()), &s);
    if (size < 0) Raise("Subtitle encoding failed");
    AVPacket* pkt = outPacket_.get();
    ff::av_packet_unref(pkt);
    if (ff::av_new_packet(pkt, size) < 0) Raise("Out of memory");
    std::memcpy(pkt->data, subtitleBuffer_.data(), size_t(size));
    pkt->stream_index = ost.Stream->index;
    pkt->pts = ff::av_rescale_q(s.pts, AV_TIME_BASE_Q, ost.Stream->time_base);
    pkt->duration = ff::av_rescale_q(s.end_display_time, AVRational{1, 1000}, ost.Stream->time_base);
    if (enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE)
      pkt->pts += 90 * (i == 0 ? sub.start_display_time : sub.end_display_time);
    pkt->dts = pkt->pts;
    (void)ist;
    WriteFrame(ost, pkt);
    ost.FrameNumber++;
  }
}
