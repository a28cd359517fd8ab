// What the conversion renderer does to a job's pictures: the four picture adjustments, the
// watermark items, and where the converted pictures start in the file (the items' times
// count from the start of the file). The job record holds these as its base; the renderer,
// the crop dialog and the command line read the adjustments' ranges from here.
#pragma once

#include <cstdint>
#include <vector>

#include "render/wmrec.h"

// The range of one picture adjustment and its value that leaves pictures as they are.
struct TAdjustRange {
  const char* Name;  // "brightness", ... (the command line's option name, without dashes)
  int32_t Min, Max;
  int32_t None;  // no change
};
constexpr TAdjustRange kBrightnessRange{"brightness", 0, 512, 255};
constexpr TAdjustRange kContrastRange{"contrast", -100, 100, 0};
constexpr TAdjustRange kSaturationRange{"saturation", 0, 512, 255};
constexpr TAdjustRange kExposureRange{"exposure", -255, 512, 0};

struct TPictureAdjustments {
  int32_t Brightness = kBrightnessRange.None;
  int32_t Contrast = kContrastRange.None;
  int32_t Saturation = kSaturationRange.None;
  int32_t Exposure = kExposureRange.None;
  // True when any of the four differs from its no-change value.
  bool AnyAdjustment() const {
    return Brightness != kBrightnessRange.None || Contrast != kContrastRange.None ||
           Saturation != kSaturationRange.None || Exposure != kExposureRange.None;
  }
};

struct TPictureEdits : TPictureAdjustments {
  std::vector<TWmRec> WaterMarks;  // drawing order: the first item lowest
  int64_t TrimStart = 0;           // microseconds; 0 = from the beginning
};
