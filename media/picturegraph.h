// Filter graphs over single pictures: a buffer source to a buffer sink with filter text in
// between, and the turn that shows a picture upright (the stream's display rotation), shared
// by the transcoder and the preview player.
#pragma once

#include <string>

#include "media/ffwrap.h"

// A filter graph from a buffer source of pictures of this size, format and pixel shape (0:
// square) to a sink that gives `outFormat`. A negative library code with the failing step.
int MakePictureGraph(ffw::FilterGraph& graph, AVFilterContext*& source, AVFilterContext*& sink, int width, int height,
                     int format, AVRational sar, AVPixelFormat outFormat, std::string& step);
// Parses the filter text between `from` and `sink` and configures the graph. A negative
// library code with the failing step ("inout", else the text).
int LinkFilterText(AVFilterGraph* graph, AVFilterContext* from, AVFilterContext* sink, const std::string& text,
                   std::string& step);

// Turns pictures upright through the filters of their display orientation (TDisplayOrientation
// ::Filters); the graph is made for the first picture and again whenever the pictures change
// size or format. The turned picture keeps its pixel format.
class TPictureTurner {
public:
  // Replaces `picture` by the turned one. 0, or a negative library code with the failing step
  // (the picture is then left as it was).
  int Turn(AVFrame* picture, const std::string& filters, std::string& step);

private:
  ffw::FilterGraph graph_;
  AVFilterContext* source_ = nullptr;
  AVFilterContext* sink_ = nullptr;
  int width_ = 0, height_ = 0, format_ = AV_PIX_FMT_NONE;
  std::string filters_;
  ffw::Frame turned_;
};
