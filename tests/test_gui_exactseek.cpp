// The trim dialog's markers on a clip with a key picture only every 10 s: moving a marker shows
// the picture at the marker's time (decoded forward from the key picture before it), not the
// key picture's, so the range is cut where the user saw it. Real dialog, player and clip.
#include <gtest/gtest.h>

#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "app/core/inifile.h"
#include "app/joblist.h"
#include "app/mainwindow.h"
#include "controls/trackbar.h"
#include "dialogs/trim.h"
#include "media/player.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const std::string kFormatIni = std::string(ORVANE_BINARY_DIR) + "/data/orvanepspformat.ini";

// The frame number that the ten stripes of the framenum clips encode (bit k white in stripe k).
int StripeNumber(const TBitmap24& bmp) {
  if (bmp.Empty()) return -1;
  int n = 0;
  const uint8_t* row = bmp.Row(bmp.Height / 2);
  for (int k = 0; k < 10; ++k)
    if (row[int((k + 0.5) * bmp.Width / 10) * 3 + 1] > 128) n |= 1 << k;
  return n;
}

TEST(ExactSeek, TrimMarkersShowThePictureAtTheirTime) {
  TempDir dir;
  const std::string settings = dir.file("cfg/orvanepspvideoconverter.ini");
  fs::create_directories(dir.file("out"));
  TIniFile(settings).WriteString("settings", "OutPutDir", dir.file("out"));
  auto w = OpenMainWindow(settings, kFormatIni);
  AddAndWait(*w, {QString::fromStdString(MediaPath("framenum_key10s.mp4"))});
  ASSERT_EQ(w->JobModel()->rowCount(), 1);
  w->JobList()->setCurrentIndex(w->JobModel()->index(0, 0));
  w->UpdateEditMenu();
  for (QAction* a : w->EditMenu()->actions())
    if (a->text() == "&Trim" && a->isEnabled()) a->trigger();
  TfrmTrim* d = w->TrimDialog();
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(QTest::qWaitFor([&] { return d->Player().IsOpen(); }, 20000));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        int64_t pts = -1;
        d->Player().GetCurrentFrame(pts);
        return pts >= 0;
      },
      20000));
  QTest::mouseClick(d->PauseButton(), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return d->Player().Paused(); }, 5000));

  // The start marker to 6 s (key picture at 0 s), the end marker to 13 s (key picture at 10 s),
  // the start marker to 19 s: each shows the picture at its time, 25 a second.
  const struct {
    bool start;
    int seconds;
  } moves[] = {{true, 6}, {false, 13}, {true, 12}, {false, 19}};
  for (const auto& m : moves) {
    if (m.start)
      d->RangeBar()->SetPositionL(m.seconds);
    else
      d->RangeBar()->SetPositionU(m.seconds);
    const int number = m.seconds * 25;
    int shown = -1;
    int64_t pts = -1;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          shown = StripeNumber(d->Player().GetCurrentFrame(pts));
          return shown == number && pts == m.seconds * 1'000'000;
        },
        5000))
        << (m.start ? "start" : "end") << " marker at " << m.seconds << " s shows picture " << shown << " at " << pts;
  }
  QTest::keyClick(d, Qt::Key_Escape);
}

}  // namespace

int main(int argc, char** argv) { return RunWindowTests(argc, argv); }
