// Engine utilities: text renderings, codec descriptions, metadata, fractions, file and path
// helpers, local time, and the picture converter between decoded pictures and BGR bitmaps.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <random>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <vector>

#include "media/ffapi.h"
#include "media/ffwrap.h"
#include "media/utils.h"
#include "tests/support/test_support.h"

namespace {

class Utils : public ::testing::Test {
protected:
  static void SetUpTestSuite() { testsupport::LoadEngineLibs(); }
};

TEST_F(Utils, FormatDuration) {
  const struct {
    int64_t us;
    const char* text;
  } cases[] = {
      {3723004000LL, "01:02:03.004"}, {100LL * 3600 * 1000000, "100:00:00.000"},
      {AV_NOPTS_VALUE, "N/A"},        {0, "00:00:00.000"},
      {999, "00:00:00.000"},          {59999999, "00:00:59.999"},
      {-1500000, "-00:00:01.500"},    {INT64_MAX, "2562047788:00:54.775"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDuration(c.us), c.text) << c.us;
}

TEST_F(Utils, FormatByteSize) {
  const struct {
    int64_t size;
    const char* text;
  } cases[] = {
      {0, "0 Byte"},           {-1, "-1 Byte"},           {1024, "1024 Byte"},  {1025, "1.00 KB"},
      {1536, "1.50 KB"},       {1048576, "1024.00 KB"},   {1048577, "1.00 MB"}, {1073741824, "1024.00 MB"},
      {1073741825, "1.00 GB"}, {5LL << 40, "5120.00 GB"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatByteSize(c.size), c.text) << c.size;
}

TEST_F(Utils, FormatByteSizeUsesTheLocaleDecimalSeparator) {
  ::setenv("LOCPATH", ORVANE_TEST_LOCALES, 1);
  const char* set = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  std::string kb = FormatByteSize(1536), mb = FormatByteSize(3 * 1048576 + 524288);
  std::setlocale(LC_NUMERIC, "C");
  ::unsetenv("LOCPATH");
  if (!set) GTEST_SKIP() << "the de_DE test locale could not be compiled";
  EXPECT_EQ(kb, "1,50 KB");
  EXPECT_EQ(mb, "3,50 MB");
}

TEST_F(Utils, FormatAVError) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {AVERROR(ENOENT), "No such file or directory"},
      {AVERROR(EIO), "I/O error"},
      {AVERROR(ENOMEM), "Not enough memory"},
      {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
      {AVERROR(EINVAL), "Invalid data found when processing input"},
      {AVERROR_EOF, "End of file"},
      {AVERROR(EDOM), "Number syntax expected in filename"},
      {AVERROR_DEMUXER_NOT_FOUND, "Unknown format"},
      {AVERROR_PROTOCOL_NOT_FOUND, "Unsupported network protocol"},
      {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg"},
      {-1163346256, "Not yet implemented in FFmpeg"},
      // Other system error numbers: the system's text.
      {AVERROR(EPIPE), "Broken pipe"},
      {AVERROR(EISDIR), "Is a directory"},
      {AVERROR(EROFS), "Read-only file system"},
      {AVERROR(ENOSPC), "No space left on device"},
      {AVERROR(EFBIG), "File too large"},
      {AVERROR(EACCES), "Permission denied"},
      {AVERROR(EMFILE), "Too many open files"},
      // Neither a known system error nor a library code: the number.
      {-4000, "Error number -4000 occurred"},
      {FFERRTAG('X', 'Y', 'Z', 'W'), "Error number -1465538904 occurred"},
      {0, "Error number 0 occurred"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatAVError("in.avi", c.code), std::string("in.avi: ") + c.text) << c.code;
}

TEST_F(Utils, MediaTypeName) {
  const char* names[] = {"Unknown", "Video", "Audio", "Data", "Subtitle", "Attachment", "Unknown"};
  for (int type = -1; type <= 5; ++type) EXPECT_EQ(MediaTypeName(type), names[type + 1]) << type;
  EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_SUBTITLE), "Subtitle");
}

TEST_F(Utils, CodecDescriptionOfRealStreams) {
  ffw::InputContext in;
  {
    AVFormatContext* raw = nullptr;
    ASSERT_EQ(ff::avformat_open_input(&raw, testsupport::MediaPath("clip.avi").c_str(), nullptr, nullptr), 0);
    in.reset(raw);
  }
  ASSERT_GE(in->nb_streams, 2u);
  const AVCodecParameters* video = in->streams[0]->codecpar;
  ASSERT_EQ(video->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(CodecDescription(video, false), "mpeg4(MPEG-4 part 2)");
  EXPECT_EQ(CodecDescription(video, true), "mpeg4(MPEG-4 part 2)");
  const AVCodecParameters* audio = in->streams[1]->codecpar;
  EXPECT_EQ(CodecDescription(audio, true), "libmp3lame(libmp3lame MP3 (MPEG audio layer 3))");
}

TEST_F(Utils, CodecDescriptionWithoutCodec) {
  ffw::CodecContext ctx(ff::avcodec_alloc_context3(nullptr));
  ASSERT_TRUE(ctx);
  const struct {
    AVCodecID id;
    uint32_t tag;
    bool encoder;
    const char* text;
  } cases[] = {
      // Known to the libraries but without an encoder: its registered name.
      {AV_CODEC_ID_VP6, 0, true, "vp6"},
      {AV_CODEC_ID_NONE, MKTAG('X', 'V', 'I', 'D'), false, "XVID / 0x44495658"},
      {AV_CODEC_ID_NONE, MKTAG(' ', 'A', 'B', '~'), false, " AB~ / 0x7E424120"},
      {AV_CODEC_ID_NONE, MKTAG('X', 'V', 'I', 0x7F), false, "0x7f495658"},
      {AV_CODEC_ID_NONE, MKTAG(1, 2, 3, 4), false, "0x4030201"},
      {AV_CODEC_ID_NONE, 0, true, "0x0000"},
  };
  for (const auto& c : cases) {
    ctx->codec_id = c.id;
    ctx->codec_tag = c.tag;
    EXPECT_EQ(CodecDescription(ctx.get(), c.encoder), c.text) << c.text;
  }
}

TEST_F(Utils, MetadataValue) {
  ffw::InputContext in;
  {
    AVFormatContext* raw = nullptr;
    ASSERT_EQ(ff::avformat_open_input(&raw, testsupport::MediaPath("ntsc_16x9.mkv").c_str(), nullptr, nullptr), 0);
    in.reset(raw);
  }
  EXPECT_EQ(MetadataValue(in->metadata, "title", "-"), "Probe Title");
  EXPECT_EQ(MetadataValue(in->metadata, "ARTIST", "-"), "Probe Artist");
  EXPECT_EQ(MetadataValue(in->metadata, "album", "none"), "none");
  EXPECT_EQ(MetadataValue(in->streams[0]->metadata, "language", ""), "fre");
  EXPECT_EQ(MetadataValue(nullptr, "title", "dflt"), "dflt");
}

TEST_F(Utils, DoubleToRational) {
  const struct {
    double x;
    int max;
    int num, den;
  } cases[] = {
      {16.0 / 9.0, 255, 16, 9},
      {4.0 / 3.0, 255, 4, 3},
      {1.0 / 3.0, 255, 1, 3},
      {0.5, 255, 1, 2},
      {1.0, 255, 1, 1},
      {0.0, 255, 0, 1},
      {-0.75, 255, -3, 4},
      {2.35, 255, 47, 20},
      {1.7777, 255, 16, 9},  // nearest fraction within the limit
      {30000.0 / 1001.0, 100000, 30000, 1001},
      {1000.0, 255, 255, 1},  // too large for the limit: the nearest that fits
      {1e10, 255, 1, 0},
      {-1e10, 255, -1, 0},
      {NAN, 255, 0, 0},
  };
  for (const auto& c : cases) {
    AVRational r = DoubleToRational(c.x, c.max);
    EXPECT_EQ(r.num, c.num) << c.x;
    EXPECT_EQ(r.den, c.den) << c.x;
  }
}

TEST_F(Utils, ReadWholeFile) {
  testsupport::TempDir dir;
  const std::string bytes("first\0second\nthird", 19);
  std::ofstream(dir.file("data.bin"), std::ios::binary) << bytes;
  std::ofstream(dir.file("empty.bin"), std::ios::binary).flush();

  std::string content = "stale";
  ASSERT_EQ(ReadWholeFile(dir.file("data.bin"), content), 0);
  EXPECT_EQ(content, bytes);
  EXPECT_EQ(content.c_str()[content.size()], '\0');

  content = "stale";
  EXPECT_EQ(ReadWholeFile(dir.file("empty.bin"), content), 0);
  EXPECT_EQ(content, "");

  for (const std::string& bad : {dir.file("missing.bin"), dir.path().string(), std::string()}) {
    content = "stale";
    EXPECT_EQ(ReadWholeFile(bad, content), -1) << bad;
    EXPECT_EQ(content, "") << bad;
  }
}

TEST_F(Utils, PathParts) {
  const struct {
    const char* path;
    const char* dir;
    const char* name;
  } cases[] = {
      {"/a/b/c.mp4", "/a/b/", "c.mp4"},
      {"c.mp4", "", "c.mp4"},
      {"/a/b/", "/a/b/", ""},
      {"/", "/", ""},
      {"", "", ""},
      {"/x.y/z", "/x.y/", "z"},
      {"http://host/v.ts", "http://host/", "v.ts"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExtractFileDir(c.path), c.dir) << c.path;
    EXPECT_EQ(ExtractFileName(c.path), c.name) << c.path;
    EXPECT_EQ(ExtractFileDir(c.path) + ExtractFileName(c.path), c.path);
  }
  const struct {
    const char* in;
    const char* out;
  } slash[] = {{"/a", "/a/"}, {"/a/", "/a/"}, {"/", "/"}, {"", ""}, {"rel", "rel/"}};
  for (const auto& c : slash) EXPECT_EQ(IncludeTrailingSlash(c.in), c.out) << c.in;
}

TEST_F(Utils, FileExistsAndSize) {
  testsupport::TempDir dir;
  const std::string odd = dir.file("n\xff\xfe name.bin");  // not UTF-8, with a blank
  std::ofstream(dir.file("f.bin"), std::ios::binary) << std::string(1234, 'x');
  std::ofstream(odd, std::ios::binary) << "abc";
  std::ofstream(dir.file("empty"), std::ios::binary).flush();
  std::filesystem::create_directory(dir.file("sub"));

  const struct {
    std::string name;
    bool exists;
    int64_t size;
  } cases[] = {
      {dir.file("f.bin"), true, 1234}, {odd, true, 3},  {dir.file("empty"), true, 0}, {dir.file("sub"), false, -1},
      {dir.file("none"), false, -1},   {"", false, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileExists(c.name), c.exists) << c.name;
    EXPECT_EQ(FileSize(c.name), c.size) << c.name;
  }
}

TEST_F(Utils, SplitAtSeparator) {
  const struct {
    const char* text;
    const char* sep;
    bool cut;
    const char* part;
    const char* rest;
  } cases[] = {
      {"a=b=c", "=", false, "a", "a=b=c"},  {"a=b=c", "=", true, "a", "b=c"}, {"abc", "=", false, "abc", "abc"},
      {"abc", "=", true, "abc", ""},        {"=abc", "=", true, "", "abc"},   {"abc=", "=", true, "abc", ""},
      {"k::v::w", "::", true, "k", "v::w"}, {"abc", "", true, "abc", ""},     {"", "=", true, "", ""},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(SplitAtSeparator(text, c.sep, c.cut), c.part) << c.text << " / " << c.sep;
    EXPECT_EQ(text, c.rest) << c.text << " / " << c.sep;
  }
}

TEST_F(Utils, UnixTimeToLocal) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  const struct {
    const char* tz;
    int64_t seconds;
    double days;
  } cases[] = {
      {"UTC0", 0, 25569.0},
      {"UTC0", 2 * 86400 + 43200, 25571.5},
      {"UTC0", -86400, 25568.0},
      {"XYZ-2", 0, 25569.0 + 2.0 / 24.0},
      {"XYZ+5", 0, 25569.0 - 5.0 / 24.0},
      // Central European time: one hour ahead in winter, two in summer.
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1609459200, 44197.0 + 1.0 / 24.0},  // 2021-01-01 00:00 UTC
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1625097600, 44378.0 + 2.0 / 24.0},  // 2021-07-01 00:00 UTC
  };
  for (const auto& c : cases) {
    ::setenv("TZ", c.tz, 1);
    ::tzset();
    EXPECT_NEAR(UnixTimeToLocal(c.seconds), c.days, 1e-9) << c.tz << " " << c.seconds;
  }
  if (old)
    ::setenv("TZ", saved.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

// ---- picture converter ----

// A planar 4:2:0 picture with smooth gradients in all three planes (chroma stays within the
// range where the colour conversion does not clip).
ffw::Frame MakeYuvFrame(int width, int height) {
  ffw::Frame f = ffw::MakeFrame();
  f->format = AV_PIX_FMT_YUV420P;
  f->width = width;
  f->height = height;
  if (ff::av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      f->data[0][y * f->linesize[0] + x] = uint8_t(50 + 120 * x / width + 20 * y / height);
  int cw = (width + 1) / 2, ch = (height + 1) / 2;
  for (int y = 0; y < ch; ++y)
    for (int x = 0; x < cw; ++x) {
      f->data[1][y * f->linesize[1] + x] = uint8_t(108 + 40 * x / cw);
      f->data[2][y * f->linesize[2] + x] = uint8_t(148 - 40 * y / ch);
    }
  return f;
}

ffw::Frame MakeEmptyYuvFrame(int width, int height) {
  ffw::Frame f = ffw::MakeFrame();
  f->format = AV_PIX_FMT_YUV420P;
  f->width = width;
  f->height = height;
  if (ff::av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
  return f;
}

// BT.601 limited range, as the scaler converts by default.
void YuvToBgr(int Y, int U, int V, double bgr[3]) {
  double c = 1.164 * (Y - 16), d = U - 128, e = V - 128;
  bgr[2] = c + 1.596 * e;
  bgr[1] = c - 0.392 * d - 0.813 * e;
  bgr[0] = c + 2.017 * d;
}

// Largest difference between the bitmap and the colours the picture stands for.
double MaxBitmapError(const TBitmap24& bmp, const AVFrame* f) {
  double worst = 0;
  for (int y = 0; y < bmp.Height; ++y)
    for (int x = 0; x < bmp.Width; ++x) {
      double expect[3];
      YuvToBgr(f->data[0][y * f->linesize[0] + x], f->data[1][(y / 2) * f->linesize[1] + x / 2],
               f->data[2][(y / 2) * f->linesize[2] + x / 2], expect);
      for (int k = 0; k < 3; ++k) worst = std::max(worst, std::fabs(bmp.Row(y)[x * 3 + k] - expect[k]));
    }
  return worst;
}

int MaxPlaneDifference(const AVFrame* a, const AVFrame* b, int plane, int width, int height) {
  int worst = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      worst = std::max(worst, std::abs(int(a->data[plane][y * a->linesize[plane] + x]) -
                                       int(b->data[plane][y * b->linesize[plane] + x])));
  return worst;
}

TEST_F(Utils, YuvPictureRoundTripThroughBitmap) {
  TPictureConverter conv;
  const int sizes[][2] = {{64, 48}, {33, 17}, {321, 241}, {2, 2}, {1, 1}, {64, 48}};
  for (const auto& s : sizes) {
    const int w = s[0], h = s[1];
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    ffw::Frame src = MakeYuvFrame(w, h);
    ASSERT_TRUE(src);
    ASSERT_TRUE(PictureToBitmap(conv, src.get(), AV_PIX_FMT_YUV420P, h, w));
    EXPECT_EQ(conv.Bitmap.Width, w);
    EXPECT_EQ(conv.Bitmap.Height, h);
    EXPECT_EQ(conv.Bitmap.Stride, TBitmap24::RowSize(w));
    EXPECT_LE(MaxBitmapError(conv.Bitmap, src.get()), 6.0);

    ffw::Frame back = MakeEmptyYuvFrame(w, h);
    ASSERT_TRUE(BitmapToPicture(conv, back.get(), AV_PIX_FMT_YUV420P, h, w));
    EXPECT_LE(MaxPlaneDifference(src.get(), back.get(), 0, w, h), 3);
    EXPECT_LE(MaxPlaneDifference(src.get(), back.get(), 1, (w + 1) / 2, (h + 1) / 2), 3);
    EXPECT_LE(MaxPlaneDifference(src.get(), back.get(), 2, (w + 1) / 2, (h + 1) / 2), 3);
  }
}

TEST_F(Utils, ConverterKeepsItsBuffersForFramesOfOneSize) {
  TPictureConverter conv;
  ffw::Frame a = MakeYuvFrame(96, 64), back = MakeEmptyYuvFrame(96, 64);
  ASSERT_TRUE(PictureToBitmap(conv, a.get(), AV_PIX_FMT_YUV420P, 64, 96));
  ASSERT_TRUE(BitmapToPicture(conv, back.get(), AV_PIX_FMT_YUV420P, 64, 96));
  const uint8_t* buffer = conv.Buffer;
  const uint8_t* pixels = conv.Bitmap.Pixels.data();
  SwsContext* to = conv.ToBitmapContext;
  SwsContext* from = conv.FromBitmapContext;
  ASSERT_NE(to, nullptr);
  // 4:2:0 pictures of even size are written back by the SIMD converter, without a context.
  EXPECT_EQ(from, nullptr);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(PictureToBitmap(conv, a.get(), AV_PIX_FMT_YUV420P, 64, 96));
    ASSERT_TRUE(BitmapToPicture(conv, back.get(), AV_PIX_FMT_YUV420P, 64, 96));
  }
  EXPECT_EQ(conv.Buffer, buffer);
  EXPECT_EQ(conv.Bitmap.Pixels.data(), pixels);
  EXPECT_EQ(conv.ToBitmapContext, to);
  EXPECT_EQ(conv.FromBitmapContext, from);

  ResetConverter(conv);
  EXPECT_EQ(conv.Buffer, nullptr);
  EXPECT_EQ(conv.ToBitmapContext, nullptr);
  EXPECT_EQ(conv.FromBitmapContext, nullptr);
  EXPECT_TRUE(conv.Bitmap.Empty());
  ASSERT_TRUE(PictureToBitmap(conv, a.get(), AV_PIX_FMT_YUV420P, 64, 96));
  EXPECT_LE(MaxBitmapError(conv.Bitmap, a.get()), 6.0);
}

// The SIMD writer of 4:2:0 pictures (even sizes) against the scaler's own conversion of the
// same bitmap: the same matrix, every sample within one code value, on random colours that
// are constant over each 2x2 block (every value the matrix can meet) and on the gradient.
// Luma also on per-pixel noise; there the chroma differs by design: the writer averages each
// 2x2 block where the scaler takes its top-left pixel.
TEST_F(Utils, FastYuv420WriterMatchesTheScaler) {
  std::mt19937 random(12);
  enum { kGradient, kBlocks, kNoise };
  for (const auto& size : {std::pair{64, 48}, std::pair{322, 242}, std::pair{1280, 720}}) {
    const int w = size.first, h = size.second;
    for (int content : {kGradient, kBlocks, kNoise}) {
      SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " content " + std::to_string(content));
      TPictureConverter conv;
      ffw::Frame src = MakeYuvFrame(w, h);
      ASSERT_TRUE(PictureToBitmap(conv, src.get(), AV_PIX_FMT_YUV420P, h, w));
      TBitmap24& b = conv.Bitmap;
      for (int y = 0; y < h && content != kGradient; ++y)
        for (int x = 0; x < w; ++x)
          for (int k = 0; k < 3; ++k) {
            const bool blockStart = (y % 2 == 0 && x % 2 == 0) || content == kNoise;
            b.Row(y)[x * 3 + k] = blockStart ? uint8_t(random())
                                  : x % 2    ? b.Row(y)[(x - 1) * 3 + k]
                                             : b.Row(y - 1)[x * 3 + k];
          }
      ffw::Frame fast = MakeEmptyYuvFrame(w, h), reference = MakeEmptyYuvFrame(w, h);
      ASSERT_TRUE(BitmapToPicture(conv, fast.get(), AV_PIX_FMT_YUV420P, h, w));
      SwsContext* sws = ff::sws_getContext(w, h, AV_PIX_FMT_BGR24, w, h, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr,
                                           nullptr, nullptr);
      ASSERT_NE(sws, nullptr);
      const uint8_t* in[4] = {b.Pixels.data(), nullptr, nullptr, nullptr};
      const int inLinesize[4] = {b.Stride, 0, 0, 0};
      ff::sws_scale(sws, in, inLinesize, 0, h, reference->data, reference->linesize);
      ff::sws_freeContext(sws);
      EXPECT_LE(MaxPlaneDifference(fast.get(), reference.get(), 0, w, h), 1);
      if (content == kNoise) continue;
      EXPECT_LE(MaxPlaneDifference(fast.get(), reference.get(), 1, w / 2, h / 2), 1);
      EXPECT_LE(MaxPlaneDifference(fast.get(), reference.get(), 2, w / 2, h / 2), 1);
    }
  }
}

TEST_F(Utils, BgrPictures) {
  // Even size with the bitmap's row size: copied as is; odd size: through the scaler. Both
  // keep every byte, both ways.
  const struct {
    int w, h;
    bool direct;
  } cases[] = {{64, 48, true}, {33, 17, false}, {34, 17, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    const int stride = TBitmap24::RowSize(c.w);
    std::vector<uint8_t> pic(size_t(stride) * c.h + 64);
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w * 3; ++x) pic[size_t(y) * stride + x] = uint8_t(x * 7 + y * 13);
    const uint8_t* data[4] = {pic.data(), nullptr, nullptr, nullptr};
    int linesize[4] = {stride, 0, 0, 0};
    TPictureConverter conv;
    ASSERT_TRUE(PictureToBitmap(conv, data, linesize, AV_PIX_FMT_BGR24, c.h, c.w));
    EXPECT_EQ(conv.ToBitmapContext == nullptr, c.direct);
    for (int y = 0; y < c.h; ++y)
      ASSERT_EQ(std::memcmp(conv.Bitmap.Row(y), &pic[size_t(y) * stride], size_t(c.w) * 3), 0) << "row " << y;

    // A hook draws on the bitmap; the picture receives the drawing.
    for (uint8_t& b : conv.Bitmap.Pixels) b = uint8_t(255 - b);
    std::vector<uint8_t> out(pic.size(), 0);
    uint8_t* outData[4] = {out.data(), nullptr, nullptr, nullptr};
    ASSERT_TRUE(BitmapToPicture(conv, outData, linesize, AV_PIX_FMT_BGR24, c.h, c.w));
    EXPECT_EQ(conv.FromBitmapContext == nullptr, c.direct);
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w * 3; ++x)
        ASSERT_EQ(out[size_t(y) * stride + x], uint8_t(255 - pic[size_t(y) * stride + x])) << x << "," << y;
  }
}

TEST_F(Utils, ConverterRefusesBadInput) {
  TPictureConverter conv;
  ffw::Frame f = MakeYuvFrame(16, 16);
  EXPECT_FALSE(PictureToBitmap(conv, static_cast<const AVFrame*>(nullptr), AV_PIX_FMT_YUV420P, 16, 16));
  EXPECT_FALSE(PictureToBitmap(conv, f.get(), AV_PIX_FMT_YUV420P, 0, 16));
  EXPECT_FALSE(PictureToBitmap(conv, f.get(), AV_PIX_FMT_YUV420P, 16, -4));
  EXPECT_FALSE(PictureToBitmap(conv, f.get(), AV_PIX_FMT_YUV420P, 100000, 100000));
  // Formats the scaler cannot read (the scaler itself would abort the process on these).
  for (AVPixelFormat bad : {AV_PIX_FMT_NONE, AV_PIX_FMT_VAAPI, AV_PIX_FMT_NB})
    EXPECT_FALSE(PictureToBitmap(conv, f.get(), bad, 16, 16)) << int(bad);
  EXPECT_EQ(conv.ToBitmapContext, nullptr);

  // Writing back needs a bitmap of the picture's size.
  EXPECT_FALSE(BitmapToPicture(conv, f.get(), AV_PIX_FMT_YUV420P, 16, 16));
  ASSERT_TRUE(PictureToBitmap(conv, f.get(), AV_PIX_FMT_YUV420P, 16, 16));
  ffw::Frame bigger = MakeEmptyYuvFrame(32, 32);
  EXPECT_FALSE(BitmapToPicture(conv, bigger.get(), AV_PIX_FMT_YUV420P, 32, 32));
  EXPECT_FALSE(BitmapToPicture(conv, static_cast<AVFrame*>(nullptr), AV_PIX_FMT_YUV420P, 16, 16));
  for (AVPixelFormat bad : {AV_PIX_FMT_NONE, AV_PIX_FMT_VAAPI, AV_PIX_FMT_NB})
    EXPECT_FALSE(BitmapToPicture(conv, f.get(), bad, 16, 16)) << int(bad);
  // A failed call leaves the converter usable.
  EXPECT_TRUE(BitmapToPicture(conv, f.get(), AV_PIX_FMT_YUV420P, 16, 16));
}

}  // namespace

// The display matrix read the way the player shows the picture: the matrix of a stream shown
// turned by a clockwise angle has cos and sin in its first row (16.16 fixed point); a mirror
// image flips the sign of one column. The turned clip of the test media checks the direction
// against the ffmpeg command's own picture (profiles engine test).
TEST_F(Utils, DisplayOrientation) {
  constexpr int32_t one = 1 << 16;
  constexpr int32_t w = 1 << 30;
  struct Row {
    const char* name;
    int32_t a, b, c, d;  // the 2x2 part: matrix[0], [1], [3], [4]
    int rotation;
    bool mirrored;
    const char* filters;
  } rows[] = {
      {"upright", one, 0, 0, one, 0, false, ""},
      {"quarter clockwise", 0, one, -one, 0, 90, false, "transpose=clock"},
      {"half", -one, 0, 0, -one, 180, false, "hflip,vflip"},
      {"quarter counter-clockwise", 0, -one, one, 0, 270, false, "transpose=cclock"},
      {"mirrored left-right", -one, 0, 0, one, 180, true, "hflip"},
      {"mirrored upside down", one, 0, 0, -one, 0, true, "vflip"},
      {"quarter clockwise and mirrored", 0, one, one, 0, 90, true, "transpose=cclock_flip"},
      {"quarter counter-clockwise and mirrored", 0, -one, -one, 0, 270, true, "transpose=clock_flip"},
      {"oblique angles stay as coded", 46341, 46341, -46341, 46341, 0, false, ""},
      {"a degenerate matrix", 0, 0, 0, 0, 0, false, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const int32_t matrix[9] = {r.a, r.b, 0, r.c, r.d, 0, 0, 0, w};
    const TDisplayOrientation o = DisplayOrientation(matrix);
    EXPECT_EQ(o.Rotation, r.rotation);
    EXPECT_EQ(o.Mirrored, r.mirrored);
    EXPECT_EQ(o.Filters, r.filters);
    EXPECT_EQ(o.SwapsSides(), r.rotation == 90 || r.rotation == 270);
  }
  EXPECT_EQ(DisplayOrientation(nullptr).Filters, "");
}
