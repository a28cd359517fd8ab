#include "app/core/zoomgeometry.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "media/errors.h"

namespace {

// The nearest even whole number of a size, kept within [2, limit] (limit itself may be odd:
// a picture as large as the frame takes the frame's size).
int32_t EvenSize(double v, int32_t limit) {
  if (!std::isfinite(v)) v = limit;
  const double even = std::round(v / 2.0) * 2.0;
  if (even >= limit) return limit;
  return int32_t(std::max(2.0, even));
}

// The largest even number not above v (v >= 0).
int32_t EvenDown(double v) { return v <= 0 ? 0 : int32_t(std::floor(v)) & ~1; }

std::string ReducedRatio(int64_t a, int64_t b) {
  const int64_t g = std::gcd(a, b);
  if (g > 1) {
    a /= g;
    b /= g;
  }
  return std::to_string(a) + ":" + std::to_string(b);
}

}  // namespace

bool IsZoomMode(const std::string& mode) {
  return mode == "full" || mode == "lbox" || mode == "pan" || mode == "center";
}

TZoomPlan PlanZoom(const std::string& mode, const TPictureShape& source, const TCropMargins& crop,
                   const TFrameShape& frame) {
  TZoomPlan plan;
  if (!IsZoomMode(mode)) {
    plan.Error = "Unknown zoom mode \"" + mode + "\" (full, lbox, pan or center)";
    return plan;
  }
  const int32_t W = frame.Width, H = frame.Height;
  if (W <= 0 || H <= 0) {
    plan.Error = "The output frame size is unknown";
    return plan;
  }
  if (source.Width <= 0 || source.Height <= 0) {
    plan.Error = "The size of the source picture is unknown";
    return plan;
  }

  // The upright picture: a quarter turn swaps the sides and inverts the pixel shape.
  const bool sideways = source.Rotation == 90 || source.Rotation == 270;
  const int32_t uprightW = sideways ? source.Height : source.Width;
  const int32_t uprightH = sideways ? source.Width : source.Height;
  double sar = source.SampleAspectNum > 0 && source.SampleAspectDen > 0
                   ? double(source.SampleAspectNum) / source.SampleAspectDen
                   : 1.0;
  if (sideways) sar = 1.0 / sar;

  // Two pixels each way are the least a picture keeps (a crop counts in pairs of pixels, and
  // the colour planes of most encoders are half the size).
  if (uprightW < 2 || uprightH < 2) {
    plan.Error = StrFormat("The %dx%d picture is too small to convert (at least 2x2 pixels)", uprightW, uprightH);
    return plan;
  }
  if (crop.Top < 0 || crop.Bottom < 0 || crop.Left < 0 || crop.Right < 0 ||
      int64_t(crop.Left) + crop.Right > uprightW - 2 || int64_t(crop.Top) + crop.Bottom > uprightH - 2) {
    plan.Error = StrFormat("The crop (top %d, left %d, bottom %d, right %d) leaves no picture of the %dx%d source",
                           crop.Top, crop.Left, crop.Bottom, crop.Right, uprightW, uprightH);
    return plan;
  }
  TCropMargins cut = crop;
  const int32_t keptW = uprightW - cut.Left - cut.Right;
  const int32_t keptH = uprightH - cut.Top - cut.Bottom;

  // Shapes as shown: width over height of the kept picture and of the frame; one frame pixel
  // is frameSar wide for each unit of height.
  const bool frameAspectGiven = frame.AspectNum > 0 && frame.AspectDen > 0;
  const double frameAspect = frameAspectGiven ? double(frame.AspectNum) / frame.AspectDen : double(W) / H;
  const double frameSar = frameAspect * H / W;
  const double pictureAspect = keptW * sar / keptH;

  double scaleW = W, scaleH = H;
  if (mode == "pan") {
    // Trim the longer sides of the kept picture to the frame's shape.
    if (pictureAspect > frameAspect) {
      const double keepW = keptH * frameAspect / sar;
      const int32_t side = std::min(EvenDown((keptW - keepW) / 2), EvenDown((keptW - 2) / 2.0));
      cut.Left += side;
      cut.Right += side;
    } else if (pictureAspect < frameAspect) {
      const double keepH = keptW * sar / frameAspect;
      const int32_t side = std::min(EvenDown((keptH - keepH) / 2), EvenDown((keptH - 2) / 2.0));
      cut.Top += side;
      cut.Bottom += side;
    }
  } else if (mode == "lbox" || mode == "center") {
    // The picture's own size in frame pixels: as many lines, as wide as it shows.
    const double ownW = keptW * sar / frameSar, ownH = keptH;
    if (mode == "center" && ownW <= W && ownH <= H) {
      scaleW = ownW;
      scaleH = ownH;
    } else if (pictureAspect >= frameAspect) {
      scaleH = W * frameSar / pictureAspect;
    } else {
      scaleW = H * pictureAspect / frameSar;
    }
  }

  plan.Crop = cut;
  plan.FrameWidth = W;
  plan.FrameHeight = H;
  plan.ScaleWidth = EvenSize(scaleW, W);
  plan.ScaleHeight = EvenSize(scaleH, H);
  plan.PadX = EvenDown((W - plan.ScaleWidth) / 2.0);
  plan.PadY = EvenDown((H - plan.ScaleHeight) / 2.0);
  if (frameAspectGiven) {
    // The scaled picture shows as its share of the frame's shape.
    plan.PictureAspect = ReducedRatio(int64_t(plan.ScaleWidth) * frame.AspectNum * H,
                                      int64_t(plan.ScaleHeight) * frame.AspectDen * W);
  } else {
    plan.PictureAspect = std::to_string(plan.ScaleWidth) + ":" + std::to_string(plan.ScaleHeight);
  }
  return plan;
}
