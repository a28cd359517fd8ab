// The preview player drawing into the Qt video surface (offscreen platform): the painted
// widget shows the right picture at a known time, at the panel's size, black around it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>

#include <chrono>
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

}  // namespace

int main(int argc, char** argv) {
  // Test discovery runs the program without the tests' environment: no display is needed.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
