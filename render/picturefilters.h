// The two picture adjustment filters, shared by the crop dialog's live result and the
// conversion renderer. Both work in place on a 24-bit bitmap through 256-entry tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/bitmap.h"

// Brightness 0..512 (256 leaves values as they are), contrast -100..100 (0 = none),
// saturation 0..512 (256 = none). Values outside the ranges are clamped to them.
void BrightnessContrastSaturation(TBitmap24& bitmap, int brightness, int contrast, int saturation);

// Exposure -255..512 (0 = none); values outside the range are clamped to it.
void ExposureFilter(TBitmap24& bitmap, int exposure);

// A job's whole adjustment (the brightness-contrast-saturation filter when any of the three
// differs from 255, 0, 255, then the exposure filter when exposure is not 0) with its tables
// made once, for every frame of a conversion. The result equals the two filters above run
// one after the other, byte for byte. Where the saturation leaves colours alone (255 or 256)
// the first filter is a lookup per byte, and with exposure both become one table; otherwise
// each channel takes two unclamped table loads after one grey load per pixel.
class TPictureAdjustment {
public:
  TPictureAdjustment(int brightness, int contrast, int saturation, int exposure);
  // True when the adjustment leaves every picture as it is.
  bool Identity() const { return kind_ == kIdentity; }
  void Apply(TBitmap24& bitmap) const;

private:
  enum TKind { kIdentity, kPerByte, kPerPixel };
  TKind kind_ = kIdentity;
  uint8_t byteTable_[256];  // kPerByte: the whole adjustment per byte
  // kPerPixel: grey offset by channel sum, saturation, and the light table over the whole
  // range grey + saturation can take (exposure folded in), so that no clamping and no second
  // pass are left.
  std::vector<int16_t> grey_;
  int16_t sat_[256] = {};
  std::vector<uint8_t> light_;
  int lightOffset_ = 0;
};
