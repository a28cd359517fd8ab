// The two picture adjustment filters, shared by the crop dialog's live result and the
// conversion renderer. Both work in place on a 24-bit bitmap through 256-entry tables built
// once per call.
#pragma once

#include <cstddef>

#include "media/bitmap.h"

// Brightness 0..512 (256 leaves values as they are), contrast -100..100 (0 = none),
// saturation 0..512 (256 = none). Values outside the ranges are clamped to them.
void BrightnessContrastSaturation(TBitmap24& bitmap, int brightness, int contrast, int saturation);

// Exposure -255..512 (0 = none); values outside the range are clamped to it.
void ExposureFilter(TBitmap24& bitmap, int exposure);
