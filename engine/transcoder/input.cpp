// Input opening: the container is opened and analysed with the current option state, the
// start position sought, and the input's picture and sound properties copied back into the
// option state so that outputs opened afterwards inherit them.
#include <algorithm>
#include <cmath>

#include "engine/transcoder/transcoder.h"
#include "media/errors.h"
#include "media/loader.h"
#include "media/logger.h"

using namespace transcoder;

namespace {

// Lets a stop request reach a read or an open that blocks inside the format library.
int InterruptCallback(void* opaque) {
  auto* task = static_cast<TCustomFFmpeg*>(opaque);
  return task->StopRequested() ? 1 : 0;
}

const char* CodecWord(bool encoder) { return encoder ? "encoder" : "decoder"; }

// The first video packet read after a seek to `pos`: its key-frame flag and presentation
// time (µs, the container's clock). False when none comes within a few thousand packets.
bool FirstVideoPacketAfter(AVFormatContext* ctx, int videoIndex, int64_t pos, bool& key, int64_t& pts) {
  if (ff::av_seek_frame(ctx, -1, pos, AVSEEK_FLAG_BACKWARD) < 0) return false;
  ffw::Packet packet = ffw::MakePacket();
  if (!packet) return false;
  for (int n = 0; n < 5000; ++n) {
    const int ret = ff::av_read_frame(ctx, packet.get());
    if (ret == AVERROR(EAGAIN)) continue;
    if (ret < 0) return false;
    const bool found = packet->stream_index == videoIndex;
    if (found) {
      const AVRational tb = ctx->streams[videoIndex]->time_base;
      const int64_t t = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
      pts = t == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ff::av_rescale_q(t, tb, AV_TIME_BASE_Q);
    }
    ff::av_packet_unref(packet.get());
    if (found) return true;
  }
  return false;
}

// Seeks to a place from which the picture at `target` (µs, the container's clock) can be
// decoded: a key frame at or before it. Containers with an index land there at once; in
// transport and program streams a seek lands on any picture, and the decoder would skip
// pictures up to the next key frame, so the seek goes further back until the first picture
// read is a key frame. The pictures and samples before the target are dropped after
// decoding (they get negative times).
int SeekToKeyFrameBefore(AVFormatContext* ctx, int64_t target) {
  const int video = ff::av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (video < 0 || ctx->streams[video]->discard == AVDISCARD_ALL)
    return ff::av_seek_frame(ctx, -1, target, AVSEEK_FLAG_BACKWARD);
  const int64_t start = ctx->start_time != AV_NOPTS_VALUE ? ctx->start_time : 0;
  int64_t back = 0;
  for (int attempt = 0; attempt < 10; ++attempt) {
    const int64_t pos = std::max(start, target - back);
    bool key = false;
    int64_t pts = AV_NOPTS_VALUE;
    if (pos <= start || !FirstVideoPacketAfter(ctx, video, pos, key, pts) ||
        (key && pts != AV_NOPTS_VALUE && pts <= target))
      return ff::av_seek_frame(ctx, -1, pos, AVSEEK_FLAG_BACKWARD);
    back = back == 0 ? 500000 : back * 2;
  }
  return ff::av_seek_frame(ctx, -1, target, AVSEEK_FLAG_BACKWARD);
}

}  // namespace

bool TTranscoder::FindCodec(const std::string& name, AVMediaType kind, bool encoder, int strict, AVCodecID& id) {
  id = AV_CODEC_ID_NONE;
  if (name.empty()) return true;
  const AVCodec* codec = encoder ? ff::avcodec_find_encoder_by_name(name.c_str())
                                 : ff::avcodec_find_decoder_by_name(name.c_str());
  if (!codec) {
    SetLastError(StrFormat("Unknown %s '%s'", CodecWord(encoder), name.c_str()));
    return false;
  }
  if (codec->type != kind) {
    SetLastError(StrFormat("Invalid %s type '%s'", CodecWord(encoder), name.c_str()));
    return false;
  }
  if ((codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) && strict > FF_COMPLIANCE_EXPERIMENTAL) {
    std::string text = StrFormat(
        "%s '%s' is experimental and might produce bad results.\r\nAdd '-strict experimental' if you want to use it.",
        CodecWord(encoder), codec->name);
    const AVCodec* def = encoder ? ff::avcodec_find_encoder(codec->id) : ff::avcodec_find_decoder(codec->id);
    if (def && !(def->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
      text += StrFormat("\r\nOr use the non experimental %s '%s'.", CodecWord(encoder), def->name);
    SetLastError(text);
    return false;
  }
  id = codec->id;
  return true;
}

bool TTranscoder::OpenNextInput(const std::string& fileName) {
  TOptionState& o = Opt;
  if (inputs_.size() >= size_t(kMaxInputFiles))
    throw FFmpegException(StrFormat("max input files %d reached", kMaxInputFiles));

  const AVInputFormat* fmt = TakeForcedInputFormat();
  ffw::InputFile ctx = OpenInputContext(fileName, fmt);
  if (!ctx || !SelectProgram(ctx.get()) || !AnalyseInput(ctx.get(), fileName)) {
    ClearDecoderNames();
    return false;
  }
  const int64_t timestamp = SeekToStart(ctx.get(), fileName);

  auto state = std::make_unique<TInputFileState>();
  state->TsScale = o.InputTsScale;
  TakeInputStreams(ctx.get(), *state);

  // The progress total follows the longest input.
  if (ctx->duration != AV_NOPTS_VALUE && ctx->duration > o.TotalDuration) o.TotalDuration = ctx->duration;

  // Time-stamp offset: the sought start becomes time 0.
  state->TsOffset = o.CopyTs ? o.InputTsOffset : o.InputTsOffset - timestamp;
  state->SeekStart = timestamp - (ctx->start_time != AV_NOPTS_VALUE ? ctx->start_time : 0);
  state->FileName = fileName;
  o.InputTsScale = {};

  if (o.Verbose >= 0) ff::av_dump_format(ctx.get(), int(inputs_.size()), ctx->url ? ctx->url : "", 0);

  state->Ctx = std::move(ctx);
  inputs_.push_back(std::move(state));

  // The per-file values are consumed.
  o.VideoChannel = 0;
  ClearDecoderNames();
  return true;
}

const AVInputFormat* TTranscoder::TakeForcedInputFormat() {
  TOptionState& o = Opt;
  if (o.FileFormat.empty()) return nullptr;
  const AVInputFormat* fmt = ff::av_find_input_format(o.FileFormat.c_str());
  if (!fmt) throw FFmpegException(StrFormat("Unknown input format: \"%s\"", o.FileFormat.c_str()));
  o.FileFormat.clear();
  return fmt;
}

void TTranscoder::ClearDecoderNames() {
  Opt.VideoCodecName.clear();
  Opt.AudioCodecName.clear();
  Opt.SubtitleCodecName.clear();
}

ffw::InputFile TTranscoder::OpenInputContext(const std::string& fileName, const AVInputFormat* fmt) {
  TOptionState& o = Opt;
  // An empty context that carries our flags and interrupt callback into the opening.
  ffw::FormatContext made(ff::avformat_alloc_context());
  if (!made) throw FFmpegException("avformat_alloc_context failed");
  made->interrupt_callback.callback = InterruptCallback;
  made->interrupt_callback.opaque = static_cast<TCustomFFmpeg*>(this);

  ffw::Dict params;
  SetInputFormatParams(params);
  ApplyGenericOptions(Holder, made.get(), AV_OPT_FLAG_DECODING_PARAM);
  if (!SetForcedDecoders(made.get())) return nullptr;

  // Non-blocking reads; the PGM-YUV reading of image sequences.
  made->flags |= AVFMT_FLAG_NONBLOCK;
  if (o.PgmyuvCompat) made->video_codec_id = AV_CODEC_ID_PGMYUV;

  // The opening frees the context on failure.
  AVFormatContext* raw = made.release();
  const int ret = ::OpenInputFile(&raw, fileName, fmt, &params);
  if (ret < 0) {
    SetLastError(FormatAVError(fileName, ret));
    return nullptr;
  }
  return ffw::InputFile(raw);
}

void TTranscoder::SetInputFormatParams(ffw::Dict& params) const {
  const TOptionState& o = Opt;
  auto setParam = [&](const char* key, const std::string& value) { ff::av_dict_set(&params, key, value.c_str(), 0); };
  setParam("sample_rate", std::to_string(o.AudioSampleRate));
  setParam("channels", std::to_string(o.AudioChannels));
  if (o.FrameRate.num > 0 && o.FrameRate.den > 0)
    setParam("framerate", StrFormat("%d/%d", o.FrameRate.num, o.FrameRate.den));
  if (o.FrameWidth > 0 && o.FrameHeight > 0) setParam("video_size", StrFormat("%dx%d", o.FrameWidth, o.FrameHeight));
  if (o.FramePixFmt != AV_PIX_FMT_NONE)
    if (const char* n = ff::av_get_pix_fmt_name(o.FramePixFmt)) setParam("pixel_format", n);
  if (o.VideoChannel != 0) setParam("channel", std::to_string(o.VideoChannel));
  if (!o.VideoStandard.empty()) setParam("standard", o.VideoStandard);
  if (o.LoopInput) setParam("loop", "1");
}

bool TTranscoder::SetForcedDecoders(AVFormatContext* ctx) {
  const TOptionState& o = Opt;
  auto strictOf = [&](AVMediaType t) { return Holder.CodecContexts[t]->strict_std_compliance; };
  AVCodecID vid = AV_CODEC_ID_NONE, aid = AV_CODEC_ID_NONE, sid = AV_CODEC_ID_NONE;
  if (!FindCodec(o.VideoCodecName, AVMEDIA_TYPE_VIDEO, false, strictOf(AVMEDIA_TYPE_VIDEO), vid) ||
      !FindCodec(o.AudioCodecName, AVMEDIA_TYPE_AUDIO, false, strictOf(AVMEDIA_TYPE_AUDIO), aid) ||
      !FindCodec(o.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, false, strictOf(AVMEDIA_TYPE_SUBTITLE), sid))
    return false;
  ctx->video_codec_id = vid;
  ctx->audio_codec_id = aid;
  ctx->subtitle_codec_id = sid;
  return true;
}

bool TTranscoder::SelectProgram(AVFormatContext* ctx) {
  TOptionState& o = Opt;
  if (o.ProgramId == 0) return true;
  bool found = false;
  for (unsigned i = 0; i < ctx->nb_streams; ++i) ctx->streams[i]->discard = AVDISCARD_ALL;
  for (unsigned p = 0; p < ctx->nb_programs; ++p) {
    AVProgram* prog = ctx->programs[p];
    if (prog->id == o.ProgramId) {
      found = true;
      prog->discard = AVDISCARD_DEFAULT;
      for (unsigned k = 0; k < prog->nb_stream_indexes; ++k)
        ctx->streams[prog->stream_index[k]]->discard = AVDISCARD_DEFAULT;
    } else {
      prog->discard = AVDISCARD_ALL;
    }
  }
  if (!found) {
    SetLastError("Specified program id not found");
    return false;
  }
  o.ProgramId = 0;
  return true;
}

bool TTranscoder::AnalyseInput(AVFormatContext* ctx, const std::string& fileName) {
  int ret;
  {
    std::lock_guard<std::mutex> g(CodecLock());
    ret = ff::avformat_find_stream_info(ctx, nullptr);
  }
  if (ret < 0 && Opt.Verbose >= 0) {
    SetLastError(StrFormat("%s: could not find codec parameters", fileName.c_str()));
    LogText(llVerbose, LastError());
    return false;
  }
  if (StopRequested()) {
    SetLastError("Opening stopped");
    return false;
  }
  return true;
}

int64_t TTranscoder::SeekToStart(AVFormatContext* ctx, const std::string& fileName) {
  TOptionState& o = Opt;
  int64_t timestamp = o.StartTime;
  if (ctx->start_time != AV_NOPTS_VALUE) timestamp += ctx->start_time;
  if (o.StartTime != 0) {
    const int ret = SeekToKeyFrameBefore(ctx, timestamp);
    if (ret < 0 && o.Verbose > 0)
      GetFFLogger().LogFmt(this, llVerbose, "%s: could not seek to position %0.3f", fileName.c_str(),
                           double(timestamp) / 1000000.0);
  }
  o.StartTime = 0;
  return timestamp;
}

void TTranscoder::TakeInputStreams(AVFormatContext* ctx, TInputFileState& state) {
  const TOptionState& o = Opt;
  state.Streams.resize(ctx->nb_streams);
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    AVStream* st = ctx->streams[i];
    AVCodecParameters* par = st->codecpar;
    TInputStreamCodec& sc = state.Streams[i];
    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
      case AVMEDIA_TYPE_AUDIO:
      case AVMEDIA_TYPE_DATA:
      case AVMEDIA_TYPE_SUBTITLE:
      case AVMEDIA_TYPE_ATTACHMENT:
      case AVMEDIA_TYPE_UNKNOWN:
        break;
      default:
        throw FFmpegException("invalid codec_type");
    }
    const std::string* wanted = par->codec_type == AVMEDIA_TYPE_VIDEO      ? &o.VideoCodecName
                                : par->codec_type == AVMEDIA_TYPE_AUDIO    ? &o.AudioCodecName
                                : par->codec_type == AVMEDIA_TYPE_SUBTITLE ? &o.SubtitleCodecName
                                                                           : nullptr;
    if (wanted && !wanted->empty()) sc.NamedDecoder = ff::avcodec_find_decoder_by_name(wanted->c_str());
    const AVCodec* dec = sc.NamedDecoder ? sc.NamedDecoder : ff::avcodec_find_decoder(par->codec_id);
    sc.Dec.reset(ff::avcodec_alloc_context3(dec));
    if (!sc.Dec) throw FFmpegException("avcodec_alloc_context3 failed");
    if (ff::avcodec_parameters_to_context(sc.Dec.get(), par) < 0)
      throw FFmpegException("avcodec_parameters_to_context failed");
    sc.Dec->pkt_timebase = st->time_base;
    // One thread per core, as the libraries choose: decoding keeps pace with the encoders.
    sc.Dec->thread_count = 0;

    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
      TakeVideoProperties(int(i), st, sc);
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
      TakeAudioProperties(st, sc);
    } else if (par->codec_type == AVMEDIA_TYPE_SUBTITLE) {
      if (o.SubtitleDisable) {
        st->discard = AVDISCARD_ALL;
        sc.Discarded = true;
      }
    }
    if (st->discard == AVDISCARD_ALL) sc.Discarded = true;
  }
}

void TTranscoder::TakeVideoProperties(int index, AVStream* st, TInputStreamCodec& sc) {
  TOptionState& o = Opt;
  AVCodecParameters* par = st->codecpar;
  ApplyGenericOptions(Holder, sc.Dec.get(), AVMEDIA_TYPE_VIDEO, AV_OPT_FLAG_DECODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
  o.FrameWidth = par->width;
  o.FrameHeight = par->height;
  AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
  if (par->width > 0 && par->height > 0) {
    const double s = sar.num && sar.den ? double(sar.num) / sar.den : 0.0;
    o.FrameAspectRatio = s != 0.0 ? double(par->width) * s / par->height : double(par->width) / par->height;
  } else if (!sar.num) {
    o.FrameAspectRatio = 4.0 / 3.0;
  }
  if (par->format < 0) par->format = AV_PIX_FMT_YUV420P;
  o.FramePixFmt = AVPixelFormat(par->format);
  AVRational rate = st->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = st->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = AVRational{25, 1};
  // A still picture (cover art) has no rate of its own: it is shown at 25 pictures a second.
  if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) rate = AVRational{25, 1};
  sc.RealFrameRate = rate;
  if (sc.Dec->lowres > 0) {
    o.FrameWidth >>= sc.Dec->lowres;
    o.FrameHeight >>= sc.Dec->lowres;
  }
  // The pictures are turned upright before they are encoded: a quarter turn swaps the
  // frame's sides and shape.
  if (!(st->disposition & AV_DISPOSITION_ATTACHED_PIC) && DisplayOrientation(StreamDisplayMatrix(st)).SwapsSides()) {
    std::swap(o.FrameWidth, o.FrameHeight);
    if (o.FrameAspectRatio > 0) o.FrameAspectRatio = 1.0 / o.FrameAspectRatio;
  }
  const AVRational avg = st->avg_frame_rate;
  if (avg.num > 0 && avg.den > 0 && (avg.num != rate.num || avg.den != rate.den) && o.Verbose >= 0)
    GetFFLogger().LogFmt(
        this, llInfo,
        "Seems stream %d codec frame rate differs from container frame rate: %2.2f (%d/%d) -> %2.2f (%d/%d)", index,
        double(avg.num) / avg.den, avg.num, avg.den, double(rate.num) / rate.den, rate.num, rate.den);
  o.FrameRate = rate;
  if (o.VideoDisable) {
    st->discard = AVDISCARD_ALL;
    sc.Discarded = true;
  } else if (o.VideoDiscard != 0) {
    st->discard = AVDiscard(o.VideoDiscard);
    sc.Discarded = st->discard == AVDISCARD_ALL;
  }
}

void TTranscoder::TakeAudioProperties(AVStream* st, TInputStreamCodec& sc) {
  TOptionState& o = Opt;
  const AVCodecParameters* par = st->codecpar;
  ApplyGenericOptions(Holder, sc.Dec.get(), AVMEDIA_TYPE_AUDIO, AV_OPT_FLAG_DECODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
  ff::av_channel_layout_uninit(&inputLayout_);
  ff::av_channel_layout_copy(&inputLayout_, &par->ch_layout);
  if (par->ch_layout.nb_channels > 0) o.AudioChannels = par->ch_layout.nb_channels;
  if (par->sample_rate > 0) o.AudioSampleRate = par->sample_rate;
  o.AudioSampleFmt = AVSampleFormat(par->format);
  if (o.AudioDisable) {
    st->discard = AVDISCARD_ALL;
    sc.Discarded = true;
  }
}
