// The geometry of the zoom modes: how the source picture is cut, scaled and placed in the
// output frame. One pure function from the source's shape, the job's crop and the frame size
// to the numbers the engine applies, in the order it applies them: crop the upright picture,
// scale the kept area, pad it to the frame.
#pragma once

#include <cstdint>
#include <string>

// The source picture as it is stored and as it is shown.
struct TPictureShape {
  int32_t Width = 0;  // coded size in pixels
  int32_t Height = 0;
  // Sample (pixel) aspect; 0 in either part means square pixels.
  int32_t SampleAspectNum = 0;
  int32_t SampleAspectDen = 0;
  // Clockwise quarter turn the player applies on display: 0, 90, 180 or 270. At 90 and 270
  // the shown picture is Height wide and Width high.
  int32_t Rotation = 0;
};

// Margins cut from the picture, in pixels of the upright (displayed, rotated) picture: what
// the user marks in the preview is what goes.
struct TCropMargins {
  int32_t Top = 0;
  int32_t Bottom = 0;
  int32_t Left = 0;
  int32_t Right = 0;
  bool Any() const { return Top > 0 || Bottom > 0 || Left > 0 || Right > 0; }
};

// The output frame: its size in pixels and the display aspect of the whole frame (0 in either
// part: square pixels, so the frame shows as Width:Height).
struct TFrameShape {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t AspectNum = 0;
  int32_t AspectDen = 0;
};

struct TZoomPlan {
  // Empty when the plan can be used; otherwise a message for the user and nothing else set.
  std::string Error;
  TCropMargins Crop;       // cut from the upright picture first
  int32_t ScaleWidth = 0;  // the kept area is scaled to this size ...
  int32_t ScaleHeight = 0;
  int32_t PadX = 0;  // ... and placed at this corner of the frame
  int32_t PadY = 0;
  int32_t FrameWidth = 0;  // the encoded frame (bands fill what the picture leaves free)
  int32_t FrameHeight = 0;
  // Display aspect of the scaled picture, reduced ("16:9"), for the encoder's pixel shape.
  std::string PictureAspect;
  bool HasBands() const { return ScaleWidth != FrameWidth || ScaleHeight != FrameHeight; }
};

// The zoom modes:
//   "full"    the kept area stretched over the whole frame;
//   "lbox"    scaled to fit inside the frame with its shape kept, centred, black bands;
//   "pan"     the kept area trimmed at its longer sides to the frame's shape, then scaled to
//             fill the frame;
//   "center"  the picture at its own (display) size in the middle of the frame with bands
//             around it; a picture larger than the frame is shrunk to fit like "lbox".
// Shapes are display shapes: the coded size times the sample aspect, after the rotation.
// Every size and position is even (4:2:0 pictures) and at least 2 pixels, so that a source of
// any shape gives exactly the frame size. An unknown mode gives an error naming it.
TZoomPlan PlanZoom(const std::string& mode, const TPictureShape& source, const TCropMargins& crop,
                   const TFrameShape& frame);

// True for the modes PlanZoom knows.
bool IsZoomMode(const std::string& mode);
