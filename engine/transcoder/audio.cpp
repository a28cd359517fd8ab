// The encoded audio path: keeps the output in step with the input clock (silence, dropped
// samples or a stretched resampler), converts channels, rate and sample format, collects
// samples until the encoder has a whole frame, encodes and writes.
#include <algorithm>
#include <cmath>

#include "engine/transcoder/transcoder.h"
#include "media/errors.h"
#include "media/logger.h"

using namespace transcoder;

namespace {

// Differences between the input and output clocks up to this many samples are left alone.
constexpr int64_t kAudioSyncSlack = 50;

const char* SampleFormatName(int fmt) {
  const char* n = ff::av_get_sample_fmt_name(AVSampleFormat(fmt));
  return n ? n : "none";
}

}  // namespace

void TTranscoder::DoAudioOut(TOutputStream& ost, TInputStream& ist, AVFrame* frame) {
  // A cover picture keeps pace with the sound.
  RepeatStillPictures(ist.StreamTime);
  TOptionState& o = Opt;
  AVCodecContext* enc = ost.Enc;
  const int inRate = frame->sample_rate > 0 ? frame->sample_rate : ist.Codec->Dec->sample_rate;
  const int inChannels = frame->ch_layout.nb_channels;
  const int encRate = enc->sample_rate;
  const int encChannels = enc->ch_layout.nb_channels;
  if (inRate <= 0 || inChannels <= 0 || frame->nb_samples <= 0) return;

  if (inChannels != encChannels) ost.AudioResample = true;
  const bool formatsDiffer = frame->format != enc->sample_fmt;
  const bool layoutDiffers = ff::av_channel_layout_compare(&frame->ch_layout, &enc->ch_layout) != 0;
  const bool convert = ost.AudioResample || formatsDiffer || layoutDiffers || inRate != encRate;

  // The converter follows the decoder's output; it is made again when that changes.
  if (convert && (!ost.AudioResampler || ost.ResamplerInFormat != frame->format || ost.ResamplerInRate != inRate ||
                  ff::av_channel_layout_compare(&ost.ResamplerInLayout, &frame->ch_layout) != 0)) {
    if (ost.AudioResample && frame->format != AV_SAMPLE_FMT_S16 && frame->format != AV_SAMPLE_FMT_S16P &&
        o.Verbose > 0 && !ost.AudioResampler)
      LogText(llVerbose, "Warning, using s16 intermediate sample format for resampling");
    ost.AudioResampler.reset();
    SwrContext* swr = nullptr;
    int ret = ff::swr_alloc_set_opts2(&swr, &enc->ch_layout, enc->sample_fmt, encRate, &frame->ch_layout,
                                      AVSampleFormat(frame->format), inRate, 0, nullptr);
    if (ret >= 0 && swr) {
      ost.AudioResampler.reset(swr);
      ff::av_opt_set_int(swr, "filter_size", 16, 0);
      ff::av_opt_set_int(swr, "phase_shift", 10, 0);
      ff::av_opt_set_int(swr, "linear_interp", 0, 0);
      ff::av_opt_set_double(swr, "cutoff", 0.8, 0);
      ret = ff::swr_init(swr);
    }
    if (ret < 0 || !ost.AudioResampler) {
      ost.AudioResampler.reset();
      if (ost.AudioResample || inRate != encRate)
        Raise(StrFormat("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", inChannels, inRate, encChannels,
                        encRate));
      Raise(StrFormat("Cannot convert %s sample format to %s sample format", SampleFormatName(frame->format),
                      SampleFormatName(enc->sample_fmt)));
    }
    ost.ResamplerInFormat = frame->format;
    ost.ResamplerInRate = inRate;
    ff::av_channel_layout_uninit(&ost.ResamplerInLayout);
    ff::av_channel_layout_copy(&ost.ResamplerInLayout, &frame->ch_layout);
  }

  // The block to convert: the frame's samples, possibly with its front dropped.
  const bool planar = ff::av_sample_fmt_is_planar(AVSampleFormat(frame->format));
  const int bytesPerSample = ff::av_get_bytes_per_sample(AVSampleFormat(frame->format));
  int skip = 0;
  int count = frame->nb_samples;

  const double syncTime = double(ost.SyncInput->StreamTime - o.StartTime) / 1000000.0;
  const int64_t fifoSamples = ff::av_audio_fifo_size(ost.Fifo.get()) +
                              (ost.AudioResampler ? ff::swr_get_delay(ost.AudioResampler.get(), encRate) : 0);
  if (o.AudioSyncMethod != 0) {
    const double delta = syncTime * encRate - double(ost.OutputTicks) - double(fifoSamples);
    if (std::fabs(delta) > kAudioSyncSlack) {
      if (ist.AwaitingFirstPacket || std::fabs(delta) > o.AudioDriftThreshold * encRate) {
        if (delta < 0) {
          // The input is ahead: drop its first samples.
          const int64_t drop = std::min<int64_t>(int64_t(-delta * inRate / encRate), count);
          if (o.Verbose > 2) GetFFLogger().LogFmt(this, llVerbose, "discarding %d audio samples", int(-delta));
          skip = int(drop);
          count -= int(drop);
          ist.AwaitingFirstPacket = false;
          if (count <= 0) return;
        } else {
          // The input is behind: silence first.
          const int silence = int(delta);
          ist.AwaitingFirstPacket = false;
          if (o.Verbose > 2) GetFFLogger().LogFmt(this, llVerbose, "adding %d audio samples of silence", silence);
          uint8_t** planes = nullptr;
          if (ff::av_samples_alloc_array_and_samples(&planes, nullptr, encChannels, silence, enc->sample_fmt, 0) < 0)
            Raise("Out of memory in do_audio_out");
          ff::av_samples_set_silence(planes, 0, silence, encChannels, enc->sample_fmt);
          const int written = ff::av_audio_fifo_write(ost.Fifo.get(), reinterpret_cast<void**>(planes), silence);
          ff::av_freep(&planes[0]);
          ff::av_freep(&planes);
          if (written < silence) Raise("av_fifo_realloc2() failed");
        }
      } else if (o.AudioSyncMethod > 1 && ost.AudioResampler) {
        const int comp = std::clamp(int(delta), -o.AudioSyncMethod, o.AudioSyncMethod);
        if (o.Verbose > 2)
          GetFFLogger().LogFmt(this, llVerbose, "compensating audio timestamp drift:%f compensation:%d in:%d", delta,
                               comp, encRate);
        ff::swr_set_compensation(ost.AudioResampler.get(), comp, encRate);
      }
    }
  } else {
    // The output clock follows the input clock; differences of a few samples (rounding in
    // the resampler) are not followed, so that encoder frames stay back to back.
    const int64_t target = std::llround(syncTime * encRate) - fifoSamples;
    if (!ost.OutputTicksSet || std::llabs(target - ost.OutputTicks) > kAudioSyncSlack) ost.OutputTicks = target;
    ost.OutputTicksSet = true;
  }
  ist.AwaitingFirstPacket = false;

  // Conversion into the encoder's format, straight into the FIFO.
  const int planes = planar ? inChannels : 1;
  std::vector<const uint8_t*> inPlanes(static_cast<size_t>(planes), nullptr);
  for (int p = 0; p < planes; ++p)
    inPlanes[size_t(p)] = frame->extended_data[p] +
                          size_t(skip) * size_t(bytesPerSample) * (planar ? 1 : size_t(inChannels));
  if (ost.AudioResampler) {
    const int outMax = ff::swr_get_out_samples(ost.AudioResampler.get(), count);
    if (outMax < 0) Raise("Buffer sizes too large in do_audio_out");
    if (!audioFrame_) audioFrame_ = ffw::MakeFrame();
    AVFrame* out = audioFrame_.get();
    ff::av_frame_unref(out);
    out->format = enc->sample_fmt;
    out->nb_samples = std::max(outMax, 1);
    out->sample_rate = encRate;
    ff::av_channel_layout_copy(&out->ch_layout, &enc->ch_layout);
    if (ff::av_frame_get_buffer(out, 0) < 0) Raise("Out of memory in do_audio_out");
    const int got = ff::swr_convert(ost.AudioResampler.get(), out->extended_data, outMax, inPlanes.data(), count);
    if (got < 0) {
      const std::string text = "av_audio_convert() failed";
      if (o.ExitOnError) Raise(text);
      LogText(llError, text);
      ff::av_frame_unref(out);
      return;
    }
    if (got > 0 && ff::av_audio_fifo_write(ost.Fifo.get(), reinterpret_cast<void**>(out->extended_data), got) < got)
      Raise("av_fifo_realloc2() failed");
    ff::av_frame_unref(out);
  } else {
    if (ff::av_audio_fifo_write(ost.Fifo.get(), reinterpret_cast<void**>(const_cast<uint8_t**>(inPlanes.data())),
                                count) < count)
      Raise("av_fifo_realloc2() failed");
  }
  EncodeAudioFromFifo(ost, false);
}

void TTranscoder::FeedSilence(TOutputStream& ost, int64_t until) {
  AVCodecContext* enc = ost.Enc;
  const int channels = enc->ch_layout.nb_channels;
  if (enc->sample_rate <= 0 || channels <= 0 || !ost.Fifo) return;
  const int64_t target = ff::av_rescale_q(until - Opt.StartTime, AV_TIME_BASE_Q, AVRational{1, enc->sample_rate});
  constexpr int kChunk = 8192;
  uint8_t** planes = nullptr;
  while (ost.SilenceFed < target) {
    const int count = int(std::min<int64_t>(kChunk, target - ost.SilenceFed));
    if (!planes) {
      if (ff::av_samples_alloc_array_and_samples(&planes, nullptr, channels, kChunk, enc->sample_fmt, 0) < 0)
        Raise("Out of memory in do_audio_out");
      ff::av_samples_set_silence(planes, 0, kChunk, channels, enc->sample_fmt);
    }
    const int written = ff::av_audio_fifo_write(ost.Fifo.get(), reinterpret_cast<void**>(planes), count);
    if (written < count) {
      ff::av_freep(&planes[0]);
      ff::av_freep(&planes);
      Raise("av_fifo_realloc2() failed");
    }
    ost.SilenceFed += count;
  }
  if (planes) {
    ff::av_freep(&planes[0]);
    ff::av_freep(&planes);
  }
  EncodeAudioFromFifo(ost, false);
}

void TTranscoder::EncodeAudioFromFifo(TOutputStream& ost, bool flush) {
  AVCodecContext* enc = ost.Enc;
  AVAudioFifo* fifo = ost.Fifo.get();
  if (!fifo) return;
  if (flush && ost.AudioResampler) {
    // What the resampler still holds goes to the FIFO first.
    if (!audioFrame_) audioFrame_ = ffw::MakeFrame();
    AVFrame* out = audioFrame_.get();
    const int64_t delay = ff::swr_get_delay(ost.AudioResampler.get(), enc->sample_rate);
    if (delay > 0) {
      ff::av_frame_unref(out);
      out->format = enc->sample_fmt;
      out->nb_samples = int(delay) + 32;
      out->sample_rate = enc->sample_rate;
      ff::av_channel_layout_copy(&out->ch_layout, &enc->ch_layout);
      if (ff::av_frame_get_buffer(out, 0) >= 0) {
        const int got = ff::swr_convert(ost.AudioResampler.get(), out->extended_data, out->nb_samples, nullptr, 0);
        if (got > 0) ff::av_audio_fifo_write(fifo, reinterpret_cast<void**>(out->extended_data), got);
      }
      ff::av_frame_unref(out);
    }
  }
  const bool variable = (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) || enc->frame_size <= 1;
  const int frameSize = variable ? 4096 : enc->frame_size;
  const bool shortLast = variable || (enc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
  while (true) {
    const int available = ff::av_audio_fifo_size(fifo);
    if (available <= 0) break;
    if (available < frameSize && !(flush || variable)) break;
    const int take = std::min(available, frameSize);
    const int samples = (take < frameSize && !shortLast) ? frameSize : take;
    AVFrame* f = audioFrame_.get();
    ff::av_frame_unref(f);
    f->format = enc->sample_fmt;
    f->nb_samples = samples;
    f->sample_rate = enc->sample_rate;
    ff::av_channel_layout_copy(&f->ch_layout, &enc->ch_layout);
    if (ff::av_frame_get_buffer(f, 0) < 0) Raise("Out of memory in do_audio_out");
    if (ff::av_audio_fifo_read(fifo, reinterpret_cast<void**>(f->extended_data), take) < take)
      Raise("Audio encoding failed");
    if (samples > take)
      ff::av_samples_set_silence(f->extended_data, take, samples - take, enc->ch_layout.nb_channels, enc->sample_fmt);
    // Time stamps never go back, whatever the input clock did.
    int64_t pts = ost.OutputTicks;
    if (ost.LastAudioEnd != INT64_MIN && pts < ost.LastAudioEnd) pts = ost.LastAudioEnd;
    f->pts = pts;
    ost.LastAudioEnd = pts + samples;
    ost.OutputTicks = pts + samples;
    EncodeAndWrite(ost, f, false);
    ost.FrameNumber++;
    ff::av_frame_unref(f);
  }
}
