#include "dialogs/displayshape.h"

#include <algorithm>
#include <cmath>

#include "media/probe.h"

double PixelAspect(TCustomAVProbe& probe) {
  if (probe.VideoStreamCount() <= 0) return 1.0;
  const TVideoStreamInfo info = probe.GetVideoStreamInfo();
  if (info.SampleAspectNum <= 0 || info.SampleAspectDen <= 0) return 1.0;
  const double sar = double(info.SampleAspectNum) / info.SampleAspectDen;
  // Turned a quarter, the coded pixel's width becomes the upright pixel's height.
  return info.Rotation == 90 || info.Rotation == 270 ? 1.0 / sar : sar;
}

int ShownWidth(int codedWidth, double pixelAspect) { return std::max(1, int(std::lround(codedWidth * pixelAspect))); }
