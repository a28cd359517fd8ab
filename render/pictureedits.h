// What the conversion renderer does to a job's pictures: the four picture adjustments, the
// watermark items, and where the converted pictures start in the file (the items' times
// count from the start of the file). The job record holds these as its base.
#pragma once

#include <cstdint>
#include <vector>

#include "render/wmrec.h"

struct TPictureAdjustments {
  int32_t Brightness = 255;  // 255 = no change
  int32_t Contrast = 0;      // 0 = no change
  int32_t Saturation = 255;  // 255 = no change
  int32_t Exposure = 0;      // 0 = no change
  // True when any of the four differs from its no-change value.
  bool AnyAdjustment() const { return Brightness != 255 || Contrast != 0 || Saturation != 255 || Exposure != 0; }
};

struct TPictureEdits : TPictureAdjustments {
  std::vector<TWmRec> WaterMarks;  // drawing order: the first item lowest
  int64_t TrimStart = 0;           // microseconds; 0 = from the beginning
};
