// RAII owners for the codec libraries' objects. Every object the code allocates through the
// `ff::` entry points is held by one of these, so that error paths free it too.
#pragma once

#include <memory>

#include "media/ffapi.h"

namespace ffw {

struct FrameDeleter {
  void operator()(AVFrame* f) const { ff::av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { ff::av_packet_free(&p); }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* c) const { ff::avcodec_free_context(&c); }
};
// An input opened with avformat_open_input.
struct InputContextDeleter {
  void operator()(AVFormatContext* c) const { ff::avformat_close_input(&c); }
};
// A context made with avformat_alloc_context / avformat_alloc_output_context2; the caller
// closes its I/O context (pb) first when it opened one.
struct FormatContextDeleter {
  void operator()(AVFormatContext* c) const { ff::avformat_free_context(c); }
};
struct SwsDeleter {
  void operator()(SwsContext* c) const { ff::sws_freeContext(c); }
};
struct SwrDeleter {
  void operator()(SwrContext* c) const { ff::swr_free(&c); }
};
struct FilterGraphDeleter {
  void operator()(AVFilterGraph* g) const { ff::avfilter_graph_free(&g); }
};
struct DictDeleter {
  void operator()(AVDictionary* d) const { ff::av_dict_free(&d); }
};
struct AudioFifoDeleter {
  void operator()(AVAudioFifo* f) const { ff::av_audio_fifo_free(f); }
};
struct AvFreeDeleter {
  void operator()(void* p) const { ff::av_free(p); }
};

using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using InputContext = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using FormatContext = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using Sws = std::unique_ptr<SwsContext, SwsDeleter>;
using Swr = std::unique_ptr<SwrContext, SwrDeleter>;
using FilterGraph = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;
using AudioFifo = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;
template <typename T>
using AvBuffer = std::unique_ptr<T, AvFreeDeleter>;

inline Frame MakeFrame() { return Frame(ff::av_frame_alloc()); }
inline Packet MakePacket() { return Packet(ff::av_packet_alloc()); }

// An AVDictionary* owned for the length of a scope (the libraries take AVDictionary**).
class Dict {
public:
  Dict() = default;
  ~Dict() { ff::av_dict_free(&d_); }
  Dict(const Dict&) = delete;
  Dict& operator=(const Dict&) = delete;
  AVDictionary** operator&() { return &d_; }
  AVDictionary* get() const { return d_; }

private:
  AVDictionary* d_ = nullptr;
};

}  // namespace ffw
