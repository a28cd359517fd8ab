#include "media/utils.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

#include <libyuv/convert.h>
#include <libyuv/cpu_id.h>

#include "media/errors.h"

std::string FormatAVError(const std::string& name, int code) {
  const char* text = nullptr;
  switch (code) {
    case AVERROR(ENOENT):
      text = "No such file or directory";
      break;
    case AVERROR(EIO):
      text = "I/O error";
      break;
    case AVERROR(ENOMEM):
      text = "Not enough memory";
      break;
    case AVERROR_INVALIDDATA:
    case AVERROR(EINVAL):
      text = "Invalid data found when processing input";
      break;
    case AVERROR_EOF:
      text = "End of file";
      break;
    case AVERROR(EDOM):
      text = "Number syntax expected in filename";
      break;
    case AVERROR_DEMUXER_NOT_FOUND:
      text = "Unknown format";
      break;
    case AVERROR_PROTOCOL_NOT_FOUND:
      text = "Unsupported network protocol";
      break;
    case AVERROR_PATCHWELCOME:
      text = "Not yet implemented in FFmpeg";
      break;
    default:
      // Codes made from a system error number carry the system's own text ("Is a directory",
      // "No space left on device"); the library's other codes keep the plain number.
      if (code < 0 && code > -4096) text = strerrordesc_np(-code);
      if (!text) return name + ": " + StrFormat("Error number %d occurred", code);
  }
  return name + ": " + text;
}

std::string MediaTypeName(int type) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO:
      return "Video";
    case AVMEDIA_TYPE_AUDIO:
      return "Audio";
    case AVMEDIA_TYPE_DATA:
      return "Data";
    case AVMEDIA_TYPE_SUBTITLE:
      return "Subtitle";
    case AVMEDIA_TYPE_ATTACHMENT:
      return "Attachment";
    default:
      return "Unknown";
  }
}

namespace {

std::string Trim(const char* s) { return s ? TrimText(s) : std::string(); }

std::string DescribeCodec(AVCodecID id, uint32_t tag, bool encoder) {
  const AVCodec* codec = encoder ? ff::avcodec_find_encoder(id) : ff::avcodec_find_decoder(id);
  if (codec) {
    std::string longName = Trim(codec->long_name);
    return longName.empty() ? std::string(codec->name) : StrFormat("%s(%s)", codec->name, longName.c_str());
  }
  // A codec the libraries know by name but cannot encode or decode in this build.
  if (id != AV_CODEC_ID_NONE) {
    const AVCodecDescriptor* desc = ff::avcodec_descriptor_get(id);
    if (desc && desc->name) {
      std::string name = Trim(desc->name);
      if (!name.empty()) return name;
    }
  }
  unsigned char c[4];
  bool printable = true;
  for (int i = 0; i < 4; ++i) {
    c[i] = static_cast<unsigned char>((tag >> (8 * i)) & 0xFF);
    if (c[i] < 32 || c[i] > 126) printable = false;
  }
  if (printable) return StrFormat("%c%c%c%c / 0x%04X", c[0], c[1], c[2], c[3], tag);
  return StrFormat("0x%04x", tag);
}

}  // namespace

std::string CodecDescription(const AVCodecParameters* par, bool encoder) {
  if (!par) return DescribeCodec(AV_CODEC_ID_NONE, 0, encoder);
  return DescribeCodec(par->codec_id, par->codec_tag, encoder);
}

std::string CodecDescription(const AVCodecContext* ctx, bool encoder) {
  if (!ctx) return DescribeCodec(AV_CODEC_ID_NONE, 0, encoder);
  return DescribeCodec(ctx->codec_id, ctx->codec_tag, encoder);
}

std::string MetadataValue(const AVDictionary* dict, const std::string& key, const std::string& def) {
  if (!dict) return def;
  const AVDictionaryEntry* entry = ff::av_dict_get(dict, key.c_str(), nullptr, 0);
  return entry && entry->value ? std::string(entry->value) : def;
}

TDisplayOrientation DisplayOrientation(const int32_t* matrix) {
  TDisplayOrientation o;
  if (!matrix) return o;
  // The angle of the matrix's first row, each column normalised: the clockwise turn that
  // shows the picture upright (a matrix "rotated 90 degrees counter-clockwise" is turned
  // 270 degrees clockwise).
  auto fixed = [&](int i) { return double(matrix[i]) / 65536.0; };
  const double scaleX = std::hypot(fixed(0), fixed(3)), scaleY = std::hypot(fixed(1), fixed(4));
  if (scaleX == 0.0 || scaleY == 0.0) return o;
  const double angle = std::atan2(fixed(1) / scaleY, fixed(0) / scaleX) * 180.0 / M_PI;
  // Clockwise degrees in [0, 360).
  double theta = std::round(angle);
  theta -= 360.0 * std::floor(theta / 360.0 + 0.9 / 360.0);
  const bool mirrored = double(matrix[0]) * matrix[4] - double(matrix[1]) * matrix[3] < 0;
  if (std::fabs(theta - 90) < 1.0) {
    o.Rotation = 90;
    o.Filters = matrix[3] > 0 ? "transpose=cclock_flip" : "transpose=clock";
  } else if (std::fabs(theta - 180) < 1.0) {
    o.Rotation = 180;
    if (matrix[0] < 0) o.Filters = "hflip";
    if (matrix[4] < 0) o.Filters += o.Filters.empty() ? "vflip" : ",vflip";
  } else if (std::fabs(theta - 270) < 1.0) {
    o.Rotation = 270;
    o.Filters = matrix[3] < 0 ? "transpose=clock_flip" : "transpose=cclock";
  } else if (std::fabs(theta) < 1.0) {
    if (matrix[4] < 0) o.Filters = "vflip";
  } else {
    return o;  // an oblique angle: shown as coded
  }
  o.Mirrored = mirrored;
  return o;
}

const int32_t* StreamDisplayMatrix(const AVStream* stream) {
  if (!stream) return nullptr;
  for (int i = 0; i < stream->nb_side_data; ++i) {
    const AVPacketSideData& sd = stream->side_data[i];
    if (sd.type == AV_PKT_DATA_DISPLAYMATRIX && sd.size >= int(9 * sizeof(int32_t)))
      return reinterpret_cast<const int32_t*>(sd.data);
  }
  return nullptr;
}

AVRational DoubleToRational(double x, int max) {
  if (std::isnan(x)) return AVRational{0, 0};
  // Beyond the 32-bit range no fraction fits: report an infinite ratio of the right sign
  // (this also keeps the shift below defined).
  if (std::fabs(x) > double(INT_MAX) + 3.0) return AVRational{x < 0 ? -1 : 1, 0};
  int e = static_cast<int>(std::lround(std::log2(std::fabs(x) + 1e-20)));
  if (e < 0) e = 0;
  int64_t den = int64_t(1) << (61 - e);
  AVRational r{0, 1};
  ff::av_reduce(&r.num, &r.den, static_cast<int64_t>(std::floor(x * double(den) + 0.5)), den, max);
  return r;
}

int ReadWholeFile(const std::string& name, std::string& content) {
  content.clear();
  // A directory opens for reading on Linux but has no contents to read.
  if (!FileExists(name)) return -1;
  FILE* f = ff::fopen(name.c_str(), "rb");
  if (!f) return -1;
  long size = -1;
  if (ff::fseek(f, 0, SEEK_END) == 0) size = ff::ftell(f);
  if (size < 0 || ff::fseek(f, 0, SEEK_SET) != 0) {
    ff::fclose(f);
    return -1;
  }
  try {
    content.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    ff::fclose(f);
    return AVERROR(ENOMEM);
  } catch (const std::length_error&) {
    ff::fclose(f);
    return AVERROR(ENOMEM);
  }
  size_t got = size > 0 ? ff::fread(content.data(), 1, static_cast<size_t>(size), f) : 0;
  ff::fclose(f);
  if (got != static_cast<size_t>(size)) {
    content.clear();
    return -1;
  }
  return 0;
}

// ---- picture converter ----

namespace {

constexpr AVPixelFormat kBitmapFormat = AV_PIX_FMT_BGR24;
constexpr int kScaleFlags = SWS_BICUBIC;

// The same limit the libraries apply to picture sizes; it also keeps the buffer arithmetic
// far from overflow.
bool SizeOk(int width, int height) {
  return width > 0 && height > 0 && (int64_t(width) + 128) * (int64_t(height) + 128) < INT_MAX / 8;
}

// Rows of the conversion buffer hold whole blocks of 16 pixels and start on 64-byte
// boundaries: the scaler's vector code converts whole blocks and would otherwise leave the
// last pixels of a tight row unconverted.
int ConversionLinesize(int width) { return FFALIGN(FFALIGN(width, 16) * 3, 64); }

bool EnsureBuffer(TPictureConverter& conv, int width, int height) {
  int linesize = ConversionLinesize(width);
  size_t needed = size_t(linesize) * size_t(height) + 64;  // tail room for vector reads
  if (needed > conv.BufferSize) {
    uint8_t* buffer = static_cast<uint8_t*>(ff::av_malloc(needed));
    if (!buffer) return false;
    ff::av_free(conv.Buffer);
    conv.Buffer = buffer;
    conv.BufferSize = needed;
  }
  conv.BufferLinesize = linesize;
  return true;
}

// Bitmap rows the scaler can write into directly: whole blocks of 16 pixels (so its vector
// code writes exactly the row) on 16-byte boundaries.
bool ScalerWritesBitmap(const TBitmap24& bitmap) {
  return bitmap.Width % 16 == 0 && bitmap.Stride == bitmap.Width * 3 && bitmap.Stride % 16 == 0;
}

// The SIMD converter from BGR24 to 4:2:0 YUV (BT.601 limited range, the scaler's own matrix;
// its results match the scaler's within one code value and it averages each 2x2 block for
// the chroma). Used for even sizes, where every chroma sample has its whole block.
bool FastBgrToYuv420(const TBitmap24& bitmap, uint8_t* const data[], const int linesize[], AVPixelFormat pixfmt) {
  if (pixfmt != AV_PIX_FMT_YUV420P || (bitmap.Width & 1) || (bitmap.Height & 1)) return false;
  static std::once_flag cpuFlags;
  std::call_once(cpuFlags, [] { libyuv::MaskCpuFlags(-1); });
  return libyuv::RGB24ToI420(bitmap.Pixels.data(), bitmap.Stride, data[0], linesize[0], data[1], linesize[1], data[2],
                             linesize[2], bitmap.Width, bitmap.Height) == 0;
}

// Packed BGR24 rows that already have the bitmap's layout are copied as they are.
bool DirectCopy(const TPictureConverter& conv, AVPixelFormat pixfmt, const int linesize[], int width, int height) {
  return pixfmt == kBitmapFormat && (width & 1) == 0 && (height & 1) == 0 && linesize[0] == conv.Bitmap.Stride;
}

}  // namespace

TPictureConverter::~TPictureConverter() { ResetConverter(*this); }

void ResetConverter(TPictureConverter& conv) {
  if (conv.ToBitmapContext) ff::sws_freeContext(conv.ToBitmapContext);
  if (conv.FromBitmapContext) ff::sws_freeContext(conv.FromBitmapContext);
  if (conv.Buffer) ff::av_free(conv.Buffer);
  conv.ToBitmapContext = nullptr;
  conv.FromBitmapContext = nullptr;
  conv.Buffer = nullptr;
  conv.BufferSize = 0;
  conv.BufferLinesize = 0;
  conv.Bitmap = TBitmap24{};
}

bool PictureToBitmap(TPictureConverter& conv, const uint8_t* const data[], const int linesize[], AVPixelFormat pixfmt,
                     int height, int width) {
  if (!data || !linesize || !data[0] || !SizeOk(width, height)) return false;
  // The scaler aborts the process on a format it does not know instead of failing.
  if (!ff::sws_isSupportedInput(pixfmt)) return false;
  conv.Bitmap.SetSize(width, height);
  const size_t rowBytes = size_t(width) * 3;
  if (DirectCopy(conv, pixfmt, linesize, width, height)) {
    std::memcpy(conv.Bitmap.Pixels.data(), data[0], size_t(conv.Bitmap.Stride) * size_t(height - 1) + rowBytes);
    return true;
  }
  conv.ToBitmapContext = ff::sws_getCachedContext(conv.ToBitmapContext, width, height, pixfmt, width, height,
                                                  kBitmapFormat, kScaleFlags, nullptr, nullptr, nullptr);
  if (!conv.ToBitmapContext) return false;
  if (ScalerWritesBitmap(conv.Bitmap)) {
    uint8_t* dst[4] = {conv.Bitmap.Pixels.data(), nullptr, nullptr, nullptr};
    int dstLinesize[4] = {conv.Bitmap.Stride, 0, 0, 0};
    return ff::sws_scale(conv.ToBitmapContext, data, linesize, 0, height, dst, dstLinesize) == height;
  }
  if (!EnsureBuffer(conv, width, height)) return false;
  uint8_t* dst[4] = {conv.Buffer, nullptr, nullptr, nullptr};
  int dstLinesize[4] = {conv.BufferLinesize, 0, 0, 0};
  if (ff::sws_scale(conv.ToBitmapContext, data, linesize, 0, height, dst, dstLinesize) != height) return false;
  for (int y = 0; y < height; ++y)
    std::memcpy(conv.Bitmap.Row(y), conv.Buffer + size_t(y) * size_t(conv.BufferLinesize), rowBytes);
  return true;
}

bool PictureToBitmap(TPictureConverter& conv, const AVFrame* frame, AVPixelFormat pixfmt, int height, int width) {
  if (!frame) return false;
  return PictureToBitmap(conv, frame->data, frame->linesize, pixfmt, height, width);
}

bool BitmapToPicture(TPictureConverter& conv, uint8_t* const data[], const int linesize[], AVPixelFormat pixfmt,
                     int height, int width) {
  if (!data || !linesize || !data[0] || !SizeOk(width, height)) return false;
  if (conv.Bitmap.Width != width || conv.Bitmap.Height != height || conv.Bitmap.Pixels.empty()) return false;
  if (!ff::sws_isSupportedOutput(pixfmt)) return false;
  const size_t rowBytes = size_t(width) * 3;
  if (DirectCopy(conv, pixfmt, linesize, width, height)) {
    std::memcpy(data[0], conv.Bitmap.Pixels.data(), size_t(conv.Bitmap.Stride) * size_t(height - 1) + rowBytes);
    return true;
  }
  if (FastBgrToYuv420(conv.Bitmap, data, linesize, pixfmt)) return true;
  if (!EnsureBuffer(conv, width, height)) return false;
  // The scaler reads from the padded buffer, never past the end of the bitmap's rows. For
  // subsampled chroma it averages pixel pairs, also the pair that the last pixel of an odd
  // row forms with the one after it: that one repeats the last pixel, so the edge keeps its
  // colour.
  for (int y = 0; y < height; ++y) {
    uint8_t* row = conv.Buffer + size_t(y) * size_t(conv.BufferLinesize);
    std::memcpy(row, conv.Bitmap.Row(y), rowBytes);
    if (size_t(conv.BufferLinesize) >= rowBytes + 3) std::memcpy(row + rowBytes, row + rowBytes - 3, 3);
  }
  conv.FromBitmapContext = ff::sws_getCachedContext(conv.FromBitmapContext, width, height, kBitmapFormat, width, height,
                                                    pixfmt, kScaleFlags, nullptr, nullptr, nullptr);
  if (!conv.FromBitmapContext) return false;
  const uint8_t* src[4] = {conv.Buffer, nullptr, nullptr, nullptr};
  int srcLinesize[4] = {conv.BufferLinesize, 0, 0, 0};
  return ff::sws_scale(conv.FromBitmapContext, src, srcLinesize, 0, height, data, linesize) == height;
}

bool BitmapToPicture(TPictureConverter& conv, AVFrame* frame, AVPixelFormat pixfmt, int height, int width) {
  if (!frame) return false;
  return BitmapToPicture(conv, frame->data, frame->linesize, pixfmt, height, width);
}
