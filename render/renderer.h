// The conversion renderer: applies a job's picture adjustments and draws its watermark items
// (TPictureEdits) into each video frame of the job's conversion. The engine's custom hook
// calls it on the task's worker thread with the frame and its time. It knows nothing of the
// job list or the windows: the application core and the dialogs both use it.
//
// Rendered text, decoded picture files and the adjustment's lookup tables are kept between
// frames; a picture file is decoded again only when it changes on disk. Drawing text needs
// the program's QGuiApplication (the font system); the command line creates one on the
// offscreen platform.
//
// One renderer serves every task of a run: it locks only its caches, so the frames of tasks
// running at once are drawn at the same time.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

#include "engine/options.h"
#include "media/bitmap.h"
#include "render/pictureedits.h"

class QFont;
class TPictureAdjustment;

// The font a text item is drawn in: points at 96 pixels per inch, the resolution the items are
// placed at (a negative size is a height in pixels).
QFont WmQFont(const TWmFont& font);
// The box a text needs in its font, as the renderer draws it (the text at the box's top-left
// corner; slanted and bold glyphs that reach past their advance stay inside). At least 1 x 1.
// Needs the program's QGuiApplication (the font system).
void WmTextSize(const std::string& text, const TWmFont& font, int& width, int& height);

// The horizontal scale a text item is drawn at in the picture's pixels: 1 / PixelAspect (1
// when that is not a positive number).
double TextSqueeze(const TWmRec& item);

// Blends an overlay into a frame at (x, y) with opacity 0..255:
// frame' = ((256 - a) * frame + a * overlay) >> 8 on every covered channel; the parts of the
// overlay outside the frame are clipped.
void BlendBitmap(TBitmap24& frame, const TBitmap24& overlay, int x, int y, int opacity);

// Item time in whole seconds for a presentation time in microseconds (truncated).
int64_t ItemTimeSec(int64_t pts);
// The item shows in a frame whose whole-second time t lies in StartSec..EndSec.
bool WmItemActive(const TWmRec& item, int64_t pts);

class TConversionRenderer {
public:
  TConversionRenderer();
  ~TConversionRenderer();
  TConversionRenderer(const TConversionRenderer&) = delete;
  TConversionRenderer& operator=(const TConversionRenderer&) = delete;

  // Changes info.Bitmap in place: the brightness-contrast-saturation filter when any of the
  // three differs from its no-change value (255, 0, 255), the exposure filter when exposure is
  // not 0, then every item active at the frame's time (counted from TrimStart) in array order. Update and StopHook are left alone.
  // A picture item whose file cannot be read or decoded makes the call log the error and
  // throw FFmpegException before the frame is touched, so the frame stays as it was.
  void RenderFrame(const THookInfo& info, const TPictureEdits& edits);

  // Whether RenderFrame may change a frame at this presentation time: false
  // when no adjustment is set and no item is active then. The engine's OnCustomHookNeeded
  // handler answers with it, so that such frames skip the conversion to the bitmap and back.
  static bool DrawsAt(const TPictureEdits& edits, int64_t pts);

  // Forgets the kept text and pictures.
  void ClearCache();

private:
  struct TTextBox;
  struct TPicture;
  std::shared_ptr<const TTextBox> TextBox(const TWmRec& item, int frameWidth, int frameHeight);
  // The picture file at its own size (width or height 0) or stretched to width x height.
  std::shared_ptr<const TPicture> Picture(const std::string& file, int width, int height);
  std::shared_ptr<const TPictureAdjustment> Adjustment(const TPictureAdjustments& adjust);

  // Guards the three caches only; the kept entries are immutable and shared.
  std::mutex lock_;
  std::map<std::array<int32_t, 4>, std::shared_ptr<const TPictureAdjustment>> adjustments_;
  std::map<std::string, std::shared_ptr<const TTextBox>> texts_;
  std::map<std::string, std::shared_ptr<const TPicture>> pictures_;
};
