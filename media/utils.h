// Small routines on the codec libraries' types, shared by the engine, the probe and the
// player: text renderings of error codes, stream types and codecs; metadata look-up; double
// to fraction; display matrices; whole file reading through the loaded C runtime; and the
// picture converter between decoded pictures and 24-bit BGR bitmaps. The routines that need
// none of the libraries are in media/textutils.h (included here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "media/bitmap.h"
#include "media/ffapi.h"
#include "media/textutils.h"

static_assert(kNoTimeValue == AV_NOPTS_VALUE);

// "<name>: <text of the library error code>".
std::string FormatAVError(const std::string& name, int code);

// "Video", "Audio", "Data", "Subtitle", "Attachment" for the AVMEDIA_TYPE_* numbers, else
// "Unknown".
std::string MediaTypeName(int type);

// The codec's short name with its long name in brackets ("mpeg4(MPEG-4 part 2)"), looked
// up among the encoders or the decoders. Without such a codec: the codec's registered name,
// else the codec tag as four characters with its hexadecimal value ("XVID / 0x44495658"),
// else the hexadecimal tag alone ("0x1020304").
std::string CodecDescription(const AVCodecParameters* par, bool encoder);
std::string CodecDescription(const AVCodecContext* ctx, bool encoder);

// The value of the first entry whose key matches (case-insensitive), else `def`.
std::string MetadataValue(const AVDictionary* dict, const std::string& key, const std::string& def = "");

// The fraction nearest to x whose numerator and denominator do not exceed max. NaN gives
// 0/0, values beyond the 32-bit range give +-1/0.
AVRational DoubleToRational(double x, int max);

// How a stream's display matrix (nine 16.16 and 2.30 fixed-point numbers) turns its
// pictures for display, and the filter text that shows them upright as the player would:
// quarter turns and mirror images; other angles are left alone.
struct TDisplayOrientation {
  int32_t Rotation = 0;   // clockwise degrees of the turn: 0, 90, 180 or 270
  bool Mirrored = false;  // the shown picture is also a mirror image of the coded one
  std::string Filters;    // e.g. "transpose=clock", "hflip,vflip"; empty when nothing to do
  bool SwapsSides() const { return Rotation == 90 || Rotation == 270; }
};
TDisplayOrientation DisplayOrientation(const int32_t* matrix);
// The display matrix of a stream (its side data), null when it has none.
const int32_t* StreamDisplayMatrix(const AVStream* stream);

// Reads a whole file through the C runtime entries. 0 on success (`content` holds the
// bytes; its c_str() is zero-terminated), -1 when the file cannot be opened or read, -12
// when there is not enough memory.
int ReadWholeFile(const std::string& name, std::string& content);

// Converts decoded pictures into a 24-bit BGR bitmap and back. Owned by one user (a task or
// a player) and used by one thread at a time. The scaling contexts and the conversion buffer
// are kept between calls, so converting frames of one size allocates nothing after the first.
struct TPictureConverter {
  TPictureConverter() = default;
  ~TPictureConverter();
  TPictureConverter(const TPictureConverter&) = delete;
  TPictureConverter& operator=(const TPictureConverter&) = delete;

  TBitmap24 Bitmap;
  // Packed BGR24 rows with room for the scaler's whole-block writes; it only grows.
  uint8_t* Buffer = nullptr;
  size_t BufferSize = 0;
  int BufferLinesize = 0;
  SwsContext* ToBitmapContext = nullptr;
  SwsContext* FromBitmapContext = nullptr;
};

// Frees the bitmap, the buffer and both scaling contexts.
void ResetConverter(TPictureConverter& conv);

// Converts a picture of the given format and size into conv.Bitmap (resized to width ×
// height). A packed BGR24 picture of even size whose line size equals the bitmap's row size
// is copied directly; any other goes through a cached bicubic scaling context. False when
// the size is not positive, the picture is missing or no scaling context can be made.
bool PictureToBitmap(TPictureConverter& conv, const uint8_t* const data[], const int linesize[], AVPixelFormat pixfmt,
                     int height, int width);
bool PictureToBitmap(TPictureConverter& conv, const AVFrame* frame, AVPixelFormat pixfmt, int height, int width);

// Writes conv.Bitmap back into a picture of the same size in the given format (after a hook
// has drawn on the bitmap). False when the bitmap does not have that size, the picture is
// missing or no scaling context can be made.
bool BitmapToPicture(TPictureConverter& conv, uint8_t* const data[], const int linesize[], AVPixelFormat pixfmt,
                     int height, int width);
bool BitmapToPicture(TPictureConverter& conv, AVFrame* frame, AVPixelFormat pixfmt, int height, int width);
