// The transcoder of one engine task: opens inputs and outputs from the option state, builds
// the stream tables, sets up decoders, filters and encoders, and runs the packet loop that
// demuxes, decodes, processes, encodes and muxes.
//
// It is a task (TFFmpeg: threads, events, records) and an option layer (TTranscoderOptions:
// the named options and their state) at once. The work is spread over the files of this
// folder: input.cpp (input opening), output.cpp (output and stream creation), targets.cpp
// (target presets), tasks.cpp (applying option records), setup.cpp (transcode set-up),
// loop.cpp (packet loop and progress), audio.cpp and video.cpp (the encoded output paths),
// statistics.cpp (two-pass logs, video statistics, quality figures).
//
// Times are microseconds unless a name says otherwise. Everything here runs on the task's
// worker thread once the task has started; before that, on the thread that adds the task.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/task.h"
#include "engine/transcoder/options.h"
#include "media/ffwrap.h"
#include "media/framehook.h"
#include "media/picturegraph.h"
#include "media/previewer.h"
#include "media/probe.h"
#include "media/unicode_protocol.h"
#include "media/utils.h"

namespace transcoder {

// A bitstream-filter context owned by an output stream.
struct BsfDeleter {
  void operator()(AVBSFContext* c) const { ff::av_bsf_free(&c); }
};
using Bsf = std::unique_ptr<AVBSFContext, BsfDeleter>;

// One stream of an opened input: its decoder context (made at opening, so that the generic
// decoding options land on it, opened at set-up when a stream needs decoding).
struct TInputStreamCodec {
  const AVCodec* NamedDecoder = nullptr;  // chosen by name at opening, else null
  ffw::CodecContext Dec;
  AVRational RealFrameRate{0, 1};
  bool Discarded = false;
};

struct TInputFileState {
  ffw::InputFile Ctx;
  int64_t TsOffset = 0;
  int64_t SeekStart = 0;  // the asked start position ("ss"), µs from the file's start
  int64_t StartTime = 0;  // where the input's streams start after the offset: 0, or where a joined input continues
  std::array<double, kMaxStreams> TsScale{};
  std::vector<TInputStreamCodec> Streams;
  std::string FileName;
};

// One stream of an output file as made at opening.
struct TOutputStreamDef {
  AVStream* Stream = nullptr;
  ffw::CodecContext Enc;           // encoder settings; opened at set-up
  const AVCodec* Codec = nullptr;  // encoder (null for stream copy until set-up)
  bool Copy = false;
  AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
  std::vector<const AVBitStreamFilter*> BitstreamFilters;
  float Quality = 0.0f;  // fixed quality ("qscale" x 118), 0 when not fixed
  bool EncoderOpen = false;
  std::string PassText;  // second-pass statistics given to the encoder
  // A sound track of silence that the container needs although the input has no sound: fed
  // along the picture of the input's video stream, as long as the picture lasts.
  bool SilentSound = false;
};

struct TOutputFileState {
  ffw::OutputFile Ctx;
  std::vector<std::unique_ptr<TOutputStreamDef>> Streams;
  std::string FileName;
  bool HeaderWritten = false;
  bool TrailerWritten = false;
  bool Discard = false;  // the file holds no usable result: removed when it is closed
};

// Runtime tables, built at set-up.
struct TInputStream {
  int32_t FileIndex = 0;
  int32_t Index = 0;
  AVStream* Stream = nullptr;
  TInputStreamCodec* Codec = nullptr;
  bool Unclaimed = true;
  bool DecodingNeeded = false;
  bool DecoderOpen = false;
  int64_t NextStreamTime = 0;
  int64_t StreamTime = 0;
  // The time the next decoded frame follows on (the last decoded frame's time plus its
  // length); kNoPts before the first frame. A frame without a time of its own takes this,
  // not the newest packet's time: with the decoder's delay that packet lies frames ahead.
  int64_t NextDecodedTime = kNoPts;
  // The decoding time of the last packet read and the one expected next (its time plus its
  // length); kNoPts before the first packet with one. Jumps in the decoding times are found
  // against these, never against the pictures' presentation times, which a damaged stream
  // may put far from them.
  int64_t LastDts = kNoPts;
  int64_t NextDts = kNoPts;
  bool AwaitingFirstPacket = true;
  int64_t Start = 0;
  bool PastTimeLimit = false;
  bool Flushed = false;
  bool MultiFrameWarned = false;
  float Quality = 0.0f;
  int64_t PacketsRead = 0;
  // Added to every time of this stream: set when its first packet lies far from the input's
  // start (a damaged time base in a stream with time-stamp discontinuities).
  int64_t StartCorrection = 0;

  // Display rotation: decoded pictures are turned upright before anything else sees them.
  TDisplayOrientation Orientation;
  TPictureTurner Turner;

  // A still picture (the cover art of a sound file): its decoded picture is shown again at
  // the output's frame rate for as long as the sound lasts.
  bool StillPicture = false;
  ffw::Frame Still;
  int64_t StillTime = 0;  // stream time of the last showing
};

struct TInputFile {
  int32_t IstIndex = 0;
  int32_t NbStreams = 0;
  bool Eof = false;
  bool NoPacket = false;
};

// How the colours of a video stream's pictures are coded on the way in and on the way out: the
// YCbCr matrix (unspecified reads as BT.601, as decoders assume) and whether the levels use
// the full range. Pictures in RGB take the other side's values, so that they ask for nothing.
struct TColourPlan {
  AVColorSpace InMatrix = AVCOL_SPC_UNSPECIFIED;
  bool InFull = false;
  AVColorSpace OutMatrix = AVCOL_SPC_UNSPECIFIED;
  bool OutFull = false;
  // The scaler must change the matrix or the range.
  bool Converts() const;
};

struct TOutputStream {
  int32_t FileIndex = 0;  // output slot
  int32_t Index = 0;
  int32_t SourceIndex = 0;
  TOutputStreamDef* Def = nullptr;
  AVStream* Stream = nullptr;
  AVCodecContext* Enc = nullptr;
  bool EncodingNeeded = false;
  int32_t FrameNumber = 0;
  TInputStream* SyncInput = nullptr;
  int64_t OutputTicks = 0;
  bool OutputTicksSet = false;       // the first stream-copy packet or encoded frame was written
  int64_t PacketsWritten = 0;        // packets handed to the muxer
  int64_t LastAudioEnd = INT64_MIN;  // audio: end of the last frame given to the encoder
  int64_t SilenceFed = 0;            // silent sound: samples written so far
  // Video: encoder ticks taken off every picture time after gaps that no content of the input
  // covers (damaged or jumping time stamps), so that they are not filled with repeated pictures.
  double SkippedTicks = 0;

  // Video
  bool VideoResample = false;
  bool VideoCrop = false;
  ffw::Frame ScaledPicture;
  ffw::Sws PictureScaler;
  int32_t CurrentCropTop = 0, CurrentCropBottom = 0, CurrentCropLeft = 0, CurrentCropRight = 0;
  int32_t InitialCropTop = 0, InitialCropBottom = 0, InitialCropLeft = 0, InitialCropRight = 0;
  int32_t ScalerInputWidth = 0, ScalerInputHeight = 0;
  int32_t ScalerInputFormat = AV_PIX_FMT_NONE;
  int32_t InitialWidth = 0, InitialHeight = 0;
  TColourPlan Colour;
  ffw::FilterGraph Graph;
  AVFilterContext* SourceFilter = nullptr;
  AVFilterContext* SinkFilter = nullptr;
  float LastQuality = 0.0f;           // quantiser x 118 of the last encoded picture
  uint64_t LastError[3] = {0, 0, 0};  // plane errors of the last encoded picture (PSNR)
  char LastPictType = '?';

  // Audio
  bool AudioResample = false;
  ffw::Swr AudioResampler;
  int32_t ResamplerInFormat = -1, ResamplerInRate = 0;
  AVChannelLayout ResamplerInLayout{};
  ffw::AudioFifo Fifo;

  // Bitstream filters in chain order
  std::vector<Bsf> Bsfs;
  std::FILE* LogFile = nullptr;
  int32_t SavedCodecId = 0;
  bool Active = true;
};

}  // namespace transcoder

class TTranscoder : public TFFmpeg, public TTranscoderOptions {
public:
  TTranscoder();
  ~TTranscoder() override;

  // ---- Input opening ----
  // Opens the next input with the current option state. Errors of the first steps are
  // raised; later failures give false with LastError set. (OpenInputFile applies a task's
  // input record to the option state first.)
  bool OpenNextInput(const std::string& fileName);
  // Codec id for a codec name of a kind; AV_CODEC_ID_NONE for an empty name. False with
  // LastError set when the name is unknown, of another kind or experimental under Strict.
  bool FindCodec(const std::string& name, AVMediaType kind, bool encoder, int strict, AVCodecID& id);

  // ---- Output opening ----
  // Opens the next output with the current option state: the output count, or -1 with
  // LastError. (OpenOutputFile applies a task's output record to the option state around it.)
  int OpenNextOutput(const std::string& fileName, bool join);
  void NewVideoStream(transcoder::TOutputFileState& output);
  void NewAudioStream(transcoder::TOutputFileState& output);
  void NewSubtitleStream(transcoder::TOutputFileState& output);
  // Whether any input (only the first in join mode) has a video, audio, subtitle stream.
  void CheckInputStreams(bool join, bool& hasVideo, bool& hasAudio, bool& hasSubtitle);

  // ---- State read by the front end and tests ----
  int64_t TotalDuration() const { return Opt.TotalDuration; }
  bool JoinMode() const { return joinMode_; }
  int OpenedInputCount() const { return int(inputs_.size()); }
  AVFormatContext* InputContext(int index) const { return inputs_.at(size_t(index))->Ctx.get(); }
  AVFormatContext* OutputContext(int slot) const { return outputFile(slot).Ctx.get(); }
  const transcoder::TOutputFileState& OutputState(int slot) const { return outputFile(slot); }
  // The media probe bound to an opened input; null for another index. A queued task (its
  // files closed until it starts) opens the asked input for the probe alone, which stays
  // open until the task's files are closed at the end of its run or the task is freed.
  TAVProbe* InputProbe(int index) const override;
  // The encoder or stream-copy flag of an output stream, after set-up started (tests).
  int64_t VideoBytes() const { return videoSize_; }
  int64_t AudioBytes() const { return audioSize_; }
  int32_t DupCount() const { return dupCount_; }
  int32_t DropCount() const { return dropCount_; }

protected:
  // TFFmpeg
  bool OpenInputFile(const TInputOptions& options, bool hasRecord) override;
  bool OpenOutputFile(const TOutputOptions& options, bool hasRecord) override;
  void Transcode() override;
  void CloseEncoders() override;
  void CloseDecoders() override;
  void CloseOutputs() override;
  void ReleaseFiles() override;
  bool ResetOpenedFiles() override;

  // TTranscoderOptions
  int OutputFileCount() const override { return int(outputSlots_.size()); }
  void NewStream(AVMediaType type) override;
  void SetTarget(const std::string& type, const std::string& norm, const std::string& fallbackNorm) override;
  bool AddVideoHook(const std::vector<std::string>& words) override;

private:
  using TInputStream = transcoder::TInputStream;
  using TOutputStream = transcoder::TOutputStream;
  using TOutputFileState = transcoder::TOutputFileState;

  transcoder::TOutputFileState& outputFile(int slot) const { return *outputSlots_.at(size_t(slot)); }

  // ---- input opening (input.cpp): the steps of OpenNextInput ----
  // The input format the "f" option forces for this file (consumed); null when none.
  const AVInputFormat* TakeForcedInputFormat();
  // The names of forced decoders apply to one input: cleared after every opening.
  void ClearDecoderNames();
  // Opens the file on a context that carries the interrupt callback, the raw and capture
  // format parameters, the generic format options and the forced decoders; null with
  // LastError set on failure.
  ffw::InputFile OpenInputContext(const std::string& fileName, const AVInputFormat* fmt);
  void SetInputFormatParams(ffw::Dict& params) const;
  bool SetForcedDecoders(AVFormatContext* ctx);
  // Keeps only the streams of the program "programid" names; false when there is none.
  bool SelectProgram(AVFormatContext* ctx);
  // Reads the streams' parameters (under the codec lock); false when that fails or a stop
  // was asked for meanwhile.
  bool AnalyseInput(AVFormatContext* ctx, const std::string& fileName);
  // Seeks to the asked start ("ss", consumed); the start on the container's clock.
  int64_t SeekToStart(AVFormatContext* ctx, const std::string& fileName);
  // Makes each stream's decoder context and copies the streams' picture and sound
  // properties into the option state, where outputs opened afterwards find them.
  void TakeInputStreams(AVFormatContext* ctx, transcoder::TInputFileState& state);
  void TakeVideoProperties(int index, AVStream* st, transcoder::TInputStreamCodec& sc);
  void TakeAudioProperties(AVStream* st, transcoder::TInputStreamCodec& sc);

  // ---- set-up (setup.cpp) ----
  void SetupTranscode();
  void BuildInputTables();
  void BuildOutputTables();
  // The unclaimed, not discarded input stream of a kind an output stream takes when no map
  // names one (only of one input when onlyFile >= 0); -1 when there is none.
  int ChooseSourceStream(AVMediaType kind, int onlyFile) const;
  void PrepareStreamCopy(TOutputStream& ost, TInputStream& ist);
  void PrepareEncodedStream(TOutputStream& ost, TInputStream& ist);
  void ConfigureFilters(TOutputStream& ost, TInputStream& ist);
  // The scaler from pictures of this size and format to the encoder's, and the picture it
  // scales into (made once).
  void MakePictureScaler(TOutputStream& ost, int width, int height, AVPixelFormat format);
  void OpenEncoders();
  void OpenDecoders();
  void OpenDecoder(TInputStream& ist);
  void InitInputTimes();
  void CopyMetadataMaps();
  void CopyChapters();
  void WriteHeaders();
  void LogStreamMapping();
  void InitBitstreamFilters(TOutputStream& ost);
  void FreeTables();
  // Frees what the openings and the transcode made; the queued task's probes stay.
  void ReleaseOpened();

  // ---- loop (loop.cpp) ----
  // The packet loop: one turn chooses an input, reads one packet and handles it.
  enum class TReadOutcome { Packet, Retry, End };
  void RunLoop();
  bool FrameLimitReached(const TOutputStream& ost) const;
  // The input to read next in fileIndex (-1: none has a packet ready now); false ends the loop.
  bool ChooseInput(int& fileIndex);
  // No input had a packet: wait a moment when one may get one; false when all are done.
  bool AwaitPackets();
  bool FileSizeLimitReached() const;
  // Reads one packet; at an input's end moves on to the next joined input.
  TReadOutcome ReadPacket(int& fileIndex, AVPacket* packet);
  // Corrects the packet's times and decodes or copies it; false after a decoding error
  // (skips the progress step of this turn). Leaves the packet empty.
  bool HandleInputPacket(int fileIndex, AVPacket* packet);
  void ApplyOffsetAndScale(const transcoder::TInputFileState& in, const TInputStream& ist, AVPacket* packet) const;
  // A stream whose first time lies more than the discontinuity threshold from the input's
  // start is moved to start with the input.
  void CorrectStreamStart(const transcoder::TInputFileState& in, TInputStream& ist, AVPacket* packet);
  void CorrectDiscontinuity(transcoder::TInputFileState& in, const TInputStream& ist, AVPacket* packet);
  // Marks the stream past the recording time when the packet starts at or after it.
  bool PastRecordingLimit(TInputStream& ist, const AVPacket* packet);
  void ReportPacedProgress(int fileIndex);
  // At an input's end: notes that it ended early when the times reached fall short of its
  // known length (or of the recording limit).
  void CheckInputEnd(int fileIndex);
  // Flushes decoders and encoders, writes the trailers and the last progress report.
  void FinishLoop();
  // Fails the task, removing its outputs, when no video or audio packet reached them.
  void CheckSomethingConverted();
  int ProcessPacket(TInputStream& ist, AVPacket* pkt);
  void HandleDecodedFrame(TInputStream& ist, AVFrame* frame);
  void HandleSubtitle(TInputStream& ist, AVSubtitle& sub);
  void CopyPacket(TOutputStream& ost, TInputStream& ist, const AVPacket* pkt);
  void FlushEncoders(TInputStream& ist);
  void EncodeAndWrite(TOutputStream& ost, AVFrame* frame, bool video);
  void WriteFrame(TOutputStream& ost, AVPacket* pkt);
  void ReportProgress(bool isLast, int fileIndex);
  bool NextJoinInput(int& fileIndex);
  void ApplyVolume(AVFrame* frame) const;
  void WriteTrailers();

  // ---- audio (audio.cpp) ----
  void DoAudioOut(TOutputStream& ost, TInputStream& ist, AVFrame* frame);
  void EncodeAudioFromFifo(TOutputStream& ost, bool flush);
  // Silent sound up to the stream time `until`.
  void FeedSilence(TOutputStream& ost, int64_t until);

  // ---- video (video.cpp) ----
  void PrepareDecodedPicture(TInputStream& ist, AVFrame* picture);
  // Replaces the picture by its upright view when the stream is shown turned or mirrored.
  void TurnUpright(TInputStream& ist, AVFrame* picture);
  // Keeps the decoded picture of a still-picture stream for showing it again.
  void KeepStillPicture(TInputStream& ist, const AVFrame* picture);
  // Shows the kept still pictures again, one per output frame, up to `until` (a stream time).
  void RepeatStillPictures(int64_t until);
  // The size and pixel shape of the stream's decoded pictures once turned upright.
  void UprightGeometry(const TInputStream& ist, int& width, int& height, AVRational& sar) const;
  void CustomHook(AVFrame* picture, AVPixelFormat pixFmt, int width, int height, int64_t streamTime);
  void PreviewPicture(const AVFrame* picture, int64_t pts);
  int DoVideoOut(TOutputStream& ost, TInputStream& ist, AVFrame* picture);
  // The length of a packet of the stream in µs: its own, else one sound frame or one picture.
  int64_t PacketLength(const TInputStream& ist, const AVPacket* pkt) const;
  // The furthest stream time the content of the stream's input reaches so far: the time read
  // by its other streams in use, or, when it is the only one, the input's known end; kNoPts
  // when nothing says.
  int64_t ContentReach(const TInputStream& ist) const;
  void DoSubtitleOut(TOutputStream& ost, TInputStream& ist, AVSubtitle& sub, int64_t streamTime);

  // ---- statistics (statistics.cpp) ----
  void OpenPassLog(int outputStreamIndex, TOutputStream& ost);
  void WritePassLog(TOutputStream& ost);
  void WriteVideoStats(TOutputStream& ost, int frameSize);
  std::string QualityText(TOutputStream& ost, bool isLast);
  void CloseStatistics();

  [[noreturn]] void Raise(const std::string& message) const;
  void LogText(TLogLevel level, const std::string& text) const;

  // Inputs and outputs
  std::vector<std::unique_ptr<transcoder::TInputFileState>> inputs_;
  std::vector<std::unique_ptr<TAVProbe>> probes_;
  // Probes of a queued task's inputs (see InputProbe), by input index.
  struct TParkedProbe {
    ffw::InputFile Ctx;
    TAVProbe Probe;
  };
  mutable std::mutex parkedProbeLock_;
  mutable std::vector<std::unique_ptr<TParkedProbe>> parkedProbes_;
  std::vector<std::unique_ptr<transcoder::TOutputFileState>> outputs_;  // owned files
  std::vector<transcoder::TOutputFileState*> outputSlots_;              // slots (join repeats)
  bool joinMode_ = false;
  bool usesFilterGraph_ = false;
  AVChannelLayout inputLayout_{};  // the last opened input's layout (for new audio streams)

  // Runtime tables
  std::vector<transcoder::TInputFile> fileTable_;
  std::vector<std::unique_ptr<TInputStream>> ist_;
  std::vector<std::unique_ptr<TOutputStream>> ost_;

  // Counters and pacing
  int64_t videoSize_ = 0, audioSize_ = 0, extraSize_ = 0;
  int32_t dupCount_ = 0, dropCount_ = 0;
  bool dupDropLogged_ = false;
  int64_t timerStart_ = 0;
  int64_t lastReport_ = 0;
  int32_t pictureCount_ = 0;
  int64_t previewLast_ = 0;
  int scalerFlags_ = kDefaultScalerFlags;

  // Hooks and preview
  TFrameHookChain hookChain_ = nullptr;
  bool hookOn_ = false;         // the custom hook callback is active for this task
  bool hookModulesOn_ = false;  // hook modules are active for this task
  TPictureConverter hookConv_;
  TPictureConverter previewConv_;
  std::unique_ptr<TPreviewer> previewer_;
  ffw::Frame workPicture_;  // pre-processing copy of the decoded picture
  ffw::Frame stillCopy_;    // a still picture being shown again
  bool repeatingStill_ = false;

  // Buffers reused for every frame
  ffw::Frame decoded_;
  ffw::Frame filtered_;
  ffw::Packet outPacket_;
  ffw::Frame audioFrame_;
  ffw::Frame cropView_;
  int64_t lastVideoPacketSize_ = 0;
  std::string lastDecodeError_;  // the last decoding error of the loop, for the failure text
  std::vector<uint8_t> subtitleBuffer_;

  // Statistics
  std::FILE* vstatsFile_ = nullptr;
  std::array<int64_t, 52> qpHistogram_{};
};
