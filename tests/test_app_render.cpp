// The picture filters and the conversion renderer.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <chrono>
#include <condition_variable>
#include <future>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <random>

#include "app/core/jobrecord.h"
#include "engine/engine.h"
#include "media/errors.h"
#include "media/logger.h"
#include "render/picturefilters.h"
#include "render/renderer.h"
#include "tests/support/log_capture.h"
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

// The job-wide adjustment with its tables made once equals the two filters run one after
// the other, byte for byte, in each of its forms: nothing to do, one table per byte
// (saturation 255 and 256, with and without exposure), and per pixel; values out of range
// are clamped the same way.
TEST(PictureFilters, JobAdjustmentEqualsTheFilters) {
  const struct {
    int b, c, s, e;
    bool identity;
  } cases[] = {
      {255, 0, 255, 0, true},     {300, 0, 255, 0, false},    {0, 0, 255, 0, false},      {512, 0, 256, 0, false},
      {255, 40, 255, 0, false},   {255, -100, 255, 0, false}, {255, 100, 256, 0, false},  {300, 0, 255, 200, false},
      {255, 0, 255, -255, false}, {255, 0, 255, 512, false},  {200, 30, 255, 90, false},  {255, 0, 0, 0, false},
      {255, 0, 512, 0, false},    {300, -50, 100, 0, false},  {40, 70, 400, -120, false}, {-5, 130, 900, 700, false},
      {256, 0, 256, 0, false},    {255, 0, 254, 0, false},    {255, 0, 257, 0, false},
  };
  // Padded rows (67 pixels) and rows without padding (68 pixels), each longer than one
  // 64-byte vector step with a remainder.
  for (const auto& c : cases)
    for (const TBitmap24& noise : {Noise(67, 13, 7), Noise(68, 9, 8)}) {
      SCOPED_TRACE(testing::Message() << c.b << "/" << c.c << "/" << c.s << "/" << c.e << " width " << noise.Width);
      TBitmap24 expected = noise;
      if (c.b != 255 || c.c != 0 || c.s != 255) BrightnessContrastSaturation(expected, c.b, c.c, c.s);
      if (c.e != 0) ExposureFilter(expected, c.e);
      const TPictureAdjustment adjustment(c.b, c.c, c.s, c.e);
      EXPECT_EQ(adjustment.Identity(), c.identity);
      TBitmap24 actual = noise;
      adjustment.Apply(actual);
      EXPECT_TRUE(SamePixels(actual, expected));
      // The tables are kept: a second frame gives the same result.
      actual = noise;
      adjustment.Apply(actual);
      EXPECT_TRUE(SamePixels(actual, expected));
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
  for (const Row& r : {Row{2, 2, 128, 2, 2, 1, 1, 127}, Row{2, 2, 255, 5, 5, 6, 6, 254},
                       Row{-2, -3, 255, 1, 0, 2, 1, 254}, Row{8, 6, 255, 9, 7, 7, 5, 254}}) {
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

TEST(Renderer, PictureItemsTimeRangeSizeAndCache) {
  TempDir dir;
  const std::string pic = dir.file("mark.bmp");
  SaveBmp(pic, 4, 3, QColor(255, 255, 255));
  TlvFilesRecord job;
  TWmRec item;
  item.Kind = wmkImage;
  item.ImageFile = pic;
  item.ImageLeft = 10;
  item.ImageTop = 5;
  item.ImageWidth = 0;  // no box, as the command line stores it: the picture's own 4x3
  item.ImageHeight = 0;
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
    EXPECT_EQ(TConversionRenderer::DrawsAt(job, r.pts), r.drawn) << r.pts;
    renderer.RenderFrame(info, job);
    EXPECT_EQ(Px(frame, 10, 5)[0], r.drawn ? 254 : 0) << r.pts;
    EXPECT_EQ(Px(frame, 13, 7)[2], r.drawn ? 254 : 0) << r.pts;
    EXPECT_EQ(Px(frame, 14, 5)[0], 0) << "right of the picture's own width";
    EXPECT_EQ(Px(frame, 10, 8)[0], 0) << "below the picture's own height";
  }

  // A trimmed conversion: its pictures count from the trim start, the item's times from the
  // start of the file.
  job.TrimStart = 4 * kSec;
  for (const Row& r :
       {Row{1 * kSec - 1, false}, Row{1 * kSec, true}, Row{6 * kSec + 999999, true}, Row{7 * kSec, false}}) {
    TBitmap24 frame = Filled(64, 48, 0, 0, 0);
    THookInfo info;
    info.Bitmap = &frame;
    info.PTS = r.pts;
    EXPECT_EQ(TConversionRenderer::DrawsAt(job, r.pts), r.drawn) << "trimmed " << r.pts;
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

  // A box resized in the editor: the picture is stretched to it, as the editor showed it.
  job.WaterMarks[0].ImageWidth = 8;
  job.WaterMarks[0].ImageHeight = 6;
  frame = Filled(64, 48, 0, 0, 0);
  renderer.RenderFrame(info, job);
  EXPECT_EQ(Px(frame, 17, 10)[0], 254) << "bottom-right corner of the box";
  EXPECT_EQ(Px(frame, 18, 5)[0], 0) << "right of the box";
  EXPECT_EQ(Px(frame, 10, 11)[0], 0) << "below the box";
}

TEST(Renderer, MissingPictureFailsTheFrameAndKeepsIt) {
  testsupport::LogCapture log;
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
  const std::vector<std::string> logged = log.Messages(llError);
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

namespace {

// The colour of one pixel of a file's picture at a time, through the ffmpeg command.
QColor PixelAt(const std::string& file, double seconds, int x, int y) {
  std::string out;
  testsupport::RunCapture("ffmpeg -nostdin -v error -ss " + std::to_string(seconds) + " -i " +
                              testsupport::ShellQuote(file) + " -frames:v 1 -vf crop=2:2:" + std::to_string(x) + ":" +
                              std::to_string(y) + " -f rawvideo -pix_fmt rgb24 -",
                          out);
  if (out.size() != 12) {
    ADD_FAILURE() << "no pixel from " << file << ": " << out.size() << " bytes";
    return QColor();
  }
  return QColor(uint8_t(out[0]), uint8_t(out[1]), uint8_t(out[2]));
}

}  // namespace

// Two tasks at once (StartTask(2)) share one renderer: each task's hook gets its own record,
// the hook of one task runs while the other's is inside its handler, and each output carries
// its own job's watermark. A hook serialised by the component (one shared record under one
// lock) would leave the first task waiting for the second until the rendezvous times out.
TEST(Renderer, TwoParallelTasksDrawAtTheSameTime) {
  testsupport::LoadEngineLibs();
  TempDir dir;
  const std::string redPic = dir.file("red.bmp"), bluePic = dir.file("blue.bmp");
  SaveBmp(redPic, 40, 30, QColor(255, 0, 0));
  SaveBmp(bluePic, 40, 30, QColor(0, 0, 255));
  TlvFilesRecord jobs[2];
  for (int i = 0; i < 2; ++i) {
    TWmRec item;
    item.Kind = wmkImage;
    item.ImageFile = i == 0 ? redPic : bluePic;
    item.ImageLeft = 20;
    item.ImageTop = 20;
    item.EndSec = 100;
    jobs[i].WaterMarks.push_back(item);
    jobs[i].Brightness = 300;  // the whole frame too, so the rendering takes a while
  }

  TConversionRenderer renderer;
  TConvertEngine engine;
  std::mutex lock;
  std::condition_variable cv;
  int inside = 0, maxInside = 0;
  bool both = false;
  std::map<int, int> frames;
  std::set<const THookInfo*> records;
  engine.SetOnCustomHook([&](TCustomConvertEngine*, PHookInfo info) {
    const int task = info->TaskIndex;
    ASSERT_TRUE(task == 0 || task == 1);
    {
      std::unique_lock<std::mutex> g(lock);
      records.insert(info);
      maxInside = std::max(maxInside, ++inside);
      // The first picture of each task waits until the other task's hook is running too.
      if (frames[task]++ == 0 && !both) {
        if (inside == 2) {
          both = true;
          cv.notify_all();
        } else {
          cv.wait_for(g, std::chrono::seconds(20), [&] { return both; });
        }
      }
    }
    renderer.RenderFrame(*info, jobs[task]);
    std::lock_guard<std::mutex> g(lock);
    --inside;
  });
  std::promise<void> ended;
  engine.SetOnTerminate([&](TCustomConvertEngine*, const TTerminateInfo* info) {
    if (info->TaskIndex < 0) ended.set_value();
  });
  std::string outputs[2];
  for (int i = 0; i < 2; ++i) {
    TOutputOptions o;
    o.VideoCodec = "mpeg4";
    o.DisableAudio = true;
    o.ExtOptions = "qscale=2";
    o.Duration = 2000000;
    o.CustomHook = true;
    outputs[i] = dir.file("out" + std::to_string(i) + ".mp4");
    const int index = engine.AddTask(testsupport::MediaPath("clip.mp4"));
    ASSERT_EQ(index, i) << engine.LastErrMsg();
    ASSERT_TRUE(engine.SetOutputFile(index, outputs[i], o)) << engine.LastErrMsg();
  }
  engine.StartTask(2);
  ASSERT_EQ(ended.get_future().wait_for(std::chrono::seconds(120)), std::future_status::ready);

  EXPECT_TRUE(both) << "the two tasks' hooks never ran at the same time";
  EXPECT_EQ(maxInside, 2);
  EXPECT_EQ(frames[0], 50);
  EXPECT_EQ(frames[1], 50);
  EXPECT_GE(records.size(), 2u) << "each task has its own hook record";
  const QColor red = PixelAt(outputs[0], 1.0, 40, 35), blue = PixelAt(outputs[1], 1.0, 40, 35);
  EXPECT_GT(red.red(), 200);
  EXPECT_LT(red.blue(), 60);
  EXPECT_GT(blue.blue(), 200);
  EXPECT_LT(blue.red(), 60);
  // Outside the watermark: the brightened picture of the clip, the same in both outputs.
  const QColor a = PixelAt(outputs[0], 1.0, 200, 150), b = PixelAt(outputs[1], 1.0, 200, 150);
  EXPECT_TRUE(a.isValid());
  EXPECT_NEAR(a.red(), b.red(), 3);
  EXPECT_NEAR(a.green(), b.green(), 3);
  engine.ClearTasks();
}
