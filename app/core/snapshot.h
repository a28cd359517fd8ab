// Snapshot files: the current picture saved as BMP and/or JPEG, in full size and in the video
// panel's size, in the snapshot folder the settings name.
//
// The files are "Snapshot_full.bmp", "Snapshot_small.bmp", "Snapshot_full.jpg" and
// "Snapshot_small.jpg". A snapshot never replaces an earlier one: when any of these names is
// already taken in the folder, the snapshot's files all carry the first free number instead
// ("Snapshot_full_2.bmp", "Snapshot_small_2.jpg", ...), so the files of one snapshot share it.
#pragma once

#include <string>
#include <vector>

#include "app/core/settings.h"
#include "media/bitmap.h"

// The size of the small snapshot: the video panel's size (the picture is stretched to it).
constexpr int kSnapSmallWidth = 370;
constexpr int kSnapSmallHeight = 240;

struct TSnapshotResult {
  std::vector<std::string> Files;  // the files written, in the order full bmp, small bmp, full jpg, small jpg
  std::string Error;               // empty on success; otherwise the text to show (nothing half-written is left)
  // Set when the stored snapshot folder could not be created: the "Warning" message to show. The
  // default folder was then created, stored as the snapshot folder and used for these files.
  std::string Warning;
};

// Writes the files the settings ask for ([settings] snapFullSize, snapSmallSize, snapBmp, snapJpg,
// jpgCmp, SnapOutPutDir). The small picture is `picture` stretched to the video panel's size.
// An empty picture writes nothing.
TSnapshotResult WriteSnapshots(const TBitmap24& picture, const TAppSettings& settings);
// The same with a small picture of the caller's own (the progress window's picture area).
TSnapshotResult WriteSnapshots(const TBitmap24& full, const TBitmap24& small, const TAppSettings& settings);

// `picture` stretched to width × height (aspect not kept, smooth scaling).
TBitmap24 StretchBitmap(const TBitmap24& picture, int width, int height);

// File contents of a 24-bit BMP and of a JPEG (quality 1..100) of `picture`.
std::vector<uint8_t> EncodeBmp24(const TBitmap24& picture);
std::vector<uint8_t> EncodeJpeg(const TBitmap24& picture, int quality);
