// One stored watermark item of a job: a text or a picture drawn into the converted frames
// during its visible time range.
#pragma once

#include <cstdint>
#include <string>

// An RGB colour, 0xRRGGBB.
using TColorRGB = uint32_t;
constexpr TColorRGB RgbColor(uint8_t r, uint8_t g, uint8_t b) {
  return (TColorRGB(r) << 16) | (TColorRGB(g) << 8) | TColorRGB(b);
}
constexpr uint8_t ColorRed(TColorRGB c) { return uint8_t(c >> 16); }
constexpr uint8_t ColorGreen(TColorRGB c) { return uint8_t(c >> 8); }
constexpr uint8_t ColorBlue(TColorRGB c) { return uint8_t(c); }

constexpr TColorRGB clBlack = RgbColor(0, 0, 0);
constexpr TColorRGB clGreen = RgbColor(0, 128, 0);
constexpr TColorRGB clBlue = RgbColor(0, 0, 255);
constexpr TColorRGB clWhite = RgbColor(255, 255, 255);

// The font of a text item. Size is in points (a point is 96/72 pixels, as on the screen the
// items were placed on).
struct TWmFont {
  std::string Name;  // face name; empty takes the default sans-serif face
  int32_t Size = 26;
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  bool StrikeOut = false;
  TColorRGB Color = clBlue;
  bool operator==(const TWmFont&) const = default;
};

enum : int32_t { wmkText = 0, wmkImage = 1 };

struct TWmRec {
  std::string Text;
  TWmFont Font;
  int32_t TextLeft = 0;
  int32_t TextTop = 0;
  int32_t TextWidth = 0;
  int32_t TextHeight = 0;
  int32_t TextOpacity = 255;  // 0..255, 255 opaque
  TColorRGB BackColor = clGreen;
  bool HasBackColor = false;  // false: transparent background
  std::string ImageFile;      // full path of the picture file
  int32_t ImageLeft = 0;
  int32_t ImageTop = 0;
  int32_t ImageWidth = 0;  // the item's box: the picture is stretched to it (0: the picture's own size)
  int32_t ImageHeight = 0;
  int32_t ImageOpacity = 255;
  int32_t Kind = wmkText;
  // The width of one source pixel as shown, its height counting 1 (anamorphic sources), when
  // the item was placed: a text is drawn 1 / PixelAspect as wide in the picture's pixels, so
  // that it shows in its font's own proportions. 1 for square pixels.
  double PixelAspect = 1.0;
  int32_t StartSec = 0;  // visible in frames whose time in whole seconds lies in StartSec..EndSec
  int32_t EndSec = 0;
};
using PWmRec = TWmRec*;
