// The preview player drawing into the Qt video surface (offscreen platform): the painted
// widget shows the right picture at a known time, at the panel's size, black around it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <functional>

#include "controls/videosurface.h"
#include "media/dispatcher.h"
#include "media/loader.h"
#include "media/player.h"
#include "tests/support/test_support.h"

namespace {

// The frame number of a framenum clip's picture inside the widget's painted image.
int StripeNumber(const QImage& img, const QRect& r) {
  int n = 0;
  for (int k = 0; k < 10; ++k) {
    QColor c = img.pixelColor(r.x() + int((k + 0.5) * r.width() / 10), r.y() + r.height() / 2);
    if (c.green() > 128) n |= 1 << k;
  }
  return n;
}

bool Pump(const std::function<bool()>& pred, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    ProcessPendingMessages();
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    if (pred()) return true;
    HeadlessDispatcher().WaitAndProcess(5);
  }
  return pred();
}

TEST(VideoSurface, PaintsTheSeekedPictureAtThePanelSize) {
  TFFmpegLoader& loader = FFLoader();
  loader.SetLibraryFolder("");
  ASSERT_TRUE(loader.LoadLibs(kPlayerLibs)) << loader.LastError();
  TVideoSurfaceWidget panel;
  panel.resize(640, 360);
  panel.show();
  QApplication::processEvents();
  TFFPlayer player;
  ASSERT_TRUE(player.Open(testsupport::MediaPath("framenum.mp4"), &panel)) << player.LastErrMsg();
  EXPECT_EQ(player.ScreenWidth, 640);
  EXPECT_EQ(player.ScreenHeight, 360);
  ASSERT_TRUE(Pump([&] { return panel.PicturePts() > 400000; }, 5000));
  player.Pause();
  player.Seek(0, true, 3000000);
  ASSERT_TRUE(Pump([&] { return panel.PicturePts() == 3000000; }, 3000));
  Pump([] { return false; }, 200);

  // The 4:3 picture is made at 480 × 360 and painted unscaled at x = 80, black beside it.
  EXPECT_EQ(panel.PictureRect(), QRect(80, 0, 480, 360));
  QImage painted = panel.grab().toImage();
  ASSERT_EQ(painted.size(), QSize(640, 360));
  EXPECT_EQ(StripeNumber(painted, QRect(80, 0, 480, 360)), 75);
  EXPECT_EQ(painted.pixelColor(40, 180), QColor(Qt::black));
  EXPECT_EQ(painted.pixelColor(600, 180), QColor(Qt::black));

  // A larger panel: the paused picture is laid out again at the new size.
  panel.resize(800, 400);
  QApplication::processEvents();
  player.SetAspectRatio(-1);
  ASSERT_TRUE(Pump([&] { return panel.PictureRect() == QRect(0, 0, 800, 400); }, 3000));
  Pump([] { return false; }, 200);
  painted = panel.grab().toImage();
  EXPECT_EQ(StripeNumber(painted, QRect(0, 0, 800, 400)), 75);
  player.Stop(true);
}

// Where the light (subtitle) pixels of a painted image lie inside a rectangle.
struct TLight {
  int count = 0, top = INT_MAX, bottom = -1, left = INT_MAX, right = -1;
};
TLight LightPixels(const QImage& img, const QRect& r) {
  TLight l;
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x) {
      const QColor c = img.pixelColor(x, y);
      if (c.red() < 220 || c.green() < 220 || c.blue() < 220) continue;
      ++l.count;
      l.top = std::min(l.top, y);
      l.bottom = std::max(l.bottom, y);
      l.left = std::min(l.left, x);
      l.right = std::max(l.right, x);
    }
  return l;
}

// The events of decoded event lines (their text after the decoder's eight leading fields, in
// the default style).
TSubtitleText Events(std::initializer_list<const char*> texts) {
  TSubtitleText t;
  for (const char* text : texts) t.Events.push_back(SubtitleEvent(std::string("0,0,Default,,0,0,0,,") + text, {}));
  return t;
}

// A subtitle text is painted light over a mid-grey picture, centred in the picture's bottom
// band, in letters that grow with the picture; an empty text or Clear removes it.
TEST(VideoSurface, PaintsSubtitleTextInTheBottomBandOfThePicture) {
  TVideoSurfaceWidget panel;
  panel.resize(640, 360);
  panel.show();
  QApplication::processEvents();
  const auto present = [&](int w, int h) {
    TBitmap24 grey;
    grey.SetSize(w, h);
    std::fill(grey.Pixels.begin(), grey.Pixels.end(), uint8_t(100));
    panel.Present(grey, (640 - w) / 2, (360 - h) / 2, 640, 360, 0);
  };
  const QRect picture(80, 0, 480, 360);
  present(480, 360);
  EXPECT_EQ(LightPixels(panel.grab().toImage(), panel.rect()).count, 0);

  panel.ShowSubtitle(Events({"First line"}));
  EXPECT_EQ(panel.SubtitleText(), "First line");
  QImage painted = panel.grab().toImage();
  const TLight one = LightPixels(painted, panel.rect());
  EXPECT_GT(one.count, 100);
  EXPECT_GE(one.top, picture.top() + picture.height() * 3 / 4);
  EXPECT_LE(one.bottom, picture.bottom());
  EXPECT_NEAR((one.left + one.right) / 2.0, picture.center().x(), 10);
  // Outside the picture it stays black.
  EXPECT_EQ(painted.pixelColor(40, 340), QColor(Qt::black));

  // Two lines: the second ends where the single one did, the first stands above it.
  panel.ShowSubtitle(Events({"First line\\NSecond line"}));
  const TLight two = LightPixels(panel.grab().toImage(), panel.rect());
  EXPECT_NEAR(two.bottom, one.bottom, 4);
  EXPECT_LT(two.top, one.top - (one.bottom - one.top));

  // A line wider than the picture is broken at spaces into rows that stay inside it.
  panel.ShowSubtitle(Events({"A rather long subtitle line that a narrow picture cannot hold on one row"}));
  const TLight wrapped = LightPixels(panel.grab().toImage(), panel.rect());
  EXPECT_GE(wrapped.left, picture.left() + 5);
  EXPECT_LE(wrapped.right, picture.right() - 5);
  EXPECT_NEAR(wrapped.bottom, one.bottom, 4);
  EXPECT_LT(wrapped.top, one.top - (one.bottom - one.top));

  // Half the picture height: letters about half as tall.
  panel.ShowSubtitle(Events({"First line"}));
  present(240, 180);
  const TLight small = LightPixels(panel.grab().toImage(), panel.rect());
  ASSERT_GT(small.count, 0);
  const double ratio = double(one.bottom - one.top) / (small.bottom - small.top);
  EXPECT_GT(ratio, 1.5);
  EXPECT_LT(ratio, 2.6);

  // Two events in one place: one under the other, the earlier on top, the later where a single
  // one ends.
  present(480, 360);
  panel.ShowSubtitle(Events({"First line", "Second line"}));
  EXPECT_EQ(panel.SubtitleText(), "First line\nSecond line");
  const TLight stacked = LightPixels(panel.grab().toImage(), panel.rect());
  EXPECT_NEAR(stacked.bottom, one.bottom, 4);
  EXPECT_NEAR(stacked.top, two.top, 4);

  // An event's own place and colour: a sign along the top in red over the white dialogue.
  panel.ShowSubtitle(Events({"{\\an8\\c&H0000FF&}Sign", "First line"}));
  painted = panel.grab().toImage();
  const TLight white = LightPixels(painted, panel.rect());
  EXPECT_NEAR(white.top, one.top, 4);
  int redTop = 0, redBottom = 0;
  for (int y = 0; y < painted.height(); ++y)
    for (int x = picture.left(); x <= picture.right(); ++x) {
      const QColor c = painted.pixelColor(x, y);
      if (c.red() > 200 && c.green() < 60 && c.blue() < 60) ++(y < picture.height() / 4 ? redTop : redBottom);
    }
  EXPECT_GT(redTop, 50);
  EXPECT_EQ(redBottom, 0);

  panel.ShowSubtitle(TSubtitleText());
  EXPECT_EQ(LightPixels(panel.grab().toImage(), panel.rect()).count, 0);
  panel.ShowSubtitle(Events({"First line"}));
  panel.Clear();
  EXPECT_TRUE(panel.SubtitleText().isEmpty());
}

}  // namespace

int main(int argc, char** argv) {
  // Test discovery runs the program without the tests' environment: no display is needed.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
