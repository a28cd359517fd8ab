#include "media/picturegraph.h"

#include <memory>

#include "media/errors.h"
#include "media/loader.h"

namespace {

struct InOutDeleter {
  void operator()(AVFilterInOut* p) const { ff::avfilter_inout_free(&p); }
};
using InOut = std::unique_ptr<AVFilterInOut, InOutDeleter>;

}  // namespace

int MakePictureGraph(ffw::FilterGraph& graph, AVFilterContext*& source, AVFilterContext*& sink, int width, int height,
                     int format, AVRational sar, AVPixelFormat outFormat, std::string& step) {
  graph.reset(ff::avfilter_graph_alloc());
  step = "avfilter_graph_alloc";
  if (!graph) return AVERROR(ENOMEM);
  graph->nb_threads = 0;
  if (sar.num <= 0 || sar.den <= 0) sar = AVRational{1, 1};
  const std::string args = StrFormat("video_size=%dx%d:pix_fmt=%d:time_base=1/1000000:pixel_aspect=%d/%d", width,
                                     height, format, sar.num, sar.den);
  step = "buffer";
  int ret = ff::avfilter_graph_create_filter(&source, ff::avfilter_get_by_name("buffer"), "src", args.c_str(), nullptr,
                                             graph.get());
  if (ret < 0) return ret;
  step = "buffersink";
  ret = ff::avfilter_graph_create_filter(&sink, ff::avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                         graph.get());
  if (ret < 0) return ret;
  step = "pix_fmts";
  const AVPixelFormat formats[] = {outFormat, AV_PIX_FMT_NONE};
  return ff::av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const uint8_t*>(formats), int(sizeof(AVPixelFormat)),
                            AV_OPT_SEARCH_CHILDREN);
}

int LinkFilterText(AVFilterGraph* graph, AVFilterContext* from, AVFilterContext* sink, const std::string& text,
                   std::string& step) {
  InOut outputs(ff::avfilter_inout_alloc());
  InOut inputs(ff::avfilter_inout_alloc());
  step = "inout";
  if (!outputs || !inputs) return AVERROR(ENOMEM);
  outputs->name = ff::av_strdup("in");
  outputs->filter_ctx = from;
  outputs->pad_idx = 0;
  outputs->next = nullptr;
  inputs->name = ff::av_strdup("out");
  inputs->filter_ctx = sink;
  inputs->pad_idx = 0;
  inputs->next = nullptr;
  AVFilterInOut* in = inputs.release();
  AVFilterInOut* out = outputs.release();
  step = text;
  int ret = ff::avfilter_graph_parse_ptr(graph, text.c_str(), &in, &out, nullptr);
  ff::avfilter_inout_free(&in);
  ff::avfilter_inout_free(&out);
  if (ret < 0) return ret;
  return ff::avfilter_graph_config(graph, nullptr);
}

int TPictureTurner::Turn(AVFrame* picture, const std::string& filters, std::string& step) {
  if (!graph_ || picture->width != width_ || picture->height != height_ || picture->format != format_ ||
      filters != filters_) {
    graph_.reset();
    int ret = MakePictureGraph(graph_, source_, sink_, picture->width, picture->height, picture->format,
                               picture->sample_aspect_ratio, AVPixelFormat(picture->format), step);
    if (ret >= 0) ret = LinkFilterText(graph_.get(), source_, sink_, filters, step);
    if (ret < 0) {
      graph_.reset();
      return ret;
    }
    width_ = picture->width;
    height_ = picture->height;
    format_ = picture->format;
    filters_ = filters;
  }
  if (!turned_) turned_ = ffw::MakeFrame();
  step = "frame";
  if (!turned_) return AVERROR(ENOMEM);
  step = "feeding";
  int ret = ff::av_buffersrc_add_frame_flags(source_, picture, AV_BUFFERSRC_FLAG_KEEP_REF);
  if (ret < 0) return ret;
  step = "reading";
  ret = ff::av_buffersink_get_frame(sink_, turned_.get());
  if (ret < 0) return ret;
  ff::av_frame_unref(picture);
  ff::av_frame_move_ref(picture, turned_.get());
  return 0;
}
