// The picture filters and the conversion renderer.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <filesystem>
#include <mutex>
#include <random>

#include "dialogs/core/picturefilters.h"
#include "dialogs/core/renderer.h"
#include "media/errors.h"
#include "media/logger.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

// Text needs the font system of a QGuiApplication, as in the program.
class QtEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = new QGuiApplication(argc_, argv_);
  }
  void TearDown() override { delete app_; }

private:
  int argc_ = 1;
  char name_[16] = "test_app_render";
  char* argv_[2] = {name_, nullptr};
  QGuiApplication* app_ = nullptr;
};
[[maybe_unused]] auto* const gQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

TBitmap24 Filled(int w, int h, uint8_t b, uint8_t g, uint8_t r) {
  TBitmap24 bmp;
  bmp.SetSize(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      bmp.Row(y)[x * 3] = b;
      bmp.Row(y)[x * 3 + 1] = g;
      bmp.Row(y)[x * 3 + 2] = r;
    }
  return bmp;
}

TBitmap24 Noise(int w, int h, unsigned seed) {
  TBitmap24 bmp;
  bmp.SetSize(w, h);
  std::mt19937 rng(seed);
  for (auto& v : bmp.Pixels) v = uint8_t(rng());
  return bmp;
}

const uint8_t* Px(const TBitmap24& b, int x, int y) { return b.Row(y) + x * 3; }

bool SamePixels(const TBitmap24& a, const TBitmap24& b) {
  if (a.Width != b.Width || a.Height != b.Height) return false;
  for (int y = 0; y < a.Height; ++y)
    if (std::memcmp(a.Row(y), b.Row(y), size_t(a.Width) * 3) != 0) return false;
  return true;
}

void SaveBmp(const std::string& path, int w, int h, QColor color) {
  QImage img(w, h, QImage::Format_RGB888);
  img.fill(color);
  ASSERT_TRUE(img.save(QString::fromStdString(path), "BMP"));
}

constexpr int64_t kSec = 1000000;

}  // namespace

TEST(PictureFilters, NeutralValuesAndTheDocumentedMappings) {
  const TBitmap24 noise = Noise(37, 11, 1);
  TBitmap24 b = noise;
  BrightnessContrastSaturation(b, 256, 0, 256);
  EXPECT_TRUE(SamePixels(b, noise)) << "256/0/256 changes nothing";
  b = noise;
  ExposureFilter(b, 0);
  EXPECT_TRUE(SamePixels(b, noise)) << "exposure 0 changes nothing";

  // Grey levels 0..255 through brightness 255 (the controls' neutral value).
  TBitmap24 grey;
  grey.SetSize(256, 1);
  for (int j = 0; j < 256; ++j) grey.Row(0)[j * 3] = grey.Row(0)[j * 3 + 1] = grey.Row(0)[j * 3 + 2] = uint8_t(j);
  TBitmap24 g = grey;
  BrightnessContrastSaturation(g, 255, 0, 255);
  for (int j = 0; j < 256; ++j) {
    const int expected = j >= 2 ? j - 1 : j;
    ASSERT_EQ(Px(g, j, 0)[0], expected) << j;
    ASSERT_EQ(Px(g, j, 0)[2], expected) << j;
  }

  // Exposure -255 darkens 128 to 0 and keeps 255.
  g = grey;
  ExposureFilter(g, -255);
  EXPECT_EQ(Px(g, 128, 0)[1], 0);
  EXPECT_EQ(Px(g, 255, 0)[1], 255);
  EXPECT_EQ(Px(g, 0, 0)[1], 0);
  g = grey;
  ExposureFilter(g, 512);
  EXPECT_GT(Px(g, 64, 0)[1], 64) << "positive exposure brightens";

  // Contrast 100 is treated as 99.
  TBitmap24 c100 = noise, c99 = noise;
  BrightnessContrastSaturation(c100, 256, 100, 256);
  BrightnessContrastSaturation(c99, 256, 99, 256);
  EXPECT_TRUE(SamePixels(c100, c99));
  EXPECT_FALSE(SamePixels(c99, noise));

  // Saturation 0 makes every pixel grey.
  b = noise;
  BrightnessContrastSaturation(b, 256, 0, 0);
  for (int x = 0; x < b.Width; ++x) {
    EXPECT_EQ(Px(b, x, 3)[0], Px(b, x, 3)[1]);
    EXPECT_EQ(Px(b, x, 3)[1], Px(b, x, 3)[2]);
  }
}

TEST(Renderer, BlendRuleAndClipping) {
  const TBitmap24 white = Filled(4, 4, 255, 255, 255);
  struct Row {
    int x, y, opacity;
    int changedX, changedY;  // a pixel expected to change (or -1)
    int keptX, keptY;        // a pixel expected to stay black
    int value;               // the changed pixel's value
  };
  for (const Row& r : {Row{2, 2, 128, 2, 2, 1, 1, 127}, Row{2, 2, 255, 5, 5, 6, 6, 254}, Row{-2, -3, 255, 1, 0, 2, 1, 254},
                       Row{8, 6, 255, 9, 7, 7, 5, 254}}) {
    TBitmap24 frame = Filled(10, 8, 0, 0, 0);
    BlendBitmap(frame, white, r.x, r.y, r.opacity);
    EXPECT_EQ(Px(frame, r.changedX, r.changedY)[0], r.value) << r.x << "," << r.y;
    EXPECT_EQ(Px(frame, r.keptX, r.keptY)[0], 0) << r.x << "," << r.y;
  }
  const TBitmap24 noise = Noise(10, 8, 2);
  for (auto [x, y, a] : {std::tuple{2, 2, 0}, {-4, 0, 255}, {10, 0, 255}, {0, -4, 255}, {0, 8, 255}}) {
    TBitmap24 frame = noise;
    BlendBitmap(frame, white, x, y, a);
    EXPECT_TRUE(SamePixels(frame, noise)) << x << "," << y << " opacity " << a;
  }
}

TEST(Renderer, AdjustmentsRunOnlyWhenAsked) {
  TConversionRenderer renderer;
  const TBitmap24 noise = Noise(64, 48, 3);
  TlvFilesRecord job;  // 255 / 0 / 255 / 0
  TBitmap24 frame = noise;
  THookInfo info;
  info.Bitmap = &frame;
  info.PTS = 0;
  renderer.RenderFrame(info, job);
  EXPECT_TRUE(SamePixels(frame, noise));

  job.Exposure = 40;  // exposure alone applies only the exposure filter
  renderer.RenderFrame(info, job);
  TBitmap24 expected = noise;
  ExposureFilter(expected, 40);
  EXPECT_TRUE(SamePixels(frame, expected));

  frame = noise;
  job.Exposure = 0;
  job.Saturation = 300;
  renderer.RenderFrame(info, job);
  expected = noise;
  BrightnessContrastSaturation(expected, 255, 0, 300);
  EXPECT_TRUE(SamePixels(frame, expected));
  EXPECT_TRUE(info.Update);
  EXPECT_FALSE(info.StopHook);
}

TEST(Renderer, PictureItemsTimeRangeOwnSizeAndCache) {
  TempDir dir;
  const std::string pic = dir.file("mark.bmp");
  SaveBmp(pic, 4, 3, QColor(255, 255, 255));
  TlvFilesRecord job;
  TWmRec item;
  item.Kind = wmkImage;
  item.ImageFile = pic;
  item.ImageLeft = 10;
  item.ImageTop = 5;
  item.ImageWidth = 40;  // resized in the editor: the output still uses the picture's own 4x3
  item.ImageHeight = 30;
  item.ImageOpacity = 255;
  item.StartSec = 5;
  item.EndSec = 10;
  job.WaterMarks.push_back(item);

  TConversionRenderer renderer;
  struct Row {
    int64_t pts;
    bool drawn;
  };
  for (const Row& r : {Row{5 * kSec - 1, false}, Row{5 * kSec, true}, Row{10 * kSec + 999999, true},
                       Row{11 * kSec, false}, Row{kNoPts, false}}) {
    TBitmap24 frame = Filled(64, 48, 0, 0, 0);
    THookInfo info;
    info.Bitmap = &frame;
    info.PTS = r.pts;
    renderer.RenderFrame(info, job);
    EXPECT_EQ(Px(frame, 10, 5)[0], r.drawn ? 254 : 0) << r.pts;
    EXPECT_EQ(Px(frame, 13, 7)[2], r.drawn ? 254 : 0) << r.pts;
    EXPECT_EQ(Px(frame, 14, 5)[0], 0) << "right of the picture's own width";
    EXPECT_EQ(Px(frame, 10, 8)[0], 0) << "below the picture's own height";
  }

  // A trimmed conversion: its pictures count from the trim start, the item's times from the
  // start of the file.
  job.TrimStart = 4 * kSec;
  for (const Row& r : {Row{1 * kSec - 1, false}, Row{1 * kSec, true}, Row{6 * kSec + 999999, true},
                       Row{7 * kSec, false}}) {
    TBitmap24 frame = Filled(64, 48, 0, 0, 0);
    THookInfo info;
    info.Bitmap = &frame;
    info.PTS = r.pts;
    renderer.RenderFrame(info, job);
    EXPECT_EQ(Px(frame, 10, 5)[0], r.drawn ? 254 : 0) << "trimmed " << r.pts;
  }
  job.TrimStart = 0;

  // A changed file is read again; the kept copy is not used for it.
  SaveBmp(pic, 2, 2, QColor(0, 0, 255));
  fs::last_write_time(pic, fs::last_write_time(pic) + std::chrono::seconds(2));
  TBitmap24 frame = Filled(64, 48, 0, 0, 0);
  THookInfo info;
  info.Bitmap = &frame;
  info.PTS = 6 * kSec;
  renderer.RenderFrame(info, job);
  EXPECT_EQ(Px(frame, 10, 5)[0], 254);  // blue channel
  EXPECT_EQ(Px(frame, 10, 5)[2], 0);
  EXPECT_EQ(Px(frame, 12, 5)[0], 0);
}

TEST(Renderer, MissingPictureFailsTheFrameAndKeepsIt) {
  std::mutex m;
  std::vector<std::string> logged;
  GetFFLogger().SetTriggerEventInMainThread(false);
  GetFFLogger().SetOnLog([&](const void*, uint32_t, TLogLevel level, const std::string& msg) {
    std::lock_guard<std::mutex> g(m);
    if (level == llError) logged.push_back(msg);
  });
  TlvFilesRecord job;
  job.Brightness = 400;  // would change the frame if anything ran
  TWmRec text;
  text.Kind = wmkText;
  text.Text = "A";
  text.TextWidth = 30;
  text.TextHeight = 30;
  text.HasBackColor = true;
  text.EndSec = 100;
  TWmRec missing;
  missing.Kind = wmkImage;
  missing.ImageFile = "/nonexistent/mark.bmp";
  missing.EndSec = 100;
  job.WaterMarks = {text, missing};
  const TBitmap24 noise = Noise(64, 48, 4);
  TBitmap24 frame = noise;
  THookInfo info;
  info.Bitmap = &frame;
  info.PTS = 1 * kSec;
  TConversionRenderer renderer;
  EXPECT_THROW(renderer.RenderFrame(info, job), FFmpegException);
  EXPECT_TRUE(SamePixels(frame, noise));
  GetFFLogger().SetOnLog(nullptr);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find("/nonexistent/mark.bmp"), std::string::npos);

  // A file that is no picture fails the same way.
  TempDir dir;
  std::FILE* f = std::fopen(dir.file("junk.bmp").c_str(), "wb");
  std::fputs("not a picture", f);
  std::fclose(f);
  job.WaterMarks[1].ImageFile = dir.file("junk.bmp");
  EXPECT_THROW(renderer.RenderFrame(info, job), FFmpegException);
  EXPECT_TRUE(SamePixels(frame, noise));
}

TEST(Renderer, TextItemsBackgroundTransparencyOpacityAndClipping) {
  TConversionRenderer renderer;
  const TBitmap24 grey = Filled(200, 100, 100, 100, 100);
  TWmRec item;
  item.Kind = wmkText;
  item.Text = "WWWW";
  item.Font.Size = 20;
  item.Font.Bold = true;
  item.Font.Color = RgbColor(255, 0, 0);
  item.TextLeft = 20;
  item.TextTop = 10;
  item.TextWidth = 120;
  item.TextHeight = 40;
  item.TextOpacity = 255;
  item.EndSec = 10;
  TlvFilesRecord job;

  auto render = [&](const TWmRec& it) {
    job.WaterMarks = {it};
    TBitmap24 frame = grey;
    THookInfo info;
    info.Bitmap = &frame;
    info.PTS = 0;
    renderer.RenderFrame(info, job);
    return frame;
  };

  // Transparent background: glyph pixels take the font colour, every other pixel is exact.
  TBitmap24 t = render(item);
  int reddish = 0, changedOutsideBox = 0, changedInBox = 0;
  for (int y = 0; y < t.Height; ++y)
    for (int x = 0; x < t.Width; ++x) {
      const uint8_t* p = Px(t, x, y);
      const bool changed = p[0] != 100 || p[1] != 100 || p[2] != 100;
      const bool inBox = x >= 20 && x < 140 && y >= 10 && y < 50;
      if (changed && !inBox) ++changedOutsideBox;
      if (changed && inBox) ++changedInBox;
      if (p[2] > 200 && p[0] < 60) ++reddish;
    }
  EXPECT_EQ(changedOutsideBox, 0);
  EXPECT_GT(reddish, 20) << "solid glyph pixels in the font colour";
  EXPECT_LT(changedInBox, 120 * 40 / 2) << "the box itself stays see-through";

  // Opacity 0 leaves the frame as it was.
  TWmRec hidden = item;
  hidden.TextOpacity = 0;
  hidden.HasBackColor = true;
  EXPECT_TRUE(SamePixels(render(hidden), grey));

  // A background box fills its whole box (and nothing else).
  TWmRec boxed = item;
  boxed.HasBackColor = true;
  boxed.BackColor = RgbColor(0, 0, 255);
  TBitmap24 b = render(boxed);
  EXPECT_EQ(Px(b, 139, 49)[0], 254) << "bottom-right corner of the box is background";
  EXPECT_EQ(Px(b, 139, 49)[2], 0);
  EXPECT_EQ(Px(b, 140, 49)[0], 100);
  EXPECT_EQ(Px(b, 139, 50)[0], 100);

  // Half opacity of a white box over black gives 127.
  TWmRec half = boxed;
  half.BackColor = clWhite;
  half.Font.Color = clWhite;
  half.TextOpacity = 128;
  job.WaterMarks = {half};
  TBitmap24 black = Filled(200, 100, 0, 0, 0);
  THookInfo info;
  info.Bitmap = &black;
  info.PTS = 0;
  renderer.RenderFrame(info, job);
  EXPECT_EQ(Px(black, 30, 20)[1], 127);

  // Negative positions are clipped at the frame edge; a box wholly outside changes nothing.
  TWmRec clipped = boxed;
  clipped.TextLeft = -100;
  clipped.TextTop = -30;
  TBitmap24 c = render(clipped);
  EXPECT_EQ(Px(c, 0, 0)[0], 254);
  EXPECT_EQ(Px(c, 19, 9)[0], 254);
  EXPECT_EQ(Px(c, 20, 9)[0], 100);
  EXPECT_EQ(Px(c, 19, 10)[0], 100);
  TWmRec outside = boxed;
  outside.TextLeft = -200;
  EXPECT_TRUE(SamePixels(render(outside), grey));
  TWmRec top0 = boxed;
  top0.TextTop = 0;
  EXPECT_EQ(Px(render(top0), 20, 0)[0], 254);

  // Later items are drawn over earlier ones.
  TWmRec green = boxed;
  green.BackColor = RgbColor(0, 255, 0);
  green.Font.Color = RgbColor(0, 255, 0);
  job.WaterMarks = {boxed, green};
  TBitmap24 both = grey;
  info.Bitmap = &both;
  renderer.RenderFrame(info, job);
  EXPECT_EQ(Px(both, 139, 49)[1], 254);
  EXPECT_EQ(Px(both, 139, 49)[0], 0);
}
