// The player host of the windows that play a file, with the real player on real clips: the
// notices of a replaced or stopped playback never reach the window, and the end of the file
// rests on the first picture, paused.
#include <gtest/gtest.h>

#include <QTest>
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "app/core/settings.h"
#include "controls/trackbar.h"
#include "controls/videosurface.h"
#include "dialogs/playerhost.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

const std::string kFormatIni = std::string(ORVANE_SOURCE_DIR) + "/data/orvanepspformat.ini";

// The number a picture of the framenum clips shows: bit k white in the k-th of ten stripes
// from the left (-1 without a picture).
int FrameNumber(const TBitmap24& b) {
  if (b.Empty()) return -1;
  int n = 0;
  for (int k = 0; k < 10; ++k) {
    const int x = (2 * k + 1) * b.Width / 20;
    if (b.Pixels[size_t(b.Height / 2) * size_t(b.Stride) + size_t(x) * 3] > 128) n |= 1 << k;
  }
  return n;
}

class PlayerHostTest : public ::testing::Test {
protected:
  TempDir dir;
  TAppSettings settings{dir.file("settings.ini"), kFormatIni};
  QWidget window;
  TVideoSurfaceWidget* surface = new TVideoSurfaceWidget(&window);
  TTrackBar2* bar = new TTrackBar2(&window);
  TPlayerHost* host = new TPlayerHost(&window, settings);
  // What reached the window: position notices and the times of the frames handed over.
  std::vector<int64_t> positions, frames;
  std::vector<TPlayState> states;

  void SetUp() override {
    surface->setGeometry(0, 0, 320, 240);
    bar->setGeometry(0, 250, 320, 20);
    bar->SetMax(320);
    window.resize(320, 280);
    window.show();
    std::string error;
    ASSERT_TRUE(host->LoadLibraries(error)) << error;
    host->SetSeekBar(bar, TPlayerHost::srEveryMove, TPlayerHost::bsShare);
    QObject::connect(host, &TPlayerHost::PositionChanged, [this](int64_t pts) { positions.push_back(pts); });
    QObject::connect(host, &TPlayerHost::FrameArrived, [this] { frames.push_back(host->FramePts()); });
    QObject::connect(host, &TPlayerHost::StateChanged, [this](TPlayState s) { states.push_back(s); });
  }
  void TearDown() override { delete host; }

  // Plays `clip` and moves it to `us` while the main thread takes no notice: the notices of
  // that time are on their way when the test goes on.
  void PlayAndHoldNoticesAt(const std::string& clip, int64_t us) {
    ASSERT_TRUE(host->Open(MediaPath(clip), surface, false, true));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !frames.empty(); }, 10000)) << "no frame";
    host->Player().Seek(0, true, us);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_GE(host->Player().CurrentPosition(), us - 100'000);
    positions.clear();
    frames.clear();
    states.clear();
  }
};

// A file opened in place of another: what the first playback reported from its 8-second place
// just before is dropped; the second one's notices arrive from its start. A stopped playback
// reports nothing more.
TEST_F(PlayerHostTest, NoticesOfAReplacedOrStoppedPlaybackAreDropped) {
  PlayAndHoldNoticesAt("clip.mp4", 8'000'000);
  ASSERT_TRUE(host->Open(MediaPath("framenum_3s.mp4"), surface, false, true));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !frames.empty() && !positions.empty(); }, 10000));
  QTest::qWait(200);
  for (int64_t pts : positions) EXPECT_LT(pts, 2'500'000) << "a position of the file before";
  for (int64_t pts : frames) EXPECT_LT(pts, 2'500'000) << "a frame of the file before";

  PlayAndHoldNoticesAt("clip.mp4", 5'000'000);
  host->Stop(false);
  QTest::qWait(500);
  EXPECT_TRUE(positions.empty());
  EXPECT_TRUE(frames.empty());
  EXPECT_TRUE(states.empty());
}

// The end of the file: the playback rests on its first picture, paused, the seek bar at its
// start; Resume plays it again and the bar follows.
TEST_F(PlayerHostTest, TheEndOfTheFileRestsOnTheFirstPicturePaused) {
  ASSERT_TRUE(host->Open(MediaPath("framenum_3s.mp4"), surface, false, true));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !frames.empty(); }, 10000));
  host->Player().Seek(0, false, 2'500'000);
  ASSERT_TRUE(QTest::qWaitFor([&] { return FrameNumber(host->Frame()) >= 62; }, 5000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return std::find(states.begin(), states.end(), psEnd) != states.end(); }, 10000))
      << "no end";
  // (The player labels the first picture after a seek back from the end with the time the
  // end had: the picture itself says which it is.)
  EXPECT_TRUE(QTest::qWaitFor([&] { return host->Player().Paused() && FrameNumber(host->Frame()) == 0; }, 5000))
      << "picture " << FrameNumber(host->Frame());
  QTest::qWait(300);
  EXPECT_TRUE(host->Player().Paused());
  EXPECT_EQ(FrameNumber(host->Frame()), 0);
  EXPECT_EQ(bar->PositionL(), 0);

  host->Resume();
  EXPECT_TRUE(QTest::qWaitFor([&] { return bar->PositionL() > 0; }, 5000));
}

}  // namespace

int main(int argc, char** argv) { return RunWindowTests(argc, argv); }
