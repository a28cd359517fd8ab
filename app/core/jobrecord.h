// The job record of one row of the job list: everything the per-file dialogs set for a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/pictureedits.h"

// The base holds what the conversion renderer works from: the four picture adjustments, the
// watermark items and the trim start (TrimStart, microseconds; 0 = from the beginning).
struct TlvFilesRecord : TPictureEdits {
  int32_t AddIndex = 0;           // position within the selection that added the file
  std::string SourceFile;         // full path of the input file
  std::string DestFile;           // output path computed when the file was added (for display)
  int32_t DurationSec = 0;        // source duration in whole seconds
  int64_t TrimLength = 0;         // microseconds; 0 = to the end
  std::string ZoomMode = "lbox";  // "full", "lbox", "pan" or "center"
  // Crop margins in source pixels (even).
  int32_t CropTop = 0;
  int32_t CropLeft = 0;
  int32_t CropBottom = 0;
  int32_t CropRight = 0;
  // The crop margins as entered in the crop dialog, in its preview pixels.
  int32_t ViewCropTop = 0;
  int32_t ViewCropLeft = 0;
  int32_t ViewCropBottom = 0;
  int32_t ViewCropRight = 0;
  bool ProcessText = false;
  bool ProcessImage = false;
};
using PlvFilesRecord = TlvFilesRecord*;
