// The packet loop: chooses the input to read, reads a packet, corrects its time stamps,
// decodes it and hands the result to every output stream it feeds (or copies the packet),
// reports progress, and at the end flushes decoders and encoders and writes the trailers.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "engine/transcoder/transcoder.h"
#include "media/errors.h"
#include "media/loader.h"
#include "media/logger.h"

using namespace transcoder;

namespace {

int64_t ToMicroseconds(int64_t ts, AVRational tb) { return ff::av_rescale_q(ts, tb, AV_TIME_BASE_Q); }

// The output time of a stream in seconds: what its encoder was given, or for stream copy the
// last packet written.
double OutputSeconds(const TOutputStream& ost) {
  if (ost.EncodingNeeded) return double(ost.OutputTicks) * ost.Enc->time_base.num / ost.Enc->time_base.den;
  return double(ost.OutputTicks) * ost.Stream->time_base.num / std::max(1, ost.Stream->time_base.den);
}

}  // namespace

TTranscoder::TTranscoder() {
  decoded_ = ffw::MakeFrame();
  filtered_ = ffw::MakeFrame();
  outPacket_ = ffw::MakePacket();
  audioFrame_ = ffw::MakeFrame();
  if (!decoded_ || !filtered_ || !outPacket_ || !audioFrame_) throw FFmpegException("Out of memory");
}

TTranscoder::~TTranscoder() {
  // The task was shut down by its deleter; free what may be left.
  try {
    ReleaseFiles();
  } catch (...) {
  }
  ff::av_channel_layout_uninit(&inputLayout_);
}

bool TTranscoder::AddVideoHook(const std::vector<std::string>& words) {
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  for (std::string& w : copy) argv.push_back(w.data());
  argv.push_back(nullptr);
  if (LoadFrameHook(hookChain_, int(words.size()), argv.data()) != kFrameHookOk) return false;
  hookModulesOn_ = true;
  return true;
}

void TTranscoder::Transcode() {
  try {
    SetupTranscode();
    RunLoop();
  } catch (...) {
    // The output stays playable up to the point of failure: finish what was started. A file
    // whose header could not be written holds nothing usable and is removed when closed.
    for (TOutputFileState* of : outputSlots_)
      if (!of->HeaderWritten) of->Discard = true;
    try {
      WriteTrailers();
    } catch (...) {
    }
    throw;
  }
}

void TTranscoder::WriteTrailers() {
  for (size_t s = 0; s < outputSlots_.size(); ++s) {
    TOutputFileState& of = *outputSlots_[s];
    if (!of.HeaderWritten || of.TrailerWritten) continue;
    of.TrailerWritten = true;
    const int ret = ff::av_write_trailer(of.Ctx.get());
    if (ret < 0) Raise(FormatAVError("av_write_trailer()", ret));
  }
}

void TTranscoder::RunLoop() {
  timerStart_ = ff::av_gettime();
  lastReport_ = timerStart_;
  hookOn_ = HasHookCallback();
  ffw::Packet packet = ffw::MakePacket();
  if (!packet) Raise("Out of memory");
  int fileIndex = joinMode_ ? 0 : -1;

  while (!StopRequested()) {
    PassPauseGate();
    if (StopRequested()) break;
    if (!ChooseInput(fileIndex)) break;
    if (fileIndex < 0) {
      if (!AwaitPackets()) break;
      continue;
    }
    if (FileSizeLimitReached()) break;
    const TReadOutcome read = ReadPacket(fileIndex, packet.get());
    if (read == TReadOutcome::End) break;
    if (read == TReadOutcome::Retry) continue;
    if (!HandleInputPacket(fileIndex, packet.get())) continue;
    ReportPacedProgress(fileIndex);
  }
  FinishLoop();
}

bool TTranscoder::FrameLimitReached(const TOutputStream& ost) const {
  const TOptionState& o = Opt;
  const int32_t limit = ost.Def->Type == AVMEDIA_TYPE_VIDEO   ? o.VideoMaxFrames
                        : ost.Def->Type == AVMEDIA_TYPE_AUDIO ? o.AudioMaxFrames
                                                              : o.DataMaxFrames;
  return ost.FrameNumber >= limit;
}

bool TTranscoder::ChooseInput(int& fileIndex) {
  if (joinMode_) {
    // Joined inputs are read one after the other.
    bool limitReached = false;
    bool allPast = true;
    for (auto& p : ost_) {
      if (p->FileIndex != fileIndex) continue;
      limitReached |= FrameLimitReached(*p);
      if (!ist_[size_t(p->SourceIndex)]->PastTimeLimit) allPast = false;
    }
    if (allPast && !NextJoinInput(fileIndex)) return false;
    return !limitReached;
  }
  // The input whose stream is furthest behind: by input time with input sync, else by the
  // time written to the output.
  fileIndex = -1;
  double best = 1e300;
  for (auto& p : ost_) {
    TOutputStream& ost = *p;
    if (FrameLimitReached(ost)) return false;
    TInputStream& ist = *ist_[size_t(ost.SourceIndex)];
    const TInputFile& file = fileTable_[size_t(ist.FileIndex)];
    if (ist.PastTimeLimit || file.NoPacket || file.Eof) continue;
    const double value = Opt.InputSync ? double(ist.StreamTime) / 1000000.0 : OutputSeconds(ost);
    if (value < best) {
      best = value;
      fileIndex = ist.FileIndex;
    }
  }
  return true;
}

bool TTranscoder::AwaitPackets() {
  // Only inputs that had no packet ready are worth waiting for; otherwise every input is done.
  bool anyNoPacket = false;
  for (const TInputFile& f : fileTable_) anyNoPacket |= f.NoPacket;
  if (joinMode_ || !anyNoPacket) return false;
  for (TInputFile& f : fileTable_) f.NoPacket = false;
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return true;
}

bool TTranscoder::FileSizeLimitReached() const {
  if (Opt.LimitFileSize == 0 || outputSlots_.empty()) return false;
  AVIOContext* pb = outputSlots_.front()->Ctx->pb;
  return pb && ff::avio_seek(pb, 0, SEEK_CUR) >= Opt.LimitFileSize;
}

TTranscoder::TReadOutcome TTranscoder::ReadPacket(int& fileIndex, AVPacket* packet) {
  TOptionState& o = Opt;
  AVFormatContext* ic = inputs_[size_t(fileIndex)]->Ctx.get();
  const int ret = ff::av_read_frame(ic, packet);
  if (ret == AVERROR(EAGAIN)) {
    fileTable_[size_t(fileIndex)].NoPacket = true;
    return TReadOutcome::Retry;
  }
  if (ret < 0) {
    // A read error is the end of that input.
    fileTable_[size_t(fileIndex)].Eof = true;
    if (StopRequested()) return TReadOutcome::End;
    CheckInputEnd(fileIndex);
    if (joinMode_) return NextJoinInput(fileIndex) ? TReadOutcome::Retry : TReadOutcome::End;
    return o.OptShortest ? TReadOutcome::End : TReadOutcome::Retry;
  }
  for (TInputFile& f : fileTable_) f.NoPacket = false;
  if (o.DoDumpPackets)
    ff::av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, packet, o.DoHexDump, ic->streams[packet->stream_index]);
  return TReadOutcome::Packet;
}

bool TTranscoder::HandleInputPacket(int fileIndex, AVPacket* packet) {
  struct Unref {
    AVPacket* p;
    ~Unref() { ff::av_packet_unref(p); }
  } unref{packet};
  // Streams beyond those known at opening, or used by no output, are skipped.
  const TInputFile& file = fileTable_[size_t(fileIndex)];
  if (packet->stream_index >= file.NbStreams) return true;
  TInputStream& ist = *ist_[size_t(file.IstIndex + packet->stream_index)];
  if (ist.Unclaimed) return true;
  TInputFileState& in = *inputs_[size_t(fileIndex)];
  ApplyOffsetAndScale(in, ist, packet);
  CorrectStreamStart(in, ist, packet);
  CorrectDiscontinuity(in, ist, packet);
  if (PastRecordingLimit(ist, packet)) return true;
  ++ist.PacketsRead;
  if (ProcessPacket(ist, packet) < 0) {
    const std::string text = StrFormat("Error while decoding stream #%d.%d (%s)", ist.FileIndex, ist.Index,
                                       MediaTypeName(ist.Stream->codecpar->codec_type).c_str());
    lastDecodeError_ = text;
    if (Opt.ExitOnError) Raise(text);
    if (Opt.Verbose >= 0) LogText(llVerbose, text);
    return false;
  }
  return true;
}

void TTranscoder::ApplyOffsetAndScale(const TInputFileState& in, const TInputStream& ist, AVPacket* packet) const {
  const AVRational tb = ist.Stream->time_base;
  const int64_t offset = ff::av_rescale_q(in.TsOffset + ist.StartCorrection, AV_TIME_BASE_Q, tb);
  if (packet->dts != AV_NOPTS_VALUE) packet->dts += offset;
  if (packet->pts != AV_NOPTS_VALUE) packet->pts += offset;
  const double scale = size_t(packet->stream_index) < in.TsScale.size() ? in.TsScale[size_t(packet->stream_index)]
                                                                        : 0.0;
  if (scale != 0.0) {
    if (packet->dts != AV_NOPTS_VALUE) packet->dts = std::llround(double(packet->dts) * scale);
    if (packet->pts != AV_NOPTS_VALUE) packet->pts = std::llround(double(packet->pts) * scale);
  }
}

void TTranscoder::CorrectStreamStart(const TInputFileState& in, TInputStream& ist, AVPacket* packet) {
  // The file's start is the earliest of its streams' starts; one stream with a damaged time
  // base (its times thousands of seconds from the others') would otherwise be padded with
  // repeated pictures or silence up to its first time, or pad the others. Only the first
  // packet of a stream decides, and only in formats whose times may jump.
  const TOptionState& o = Opt;
  const AVRational tb = ist.Stream->time_base;
  if (packet->dts == AV_NOPTS_VALUE || ist.NextStreamTime != kNoPts || ist.PacketsRead > 0 ||
      !(in.Ctx->iformat->flags & AVFMT_TS_DISCONT) || o.CopyTs)
    return;
  const int64_t delta = ToMicroseconds(packet->dts, tb) - in.StartTime;
  if (std::llabs(delta) <= int64_t(o.DtsDeltaThreshold * 1000000.0)) return;
  ist.StartCorrection -= delta;
  if (o.Verbose > 2)
    GetFFLogger().LogFmt(this, llVerbose,
                         "stream #%d.%d starts %lld us away from its input, moved to the input's start", ist.FileIndex,
                         ist.Index, static_cast<long long>(delta));
  const int64_t d = ff::av_rescale_q(delta, AV_TIME_BASE_Q, tb);
  packet->dts -= d;
  if (packet->pts != AV_NOPTS_VALUE) packet->pts -= d;
}

void TTranscoder::CorrectDiscontinuity(TInputFileState& in, const TInputStream& ist, AVPacket* packet) {
  const TOptionState& o = Opt;
  const AVRational tb = ist.Stream->time_base;
  if (packet->dts == AV_NOPTS_VALUE || ist.NextDts == kNoPts || !(in.Ctx->iformat->flags & AVFMT_TS_DISCONT) ||
      o.CopyTs)
    return;
  const int64_t dts = ToMicroseconds(packet->dts, tb);
  const int64_t delta = dts - ist.NextDts;
  if (std::llabs(delta) <= int64_t(o.DtsDeltaThreshold * 1000000.0) && dts + 1 >= ist.LastDts) return;
  in.TsOffset -= delta;
  if (o.Verbose > 2)
    GetFFLogger().LogFmt(this, llVerbose, "timestamp discontinuity %lld, new offset= %lld",
                         static_cast<long long>(delta), static_cast<long long>(in.TsOffset));
  const int64_t d = ff::av_rescale_q(delta, AV_TIME_BASE_Q, tb);
  packet->dts -= d;
  if (packet->pts != AV_NOPTS_VALUE) packet->pts -= d;
}

bool TTranscoder::PastRecordingLimit(TInputStream& ist, const AVPacket* packet) {
  const TOptionState& o = Opt;
  if (o.RecordingTime == INT64_MAX || packet->pts == AV_NOPTS_VALUE ||
      ff::av_compare_ts(packet->pts, ist.Stream->time_base, o.RecordingTime + o.StartTime, AV_TIME_BASE_Q) < 0)
    return false;
  ist.PastTimeLimit = true;
  return true;
}

void TTranscoder::ReportPacedProgress(int fileIndex) {
  const int64_t now = ff::av_gettime();
  if (now - lastReport_ <= ProgressIntervalUs()) return;
  lastReport_ = now;
  ReportProgress(false, fileIndex);
}

void TTranscoder::CheckInputEnd(int fileIndex) {
  const TInputFileState& in = *inputs_[size_t(fileIndex)];
  // The known length: the container's, or the picture count its header gives when that is
  // longer (a file cut off before its index has its length measured from what is left).
  int64_t duration = in.Ctx->duration == AV_NOPTS_VALUE ? 0 : in.Ctx->duration;
  for (unsigned i = 0; i < in.Ctx->nb_streams; ++i) {
    const AVStream* st = in.Ctx->streams[i];
    const AVRational rate = st->avg_frame_rate;
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && st->nb_frames > 0 && rate.num > 0 && rate.den > 0 &&
        !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
      duration = std::max(duration, ff::av_rescale_q(st->nb_frames, av_inv_q(rate), AV_TIME_BASE_Q));
  }
  if (duration <= 0 || Opt.CopyTs) return;
  // The furthest time reached by a stream in use, from the input's start position.
  int64_t reached = kNoPts;
  const TInputFile& file = fileTable_[size_t(fileIndex)];
  for (int i = 0; i < file.NbStreams; ++i) {
    const TInputStream& ist = *ist_[size_t(file.IstIndex + i)];
    if (ist.Unclaimed || ist.PacketsRead == 0) continue;
    if (ist.PastTimeLimit) return;  // it ended at the asked length
    int64_t t = ist.StreamTime;
    if (ist.NextStreamTime != kNoPts) t = std::max(t, ist.NextStreamTime);
    reached = std::max(reached, t - in.StartTime);
  }
  if (reached == kNoPts) reached = 0;
  int64_t expected = duration - in.SeekStart;
  if (Opt.RecordingTime != INT64_MAX) expected = std::min(expected, Opt.RecordingTime);
  // Lengths in headers are rounded and the last frame's own length is not counted above.
  const int64_t tolerance = std::max<int64_t>(1000000, expected / 50);
  if (reached + tolerance >= expected) return;
  const int64_t endedAt = std::clamp<int64_t>(in.SeekStart + reached, 0, duration);
  LogText(llInfo, StrFormat("%s: the input ended early, at %0.3f s of %0.3f s", in.FileName.c_str(),
                            double(endedAt) / 1000000.0, double(duration) / 1000000.0));
  NoteEndedEarly(endedAt, duration);
}

void TTranscoder::FinishLoop() {
  // Flush what the decoders and encoders hold, then finish the files.
  for (auto& p : ist_) {
    TInputStream& ist = *p;
    if (ist.DecodingNeeded && !ist.Flushed) {
      ist.Flushed = true;
      ProcessPacket(ist, nullptr);
    }
  }
  CheckSomethingConverted();
  WriteTrailers();
  ReportProgress(true, -1);
}

void TTranscoder::CheckSomethingConverted() {
  if (StopRequested()) return;  // a stop before the first frame is not a failure
  bool wanted = false, written = false, packetsRead = false;
  for (auto& p : ost_) {
    const TOutputStream& ost = *p;
    if (ost.Def->Type != AVMEDIA_TYPE_VIDEO && ost.Def->Type != AVMEDIA_TYPE_AUDIO) continue;
    wanted = true;
    written |= ost.PacketsWritten > 0;
    packetsRead |= ist_[size_t(ost.SourceIndex)]->PacketsRead > 0;
  }
  if (!wanted || written) return;
  // A file with a header and nothing else is no result: it goes, and the task fails.
  for (TOutputFileState* of : outputSlots_) of->Discard = true;
  std::string cause = lastDecodeError_;
  if (cause.empty())
    cause = packetsRead ? "nothing was left after decoding" : "the input holds no packet of the streams to convert";
  Raise("No video or audio frame could be converted (" + cause + ")");
}

bool TTranscoder::NextJoinInput(int& fileIndex) {
  const int k = fileIndex;
  const int n = int(inputs_.size());
  for (auto& p : ist_) {
    TInputStream& ist = *p;
    if (ist.FileIndex != k || !ist.DecodingNeeded || ist.Flushed) continue;
    ist.Flushed = true;
    // The decoder drains into the encoders, which keep running for the next input, so the
    // joined output is one continuous stream.
    AVCodecContext* dec = ist.Codec->Dec.get();
    if (ist.DecoderOpen) {
      if (ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) {
        ff::avcodec_flush_buffers(dec);
      } else {
        ff::avcodec_send_packet(dec, nullptr);
        while (ff::avcodec_receive_frame(dec, decoded_.get()) >= 0) {
          HandleDecodedFrame(ist, decoded_.get());
          ff::av_frame_unref(decoded_.get());
        }
        ff::avcodec_flush_buffers(dec);
      }
    }
  }
  double m = 0.0;
  for (auto& p : ost_) {
    TOutputStream& ost = *p;
    if (ost.FileIndex != k) continue;
    m = std::max(m, OutputSeconds(ost));
    ost.Active = false;
  }
  // The next slot's streams continue where this slot's stopped.
  for (auto& p : ost_) {
    TOutputStream& ost = *p;
    if (ost.FileIndex != k + 1) continue;
    for (auto& q : ost_)
      if (q->FileIndex == k && q->Index == ost.Index) {
        ost.OutputTicks = q->OutputTicks;
        ost.FrameNumber = q->FrameNumber;
        ost.LastAudioEnd = q->LastAudioEnd;
        ost.OutputTicksSet = q->OutputTicksSet;
        if (q->Fifo) std::swap(ost.Fifo, q->Fifo);
      }
  }
  if (k >= n - 1) return false;
  inputs_[size_t(k + 1)]->TsOffset += std::llround(m * 1000000.0);
  inputs_[size_t(k + 1)]->StartTime = std::llround(m * 1000000.0);
  fileIndex = k + 1;
  return true;
}

void TTranscoder::ApplyVolume(AVFrame* frame) const {
  const int vol = Opt.AudioVolume;
  if (vol == 256) return;
  const AVSampleFormat fmt = AVSampleFormat(frame->format);
  const bool planar = ff::av_sample_fmt_is_planar(fmt);
  const int channels = frame->ch_layout.nb_channels;
  const int planes = planar ? channels : 1;
  const int count = frame->nb_samples * (planar ? 1 : channels);
  const double gain = vol / 256.0;
  for (int p = 0; p < planes; ++p) {
    uint8_t* data = frame->extended_data[p];
    switch (ff::av_get_packed_sample_fmt(fmt)) {
      case AV_SAMPLE_FMT_U8: {
        for (int i = 0; i < count; ++i) {
          const int s = (int(data[i]) - 128) * vol + 128;
          data[i] = uint8_t(std::clamp((s >> 8), -128, 127) + 128);
        }
        break;
      }
      case AV_SAMPLE_FMT_S16: {
        auto* d = reinterpret_cast<int16_t*>(data);
        for (int i = 0; i < count; ++i) d[i] = int16_t(std::clamp((int(d[i]) * vol + 128) >> 8, -32768, 32767));
        break;
      }
      case AV_SAMPLE_FMT_S32: {
        auto* d = reinterpret_cast<int32_t*>(data);
        for (int i = 0; i < count; ++i)
          d[i] = int32_t(std::clamp<int64_t>((int64_t(d[i]) * vol + 128) >> 8, INT32_MIN, INT32_MAX));
        break;
      }
      case AV_SAMPLE_FMT_S64: {
        auto* d = reinterpret_cast<int64_t*>(data);
        for (int i = 0; i < count; ++i) d[i] = int64_t(double(d[i]) * gain);
        break;
      }
      case AV_SAMPLE_FMT_FLT: {
        auto* d = reinterpret_cast<float*>(data);
        for (int i = 0; i < count; ++i) d[i] = std::clamp(float(d[i] * gain), -1.0f, 1.0f);
        break;
      }
      case AV_SAMPLE_FMT_DBL: {
        auto* d = reinterpret_cast<double*>(data);
        for (int i = 0; i < count; ++i) d[i] = std::clamp(d[i] * gain, -1.0, 1.0);
        break;
      }
      default:
        break;
    }
  }
}

int64_t TTranscoder::PacketLength(const TInputStream& ist, const AVPacket* pkt) const {
  const AVCodecParameters* par = ist.Stream->codecpar;
  if (pkt->duration > 0) return ToMicroseconds(pkt->duration, ist.Stream->time_base);
  if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0 && par->frame_size > 0)
    return int64_t(1000000) * par->frame_size / par->sample_rate;
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    const AVRational rate = ist.Codec->RealFrameRate;
    if (rate.num > 0) return int64_t(1000000) * rate.den / rate.num;
  }
  return 0;
}

int TTranscoder::ProcessPacket(TInputStream& ist, AVPacket* pkt) {
  TOptionState& o = Opt;
  const AVRational tb = ist.Stream->time_base;
  if (ist.NextStreamTime == kNoPts) ist.NextStreamTime = ist.StreamTime;
  if (pkt && pkt->dts != AV_NOPTS_VALUE) {
    ist.StreamTime = ist.NextStreamTime = ist.LastDts = ToMicroseconds(pkt->dts, tb);
    ist.NextDts = ist.LastDts + PacketLength(ist, pkt);
  } else if (pkt) {
    ist.StreamTime = ist.NextStreamTime;
  }

  // Reading at the native rate: wait until the wall clock reaches the packet's time.
  if (pkt && o.RateEmulation) {
    const int64_t ahead = ist.StreamTime - (ff::av_gettime() - ist.Start);
    if (ahead > 1000) std::this_thread::sleep_for(std::chrono::milliseconds(ahead / 1000));
  }

  // Stream copies of this input stream.
  if (pkt) {
    bool copied = false;
    for (auto& p : ost_) {
      TOutputStream& ost = *p;
      if (ost.EncodingNeeded || ist_[size_t(ost.SourceIndex)].get() != &ist) continue;
      if (!ost.Active) continue;
      copied = true;
      if (o.StartTime == 0 || ist.StreamTime >= o.StartTime) CopyPacket(ost, ist, pkt);
    }
    if (copied && !ist.DecodingNeeded) {
      // Without decoding the clock advances by the packet's own length.
      ist.NextStreamTime += PacketLength(ist, pkt);
      ist.AwaitingFirstPacket = false;
    }
  }
  if (!ist.DecodingNeeded || !ist.DecoderOpen) return 0;

  AVCodecContext* dec = ist.Codec->Dec.get();
  if (ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) {
    if (!pkt) return 0;
    AVSubtitle sub{};
    int got = 0;
    const int ret = ff::avcodec_decode_subtitle2(dec, &sub, &got, pkt);
    if (ret < 0) return -1;
    if (got) {
      if (o.StartTime == 0 || ist.StreamTime >= o.StartTime) HandleSubtitle(ist, sub);
      ff::avsubtitle_free(&sub);
    }
    return 0;
  }

  int ret = ff::avcodec_send_packet(dec, pkt);
  bool failed = ret < 0 && ret != AVERROR_EOF && ret != AVERROR(EAGAIN);
  int frames = 0;
  while (true) {
    ret = ff::avcodec_receive_frame(dec, decoded_.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) {
      failed = true;
      break;
    }
    if (++frames == 2 && pkt && ((o.Verbose > 0 && !ist.MultiFrameWarned) || o.Verbose > 1) &&
        ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && dec->active_thread_type != FF_THREAD_FRAME) {
      GetFFLogger().LogFmt(this, llError, "Multiple frames in a packet from stream %d", ist.Index);
      ist.MultiFrameWarned = true;
    }
    HandleDecodedFrame(ist, decoded_.get());
    ff::av_frame_unref(decoded_.get());
  }
  if (!pkt) FlushEncoders(ist);
  return failed ? -1 : 0;
}

void TTranscoder::HandleDecodedFrame(TInputStream& ist, AVFrame* frame) {
  TOptionState& o = Opt;
  const AVRational tb = ist.Stream->time_base;
  const AVMediaType type = ist.Stream->codecpar->codec_type;
  const int64_t ts = frame->best_effort_timestamp;
  ist.StreamTime = ts != AV_NOPTS_VALUE            ? ToMicroseconds(ts, tb)
                   : ist.NextDecodedTime != kNoPts ? ist.NextDecodedTime
                                                   : ist.NextStreamTime;
  if (type == AVMEDIA_TYPE_AUDIO) {
    if (frame->sample_rate > 0)
      ist.NextStreamTime = ist.StreamTime + int64_t(frame->nb_samples) * 1000000 / frame->sample_rate;
    ist.NextDecodedTime = ist.NextStreamTime;
    ApplyVolume(frame);
  } else if (type == AVMEDIA_TYPE_VIDEO) {
    int64_t duration = 0;
    const AVRational rate = ist.Codec->RealFrameRate;
    if (rate.num > 0 && rate.den > 0)
      duration = int64_t(1000000) * rate.den * (2 + frame->repeat_pict) / (2 * rate.num);
    ist.NextStreamTime = ist.StreamTime + duration;
    ist.NextDecodedTime = ist.NextStreamTime;
    ist.Quality = float(frame->quality);
    if (ist.StillPicture && !repeatingStill_) KeepStillPicture(ist, frame);
    PrepareDecodedPicture(ist, frame);
  } else {
    return;
  }

  if (!(o.StartTime == 0 || ist.StreamTime >= o.StartTime) || ist.StreamTime < 0) return;

  for (auto& p : ost_) {
    TOutputStream& ost = *p;
    if (!ost.EncodingNeeded || !ost.Active || ist_[size_t(ost.SourceIndex)].get() != &ist) continue;
    if (ost.Def->SilentSound) {
      FeedSilence(ost, ist.NextStreamTime);
    } else if (type == AVMEDIA_TYPE_AUDIO) {
      DoAudioOut(ost, ist, frame);
    } else if (ost.Graph) {
      frame->pts = ist.StreamTime;
      if (ff::av_buffersrc_add_frame_flags(ost.SourceFilter, frame, AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
        Raise("Error while feeding the filter graph");
      while (ff::av_buffersink_get_frame(ost.SinkFilter, filtered_.get()) >= 0) {
        const int64_t saved = ist.StreamTime;
        if (filtered_->pts != AV_NOPTS_VALUE) ist.StreamTime = filtered_->pts;
        const int size = DoVideoOut(ost, ist, filtered_.get());
        ist.StreamTime = saved;
        if (size > 0 && !o.VStatsFileName.empty()) WriteVideoStats(ost, size);
        ff::av_frame_unref(filtered_.get());
      }
    } else {
      const int size = DoVideoOut(ost, ist, frame);
      if (size > 0 && !o.VStatsFileName.empty()) WriteVideoStats(ost, size);
    }
  }
}

void TTranscoder::HandleSubtitle(TInputStream& ist, AVSubtitle& sub) {
  for (auto& p : ost_) {
    TOutputStream& ost = *p;
    if (!ost.EncodingNeeded || !ost.Active || ist_[size_t(ost.SourceIndex)].get() != &ist) continue;
    DoSubtitleOut(ost, ist, sub, ist.StreamTime);
  }
}

void TTranscoder::FlushEncoders(TInputStream& ist) {
  for (auto& p : ost_) {
    TOutputStream& ost = *p;
    if (!ost.EncodingNeeded || ist_[size_t(ost.SourceIndex)].get() != &ist) continue;
    if (joinMode_ && ost.FileIndex != int(inputs_.size()) - 1) continue;
    if (!ost.Def->EncoderOpen) continue;
    if (ost.Def->Type == AVMEDIA_TYPE_AUDIO) {
      EncodeAudioFromFifo(ost, true);
      EncodeAndWrite(ost, nullptr, false);
    } else if (ost.Def->Type == AVMEDIA_TYPE_VIDEO) {
      if (ost.Graph) {
        if (ff::av_buffersrc_add_frame_flags(ost.SourceFilter, nullptr, 0) >= 0) {
          while (ff::av_buffersink_get_frame(ost.SinkFilter, filtered_.get()) >= 0) {
            const int64_t saved = ist.StreamTime;
            if (filtered_->pts != AV_NOPTS_VALUE) ist.StreamTime = filtered_->pts;
            DoVideoOut(ost, ist, filtered_.get());
            ist.StreamTime = saved;
            ff::av_frame_unref(filtered_.get());
          }
        }
      }
      EncodeAndWrite(ost, nullptr, true);
    }
  }
}

void TTranscoder::CopyPacket(TOutputStream& ost, TInputStream& ist, const AVPacket* pkt) {
  if (!ost.OutputTicksSet && !(pkt->flags & AV_PKT_FLAG_KEY) && !Opt.CopyInitialNonKeyframes) return;
  const AVRational itb = ist.Stream->time_base;
  const AVRational otb = ost.Stream->time_base;
  const int64_t start = ff::av_rescale_q(Opt.StartTime, AV_TIME_BASE_Q, otb);
  AVPacket* opkt = outPacket_.get();
  if (ff::av_packet_ref(opkt, pkt) < 0) Raise("Out of memory");
  opkt->stream_index = ost.Stream->index;
  opkt->pts = pkt->pts != AV_NOPTS_VALUE ? ff::av_rescale_q(pkt->pts, itb, otb) - start : AV_NOPTS_VALUE;
  opkt->dts = (pkt->dts != AV_NOPTS_VALUE ? ff::av_rescale_q(pkt->dts, itb, otb)
                                          : ff::av_rescale_q(ist.StreamTime, AV_TIME_BASE_Q, otb)) -
              start;
  opkt->duration = ff::av_rescale_q(pkt->duration, itb, otb);
  opkt->time_base = otb;
  if (ost.Def->Type == AVMEDIA_TYPE_AUDIO)
    audioSize_ += pkt->size;
  else if (ost.Def->Type == AVMEDIA_TYPE_VIDEO)
    videoSize_ += pkt->size;
  ost.OutputTicks = opkt->dts + opkt->duration;
  ost.OutputTicksSet = true;
  WriteFrame(ost, opkt);
  ost.FrameNumber++;
}

void TTranscoder::EncodeAndWrite(TOutputStream& ost, AVFrame* frame, bool video) {
  AVCodecContext* enc = ost.Enc;
  int ret = ff::avcodec_send_frame(enc, frame);
  if (ret < 0 && !(frame == nullptr && ret == AVERROR_EOF))
    Raise(video ? "Video encoding failed" : "Audio encoding failed");
  AVPacket* pkt = outPacket_.get();
  while (true) {
    ret = ff::avcodec_receive_packet(enc, pkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) Raise(video ? "Video encoding failed" : "Audio encoding failed");
    if (video) {
      size_t size = 0;
      if (const uint8_t* sd = ff::av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &size); sd && size >= 5) {
        ost.LastQuality = float(
            int32_t(uint32_t(sd[0]) | uint32_t(sd[1]) << 8 | uint32_t(sd[2]) << 16 | uint32_t(sd[3]) << 24));
        ost.LastPictType = ff::av_get_picture_type_char(AVPictureType(sd[4]));
        const int errors = size >= 6 ? sd[5] : 0;
        for (int k = 0; k < errors && k < 3 && size >= size_t(8 + 8 * (k + 1)); ++k) {
          uint64_t e = 0;
          for (int b = 0; b < 8; ++b) e |= uint64_t(sd[8 + 8 * k + b]) << (8 * b);
          ost.LastError[k] = e;
        }
      }
      videoSize_ += pkt->size;
      lastVideoPacketSize_ += pkt->size;
      WritePassLog(ost);
    } else {
      audioSize_ += pkt->size;
    }
    pkt->stream_index = ost.Stream->index;
    ff::av_packet_rescale_ts(pkt, enc->time_base, ost.Stream->time_base);
    pkt->time_base = ost.Stream->time_base;
    WriteFrame(ost, pkt);
  }
}

void TTranscoder::WriteFrame(TOutputStream& ost, AVPacket* pkt) {
  TOutputFileState& of = outputFile(ost.FileIndex);
  if (ost.Bsfs.empty()) {
    const int ret = ff::av_interleaved_write_frame(of.Ctx.get(), pkt);
    if (ret < 0) Raise(FormatAVError("av_interleaved_write_frame()", ret));
    ++ost.PacketsWritten;
    return;
  }
  // Bitstream filters in chain order; each may split or merge packets.
  std::vector<ffw::Packet> ready;
  ready.push_back(ffw::MakePacket());
  if (!ready.back()) Raise("Out of memory");
  ff::av_packet_move_ref(ready.back().get(), pkt);
  for (const transcoder::Bsf& filter : ost.Bsfs) {
    AVBSFContext* bsf = filter.get();
    std::vector<ffw::Packet> next;
    for (ffw::Packet& p : ready) {
      int ret = ff::av_bsf_send_packet(bsf, p.get());
      while (ret >= 0) {
        ffw::Packet out = ffw::MakePacket();
        if (!out) break;
        ret = ff::av_bsf_receive_packet(bsf, out.get());
        if (ret < 0) break;
        next.push_back(std::move(out));
      }
      if (ret < 0 && ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) {
        const std::string text = StrFormat("%s failed for stream %d, codec %s", bsf->filter->name, ost.Stream->index,
                                           ost.EncodingNeeded ? ost.Def->Codec->name : "copy");
        const std::string full = FormatAVError(text, ret);
        if (Opt.ExitOnError) Raise(full);
        LogText(llError, full);
      }
    }
    ready = std::move(next);
  }
  for (ffw::Packet& p : ready) {
    p->stream_index = ost.Stream->index;
    const int ret = ff::av_interleaved_write_frame(of.Ctx.get(), p.get());
    if (ret < 0) Raise(FormatAVError("av_interleaved_write_frame()", ret));
    ++ost.PacketsWritten;
  }
}

void TTranscoder::ReportProgress(bool isLast, int fileIndex) {
  TOptionState& o = Opt;
  AVFormatContext* oc = outputSlots_.empty() ? nullptr : outputSlots_.front()->Ctx.get();
  int64_t totalSize = 0;
  if (oc && oc->pb) {
    totalSize = ff::avio_size(oc->pb);
    if (totalSize <= 0) totalSize = ff::avio_seek(oc->pb, 0, SEEK_CUR);
  }
  const double elapsed = double(ff::av_gettime() - timerStart_) / 1000000.0;
  std::string line;
  int32_t frameNumber = -1, fps = -1;
  float quality = -1.0f;
  bool firstVideo = true;
  for (auto& p : ost_) {
    TOutputStream& ost = *p;
    if (ost.Def->Type != AVMEDIA_TYPE_VIDEO || !ost.Active) continue;
    const float q = ost.EncodingNeeded ? ost.LastQuality / float(FF_QP2LAMBDA) : -1.0f;
    if (firstVideo) {
      if (ost.FrameNumber == 0 && ost.EncodingNeeded) return;  // nothing to say yet
      frameNumber = ost.FrameNumber;
      fps = elapsed > 1.0 ? int32_t(std::lround(frameNumber / elapsed)) : 0;
      quality = q;
      line += StrFormat("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, double(q));
      if (isLast) line += "L";
      if (ost.EncodingNeeded) line += QualityText(ost, isLast);
      firstVideo = false;
    } else {
      line += StrFormat("q=%2.1f ", double(q));
    }
  }
  double t = 1e300;
  for (auto& p : ost_) t = std::min(t, OutputSeconds(*p));
  if (ost_.empty() || t < 0.01) t = std::max(t == 1e300 ? 0.0 : t, 0.01);
  const double bitrate = double(totalSize) * 8.0 / t / 1000.0;
  const bool handler = HasProgressCallback();
  if (handler || o.Verbose > 0 || isLast) {
    line += StrFormat("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", double(totalSize) / 1024.0, t, bitrate);
    if (dupCount_ || dropCount_) line += StrFormat(" dup=%d drop=%d", dupCount_, dropCount_);
    if (handler) {
      TProgressInfo info;
      info.FileIndex = fileIndex;
      info.TotalDuration = o.TotalDuration;
      info.CurrentDuration = int64_t(t * 1000000.0);
      info.CurrentSize = totalSize;
      info.BitRate = float(bitrate);
      info.Quality = quality;
      info.FPS = fps;
      info.FrameNumber = frameNumber;
      if (dupDropLogged_) {
        LogText(llVerbose, line);
        dupDropLogged_ = false;
      }
      DoProgress(info);
    } else if (o.Verbose >= 0) {
      LogText(llVerbose, line);
    }
  }
  if (isLast && o.Verbose >= 0) {
    const double sum = double(videoSize_ + audioSize_ + extraSize_);
    GetFFLogger().LogFmt(this, llVerbose, "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
                         double(videoSize_) / 1024.0, double(audioSize_) / 1024.0, double(extraSize_) / 1024.0,
                         sum > 0 ? 100.0 * (double(totalSize) - sum) / sum : 0.0);
  }
}

// ---- clean-up ----

void TTranscoder::CloseEncoders() {
  for (auto& of : outputs_)
    for (auto& def : of->Streams) {
      if (def->EncoderOpen) {
        def->Enc.reset();
        def->EncoderOpen = false;
      }
    }
}

void TTranscoder::CloseDecoders() {
  for (auto& in : inputs_)
    for (TInputStreamCodec& sc : in->Streams) sc.Dec.reset();
  for (auto& p : ist_) p->DecoderOpen = false;
}

void TTranscoder::CloseOutputs() {
  for (auto& of : outputs_) {
    if (!of->Ctx) continue;
    const bool hadFile = of->Ctx->pb != nullptr;
    const int ret = CloseOutputIO(of->Ctx.get());
    if (of->Discard && hadFile) {
      std::error_code ec;
      std::filesystem::remove(of->FileName, ec);
    }
    if (ret < 0) Raise(FormatAVError(of->FileName, ret));
  }
}

void TTranscoder::ReleaseFiles() {
  ReleaseOpened();
  std::lock_guard<std::mutex> g(parkedProbeLock_);
  parkedProbes_.clear();
}

void TTranscoder::ReleaseOpened() {
  FreeTables();
  CloseStatistics();
  ReleaseFrameHooks(hookChain_);
  hookModulesOn_ = false;
  previewer_.reset();
  ResetConverter(hookConv_);
  ResetConverter(previewConv_);
  probes_.clear();
  outputSlots_.clear();
  {
    // Encoders still open are closed under the codec lock.
    std::lock_guard<std::mutex> g(CodecLock());
    for (auto& of : outputs_)
      for (auto& def : of->Streams) def->Enc.reset();
    for (auto& in : inputs_)
      for (TInputStreamCodec& sc : in->Streams) sc.Dec.reset();
  }
  outputs_.clear();
  inputs_.clear();
  joinMode_ = false;
}

bool TTranscoder::ResetOpenedFiles() {
  // Only files on disk can be opened again as they were: a pipe, a device or a stream would
  // lose what was read from it, or see its reader or writer go away.
  std::error_code ec;
  for (const auto& in : inputs_)
    if (!std::filesystem::is_regular_file(in->FileName, ec)) return false;
  for (const auto& out : outputs_)
    if (!std::filesystem::is_regular_file(out->FileName, ec)) return false;
  ReleaseOpened();
  ResetOptions();
  usesFilterGraph_ = false;
  ff::av_channel_layout_uninit(&inputLayout_);
  return true;
}
