// Output opening: the container is chosen, one video, audio and subtitle stream is made as
// the inputs and options allow, encoder settings are written into each stream's codec
// context, metadata is attached and the file is created. Encoders open at set-up.
#include <cmath>
#include <ctime>

#include "engine/transcoder/transcoder.h"
#include "media/errors.h"
#include "media/logger.h"

using namespace transcoder;

namespace {

// Sample aspect ratio of a picture of w x h shown at display aspect `aspect` (0: square
// pixels, a size of 0 assumes 4:3 pictures).
AVRational SampleAspect(double aspect, int w, int h) {
  double sar = (w > 0 && h > 0) ? aspect * h / w : aspect * 3.0 / 4.0;
  if (aspect == 0.0) sar = 0.0;
  AVRational r = DoubleToRational(sar, 255);
  if (r.den == 0) r = AVRational{0, 1};
  return r;
}

// The encoder for a stream: by name (FindCodec's checks), else the container's guess for the
// file name. Raises with the lookup's text.
const AVCodec* ChooseEncoder(TTranscoder& t, const std::string& name, AVMediaType kind, int strict,
                             const AVOutputFormat* fmt, const std::string& fileName, AVCodecID& id) {
  if (!name.empty()) {
    if (!t.FindCodec(name, kind, true, strict, id)) throw FFmpegException(t.LastError());
    return ff::avcodec_find_encoder_by_name(name.c_str());
  }
  id = ff::av_guess_codec(fmt, nullptr, fileName.c_str(), nullptr, kind);
  return ff::avcodec_find_encoder(id);
}

}  // namespace

void TTranscoder::CheckInputStreams(bool join, bool& hasVideo, bool& hasAudio, bool& hasSubtitle) {
  hasVideo = hasAudio = hasSubtitle = false;
  const size_t count = join ? std::min<size_t>(1, inputs_.size()) : inputs_.size();
  for (size_t f = 0; f < count; ++f) {
    AVFormatContext* ic = inputs_[f]->Ctx.get();
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
      switch (ic->streams[i]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
          hasVideo = true;
          break;
        case AVMEDIA_TYPE_AUDIO:
          hasAudio = true;
          break;
        case AVMEDIA_TYPE_SUBTITLE:
          hasSubtitle = true;
          break;
        case AVMEDIA_TYPE_DATA:
        case AVMEDIA_TYPE_ATTACHMENT:
        case AVMEDIA_TYPE_UNKNOWN:
          break;
        default:
          throw FFmpegException("invalid codec_type of input file");
      }
    }
  }
}

namespace {

// Creates the stream and its (unopened) codec context for a new output stream.
TOutputStreamDef& AddStreamDef(TOutputFileState& output, const TOptionState& o, AVMediaType type,
                               const AVCodec* codec) {
  AVFormatContext* oc = output.Ctx.get();
  const unsigned index = oc->nb_streams;
  AVStream* st = ff::avformat_new_stream(oc, nullptr);
  if (!st) throw FFmpegException("Could not alloc stream");
  if (index < o.StreamIdMap.size() && o.StreamIdMap[index] != 0) st->id = o.StreamIdMap[index];
  auto def = std::make_unique<TOutputStreamDef>();
  def->Stream = st;
  def->Type = type;
  def->Enc.reset(ff::avcodec_alloc_context3(codec));
  if (!def->Enc) throw FFmpegException("Could not alloc stream");
  def->Enc->codec_type = type;
  def->Enc->thread_count = 0;
  output.Streams.push_back(std::move(def));
  return *output.Streams.back();
}

}  // namespace

void TTranscoder::NewVideoStream(TOutputFileState& output) {
  TOptionState& o = Opt;
  AVFormatContext* oc = output.Ctx.get();
  const AVOutputFormat* fmt = oc->oformat;
  const AVCodec* codec = nullptr;
  AVCodecID id = AV_CODEC_ID_NONE;
  if (!o.VideoStreamCopy)
    codec = ChooseEncoder(*this, o.VideoCodecName, AVMEDIA_TYPE_VIDEO,
                          Holder.CodecContexts[AVMEDIA_TYPE_VIDEO]->strict_std_compliance, fmt, output.FileName, id);
  TOutputStreamDef& def = AddStreamDef(output, o, AVMEDIA_TYPE_VIDEO, codec);
  AVCodecContext* enc = def.Enc.get();
  AVStream* st = def.Stream;
  def.BitstreamFilters = o.VideoBitstreamFilters;
  o.VideoBitstreamFilters.clear();

  if (o.VideoCodecTag) enc->codec_tag = o.VideoCodecTag;
  if ((o.VideoGlobalHeader & 1) || (o.VideoGlobalHeader == 0 && (fmt->flags & AVFMT_GLOBALHEADER)))
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (o.VideoGlobalHeader & 2) enc->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;

  const AVRational sar = SampleAspect(o.FrameAspectRatio, o.FrameWidth, o.FrameHeight);
  if (o.VideoStreamCopy) {
    def.Copy = true;
    st->sample_aspect_ratio = sar;
    enc->sample_aspect_ratio = sar;
  } else {
    AVRational rate = o.FrameRate;
    if (rate.num <= 0 || rate.den <= 0) rate = AVRational{25, 1};
    enc->codec_id = id;
    def.Codec = codec;
    ApplyGenericOptions(Holder, enc, AVMEDIA_TYPE_VIDEO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
    if (codec && codec->supported_framerates && !o.ForceFps)
      rate = codec->supported_framerates[ff::av_find_nearest_q_idx(rate, codec->supported_framerates)];
    enc->framerate = rate;
    enc->time_base = AVRational{rate.den, rate.num};
    enc->width = o.FrameWidth;
    enc->height = o.FrameHeight;
    enc->sample_aspect_ratio = sar;
    st->sample_aspect_ratio = sar;
    enc->pix_fmt = o.FramePixFmt;
    if (codec && codec->pix_fmts) {
      bool listed = false;
      for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) listed |= *p == enc->pix_fmt;
      // The JPEG encoder takes limited-range YUV only when told to accept unofficial streams.
      if (codec->id == AV_CODEC_ID_MJPEG && enc->strict_std_compliance >= 0 &&
          (enc->pix_fmt == AV_PIX_FMT_YUV420P || enc->pix_fmt == AV_PIX_FMT_YUV422P ||
           enc->pix_fmt == AV_PIX_FMT_YUV444P))
        listed = false;
      const bool mjpegKeeps = codec->id == AV_CODEC_ID_MJPEG && enc->strict_std_compliance < 0 &&
                              (enc->pix_fmt == AV_PIX_FMT_YUV420P || enc->pix_fmt == AV_PIX_FMT_YUV422P);
      if (!listed && !mjpegKeeps) enc->pix_fmt = codec->pix_fmts[0];
    }
    if (o.IntraOnly) enc->gop_size = 0;
    if (o.VideoQScale != 0.0 || o.SameQuality) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      def.Quality = float(FF_QP2LAMBDA * o.VideoQScale);
      enc->global_quality = int(def.Quality);
    }
    auto matrix = [](const std::vector<uint16_t>& m) -> uint16_t* {
      if (m.size() != size_t(kMatrixCoefficients)) return nullptr;
      auto* out = static_cast<uint16_t*>(ff::av_malloc(sizeof(uint16_t) * kMatrixCoefficients));
      if (!out) throw FFmpegException("Cannot allocate quantiser matrix");
      std::copy(m.begin(), m.end(), out);
      return out;
    };
    if (!o.IntraMatrix.empty()) enc->intra_matrix = matrix(o.IntraMatrix);
    if (!o.InterMatrix.empty()) enc->inter_matrix = matrix(o.InterMatrix);
    if (!o.VideoRcOverride.empty()) {
      std::vector<RcOverride> entries;
      std::string rest = o.VideoRcOverride;
      while (!rest.empty()) {
        std::string item = SplitAtSeparator(rest, "/", true);
        int start = 0, end = 0, q = 0;
        char tail = 0;
        if (std::sscanf(item.c_str(), "%d,%d,%d%c", &start, &end, &q, &tail) != 3)
          throw FFmpegException("error parsing rc_override");
        RcOverride r{};
        r.start_frame = start;
        r.end_frame = end;
        if (q > 0) {
          r.qscale = q;
          r.quality_factor = 1.0f;
        } else {
          r.qscale = 0;
          r.quality_factor = -float(q) / 100.0f;
        }
        entries.push_back(r);
      }
      enc->rc_override = static_cast<RcOverride*>(ff::av_malloc(sizeof(RcOverride) * entries.size()));
      if (!enc->rc_override) throw FFmpegException("Cannot allocate rc_override");
      std::copy(entries.begin(), entries.end(), enc->rc_override);
      enc->rc_override_count = int(entries.size());
    }
    if (enc->rc_initial_buffer_occupancy == 0) enc->rc_initial_buffer_occupancy = enc->rc_buffer_size * 3 / 4;
    enc->intra_dc_precision = o.IntraDcPrecision - 8;
    if (o.DoPsnr) enc->flags |= AV_CODEC_FLAG_PSNR;
    if (o.DoPass == 1) enc->flags |= AV_CODEC_FLAG_PASS1;
    if (o.DoPass == 2) enc->flags |= AV_CODEC_FLAG_PASS2;
  }
  if (!o.VideoLanguage.empty()) ff::av_dict_set(&st->metadata, "language", o.VideoLanguage.c_str(), 0);
  o.VideoLanguage.clear();
  o.VideoDisable = false;
  o.VideoCodecName.clear();
  o.VideoStreamCopy = false;
  o.FramePixFmt = AV_PIX_FMT_NONE;
}

void TTranscoder::NewAudioStream(TOutputFileState& output) {
  TOptionState& o = Opt;
  AVFormatContext* oc = output.Ctx.get();
  const AVOutputFormat* fmt = oc->oformat;
  const AVCodec* codec = nullptr;
  AVCodecID id = AV_CODEC_ID_NONE;
  if (!o.AudioStreamCopy)
    codec = ChooseEncoder(*this, o.AudioCodecName, AVMEDIA_TYPE_AUDIO,
                          Holder.CodecContexts[AVMEDIA_TYPE_AUDIO]->strict_std_compliance, fmt, output.FileName, id);
  TOutputStreamDef& def = AddStreamDef(output, o, AVMEDIA_TYPE_AUDIO, codec);
  AVCodecContext* enc = def.Enc.get();
  AVStream* st = def.Stream;
  def.BitstreamFilters = o.AudioBitstreamFilters;
  o.AudioBitstreamFilters.clear();
  if (o.AudioCodecTag) enc->codec_tag = o.AudioCodecTag;
  if (fmt->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

  if (o.AudioStreamCopy) {
    def.Copy = true;
    ff::av_channel_layout_default(&enc->ch_layout, o.AudioChannels);
    enc->sample_rate = o.AudioSampleRate;
  } else {
    enc->codec_id = id;
    def.Codec = codec;
    ApplyGenericOptions(Holder, enc, AVMEDIA_TYPE_AUDIO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
    if (o.AudioQScale > -99999.0) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      def.Quality = float(FF_QP2LAMBDA * o.AudioQScale);
      enc->global_quality = int(def.Quality);
    }
    ff::av_channel_layout_uninit(&enc->ch_layout);
    if (inputLayout_.nb_channels == o.AudioChannels && inputLayout_.order == AV_CHANNEL_ORDER_NATIVE)
      ff::av_channel_layout_copy(&enc->ch_layout, &inputLayout_);
    else
      ff::av_channel_layout_default(&enc->ch_layout, o.AudioChannels);
    // An encoder that lists its layouts gets the listed one with this channel count.
    if (codec && codec->ch_layouts) {
      bool listed = false;
      for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l)
        listed |= ff::av_channel_layout_compare(l, &enc->ch_layout) == 0;
      if (!listed)
        for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l)
          if (l->nb_channels == o.AudioChannels) {
            ff::av_channel_layout_uninit(&enc->ch_layout);
            ff::av_channel_layout_copy(&enc->ch_layout, l);
            break;
          }
    }
    enc->sample_fmt = o.AudioSampleFmt;
    if (codec && codec->sample_fmts) {
      bool listed = false;
      for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f) listed |= *f == enc->sample_fmt;
      if (!listed) enc->sample_fmt = codec->sample_fmts[0];
    }
    enc->sample_rate = o.AudioSampleRate;
    if (codec && codec->supported_samplerates) {
      int best = codec->supported_samplerates[0];
      for (const int* r = codec->supported_samplerates; *r; ++r)
        if (std::abs(*r - o.AudioSampleRate) < std::abs(best - o.AudioSampleRate)) best = *r;
      if (best != o.AudioSampleRate)
        GetFFLogger().LogFmt(this, llWarning, "Requested sampling rate unsupported using closest supported (%d)", best);
      enc->sample_rate = best;
    }
    enc->time_base = AVRational{1, enc->sample_rate > 0 ? enc->sample_rate : 1};
  }
  if (!o.AudioLanguage.empty()) ff::av_dict_set(&st->metadata, "language", o.AudioLanguage.c_str(), 0);
  o.AudioLanguage.clear();
  o.AudioDisable = false;
  o.AudioCodecName.clear();
  o.AudioStreamCopy = false;
}

void TTranscoder::NewSubtitleStream(TOutputFileState& output) {
  TOptionState& o = Opt;
  const AVCodec* codec = nullptr;
  AVCodecID id = AV_CODEC_ID_NONE;
  if (!o.SubtitleStreamCopy) {
    if (!FindCodec(o.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, true,
                   Holder.CodecContexts[AVMEDIA_TYPE_SUBTITLE]->strict_std_compliance, id))
      throw FFmpegException(LastError());
    if (!o.SubtitleCodecName.empty())
      codec = ff::avcodec_find_encoder_by_name(o.SubtitleCodecName.c_str());
    else {
      id = ff::av_guess_codec(output.Ctx->oformat, nullptr, output.FileName.c_str(), nullptr, AVMEDIA_TYPE_SUBTITLE);
      codec = ff::avcodec_find_encoder(id);
    }
  }
  TOutputStreamDef& def = AddStreamDef(output, o, AVMEDIA_TYPE_SUBTITLE, codec);
  AVCodecContext* enc = def.Enc.get();
  def.BitstreamFilters = o.SubtitleBitstreamFilters;
  o.SubtitleBitstreamFilters.clear();
  if (o.SubtitleCodecTag) enc->codec_tag = o.SubtitleCodecTag;
  if (o.SubtitleStreamCopy) {
    def.Copy = true;
  } else {
    ApplyGenericOptions(Holder, enc, AVMEDIA_TYPE_SUBTITLE, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_SUBTITLE_PARAM);
    enc->codec_id = id;
    def.Codec = codec;
  }
  if (!o.SubtitleLanguage.empty()) ff::av_dict_set(&def.Stream->metadata, "language", o.SubtitleLanguage.c_str(), 0);
  o.SubtitleLanguage.clear();
  o.SubtitleDisable = false;
  o.SubtitleCodecName.clear();
  o.SubtitleStreamCopy = false;
}

void TTranscoder::NewStream(AVMediaType type) {
  if (outputSlots_.empty()) throw FFmpegException("At least one output file must be specified");
  TOutputFileState& output = *outputSlots_.back();
  if (output.Ctx->nb_streams >= unsigned(kMaxStreams))
    throw FFmpegException(StrFormat("Too many streams in output file (at most %d)", kMaxStreams));
  if (type == AVMEDIA_TYPE_VIDEO)
    NewVideoStream(output);
  else if (type == AVMEDIA_TYPE_AUDIO)
    NewAudioStream(output);
  else
    NewSubtitleStream(output);
}

int TTranscoder::OpenNextOutput(const std::string& fileName, bool join) {
  TOptionState& o = Opt;
  // 1. One joined output per task.
  if (joinMode_) {
    SetLastError("Cannot join more than one output file.");
    return -1;
  }
  const size_t slotsNeeded = (join && inputs_.size() > 1) ? inputs_.size() : 1;
  if (outputSlots_.size() + slotsNeeded > size_t(kMaxOutputFiles)) {
    SetLastError(StrFormat("max output files %d reached", kMaxOutputFiles));
    return -1;
  }

  // 2. The format context (the container first: the library allocates with the format).
  usesFilterGraph_ = !o.VideoFilters.empty();
  const AVOutputFormat* fmt = nullptr;
  std::string libName;
  try {
    libName = ToLibraryFileName(fileName);
  } catch (const FFmpegException& e) {
    SetLastError(e.what());
    return -1;
  }
  // 3. Container format.
  if (!o.FileFormat.empty()) {
    fmt = ff::av_guess_format(o.FileFormat.c_str(), nullptr, nullptr);
    if (!fmt) {
      SetLastError(StrFormat("Requested output format '%s' is not a suitable output format", o.FileFormat.c_str()));
      return -1;
    }
    o.FileFormat.clear();
  } else {
    fmt = ff::av_guess_format(nullptr, fileName.c_str(), nullptr);
    if (!fmt) {
      SetLastError(StrFormat("Unable to find a suitable output format for '%s'", fileName.c_str()));
      return -1;
    }
  }
  AVFormatContext* raw = nullptr;
  if (ff::avformat_alloc_output_context2(&raw, fmt, nullptr, libName.c_str()) < 0 || !raw)
    throw FFmpegException("avformat_alloc_context failed");
  auto output = std::make_unique<TOutputFileState>();
  output->Ctx.reset(raw);
  output->FileName = fileName;
  AVFormatContext* oc = raw;

  // 5. The streaming-server feed has no counterpart in the libraries in use.
  if (std::string(fmt->name) == "ffm") {
    SetLastError(StrFormat("%s: feeding a streaming server is not supported", fileName.c_str()));
    return -1;
  }

  try {
    // 6. Stream wishes; 7. what the inputs have; 8. "an", "vn".
    bool useVideo = o.VideoStreamCopy || fmt->video_codec != AV_CODEC_ID_NONE || !o.VideoCodecName.empty();
    bool useAudio = o.AudioStreamCopy || fmt->audio_codec != AV_CODEC_ID_NONE || !o.AudioCodecName.empty();
    bool useSubtitle = o.SubtitleStreamCopy || fmt->subtitle_codec != AV_CODEC_ID_NONE || !o.SubtitleCodecName.empty();
    if (!inputs_.empty()) {
      bool hv = false, ha = false, hs = false;
      try {
        CheckInputStreams(join, hv, ha, hs);
      } catch (const FFmpegException& e) {
        throw FFmpegException(StrFormat("check_audio_video_sub_inputs fail: %s", e.what()));
      }
      useVideo &= hv;
      useAudio &= ha;
      useSubtitle &= hs;
    }
    if (o.AudioDisable) useAudio = false;
    if (o.VideoDisable) useVideo = false;
    if (!inputs_.empty() && !useVideo && !useAudio && !useSubtitle) {
      // Say what the file lacks rather than that the output would be empty.
      bool hv = false, ha = false, hs = false;
      CheckInputStreams(join, hv, ha, hs);
      if (!hv && !ha) throw FFmpegException("The file has no picture or sound to convert");
      if (o.VideoDisable && !ha) throw FFmpegException("The file has no sound to convert");
      if (o.AudioDisable && !hv) throw FFmpegException("The file has no picture to convert");
    }

    // 9. Streams in the order video, audio, subtitle.
    auto wrap = [](const char* what, auto&& make) {
      try {
        make();
      } catch (const FFmpegException& e) {
        throw FFmpegException(StrFormat("%s fail: %s", what, e.what()));
      }
    };
    // The PSP's MP4 plays only files with a picture and a sound track: a video without sound
    // gets a silent one of its length.
    const bool silentSound = !useAudio && useVideo && !o.AudioDisable && !o.AudioStreamCopy &&
                             std::string(fmt->name) == "psp" && !inputs_.empty();
    if (useVideo) wrap("new_video_stream", [&] { NewVideoStream(*output); });
    if (useAudio || silentSound) wrap("new_audio_stream", [&] { NewAudioStream(*output); });
    if (silentSound) output->Streams.back()->SilentSound = true;
    if (useSubtitle && !o.SubtitleDisable) wrap("new_subtitle_stream", [&] { NewSubtitleStream(*output); });

    // 10. Creation time; 11. metadata from the last entry to the first.
    if (o.RecTimestamp != 0) {
      const std::time_t t = std::time_t(o.RecTimestamp);
      std::tm utc{};
      gmtime_r(&t, &utc);
      char text[32];
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
      ff::av_dict_set(&oc->metadata, "creation_time", text, 0);
    }
    for (auto it = o.Metadata.rbegin(); it != o.Metadata.rend(); ++it)
      ff::av_dict_set(&oc->metadata, it->Key.c_str(), it->Value.c_str(), 0);
    o.Metadata.clear();

    // 13. Image sequences need a number in the name.
    if ((fmt->flags & AVFMT_NEEDNUMBER) && !ff::av_filename_number_test(libName.c_str()))
      throw FFmpegException(FormatAVError(fileName, AVERROR(EDOM)));

    // 14. The file (an existing one is replaced).
    if (!(fmt->flags & AVFMT_NOFILE)) {
      const int ret = OpenOutputIO(oc, fileName);
      if (ret < 0) throw FFmpegException(FormatAVError(fileName, ret));
    }

    // 16. Muxer settings.
    oc->max_delay = int(o.MuxMaxDelay * 1000000);
    if (oc->priv_data) {
      ff::av_opt_set_int(oc->priv_data, "preload", int64_t(o.MuxPreload * 1000000), 0);
      if (o.LoopOutput >= 0) ff::av_opt_set_int(oc->priv_data, "loop", o.LoopOutput, 0);
    }
    oc->flags |= AVFMT_FLAG_NONBLOCK;
    ApplyGenericOptions(Holder, oc, AV_OPT_FLAG_ENCODING_PARAM);
  } catch (const FFmpegException& e) {
    SetLastError(e.what());
    return -1;  // the context (and any opened file I/O) is freed with `output`
  }

  // 12. Registered; 17. stream ids consumed; 18. join mode.
  o.StreamIdMap.clear();
  TOutputFileState* file = output.get();
  outputs_.push_back(std::move(output));
  outputSlots_.push_back(file);
  if (join && inputs_.size() > 1) {
    joinMode_ = true;
    int64_t total = 0;
    for (const auto& in : inputs_)
      if (in->Ctx->duration != AV_NOPTS_VALUE && in->Ctx->duration > 0) total += in->Ctx->duration;
    o.TotalDuration = total == 0 ? -1 : total;
    for (size_t k = 1; k < inputs_.size(); ++k) outputSlots_.push_back(file);
  }
  return int(outputSlots_.size());
}
