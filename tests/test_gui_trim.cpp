// The trim dialog from the main window's Edit menu with the real player on a real clip: the
// range chosen on its bar, what OK and Cancel store, reopening, and the chosen part followed
// through a real conversion checked with ffprobe.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "app/core/inifile.h"
#include "app/core/jobprep.h"
#include "app/core/optionbuilder.h"
#include "app/core/settings.h"
#include "app/joblist.h"
#include "app/mainwindow.h"
#include "controls/trackbar.h"
#include "controls/videosurface.h"
#include "dialogs/trim.h"
#include "engine/engine.h"
#include "media/probe.h"
#include "render/renderer.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const std::string kFormatIni = std::string(ORVANE_SOURCE_DIR) + "/data/orvanepspformat.ini";

TEST(TrimStore, WholeSecondsToTheJobRecord) {
  struct Row {
    int64_t start, end, duration;
    int64_t trimStart, trimLength, lengthSec;
  };
  const Row rows[] = {
      {10, 40, 96, 10'000'000, 30'000'000, 30},  // a 95.6-second file counts 96 seconds
      {10, 96, 96, 10'000'000, 0, 86},           // to the end: no length
      {10, 95, 95, 10'000'000, 0, 85},           // a 95.4-second file: the last 0.4 s stays
      {0, 96, 96, 0, 0, 96},
      {50, 40, 96, 50'000'000, 0, 96},  // start after end: the rest of the file
      {10, 97, 96, 10'000'000, 0, 96},  // end beyond the file
      {0, 0, 0, 0, 0, 0},               // nothing known: nothing stored
  };
  for (const Row& r : rows) {
    const TfrmTrim::TTrim t = TfrmTrim::Store(r.start, r.end, r.duration);
    EXPECT_EQ(t.TrimStart, r.trimStart) << r.start << "-" << r.end;
    EXPECT_EQ(t.TrimLength, r.trimLength) << r.start << "-" << r.end;
    EXPECT_EQ(t.LengthSec, r.lengthSec) << r.start << "-" << r.end;
  }
}

class TrimDialogTest : public ::testing::Test {
protected:
  void SetUp() override {
    settingsPath = dir.file("cfg/orvanepspvideoconverter.ini");
    fs::create_directories(dir.file("out"));
    TIniFile(settingsPath).WriteString("settings", "OutPutDir", dir.file("out"));
  }
  // Opens the dialog through the Edit menu's Trim entry.
  static TfrmTrim* OpenTrim(TfrmMain& w) {
    auto* menu = w.findChild<QMenu*>("popupMenuEdit");
    for (QAction* a : menu->actions())
      if (a->text() == "&Trim") {
        emit menu->aboutToShow();
        if (!a->isEnabled()) return nullptr;
        a->trigger();
      }
    return w.TrimDialog();
  }
  TempDir dir;
  std::string settingsPath;
};

TEST_F(TrimDialogTest, ChosenRangeIsStoredAndConverted) {
  auto w = OpenMainWindow(settingsPath, kFormatIni);
  AddAndWait(*w, {QString::fromStdString(MediaPath("clip.mp4"))});
  TJobListModel& model = *w->JobModel();
  ASSERT_EQ(model.rowCount(), 1);

  TfrmTrim* d = OpenTrim(*w);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(d->isVisible());
  EXPECT_EQ(d->FileDurationSec(), 10);
  EXPECT_EQ(d->RangeBar()->Max(), 10);
  EXPECT_EQ(d->StartField()->text(), "0:00:00");
  EXPECT_EQ(d->EndField()->text(), "0:00:10");

  // The markers from the keyboard (focus on the bar, the right arrow moves the start), then
  // the end marker set on the bar.
  d->RangeBar()->setFocus();
  for (int i = 0; i < 3; ++i) QTest::keyClick(d->RangeBar(), Qt::Key_Right);
  d->RangeBar()->SetPositionU(7);
  EXPECT_EQ(d->RangeStartSec(), d->RangeBar()->PositionL());
  d->RangeBar()->SetPositionL(3);
  EXPECT_EQ(d->StartField()->text(), "0:00:03");
  EXPECT_EQ(d->EndField()->text(), "0:00:07");

  // Cancel stores nothing.
  QTest::mouseClick(d->CancelButton(), Qt::LeftButton);
  EXPECT_FALSE(d->isVisible());
  EXPECT_EQ(model.Record(0)->TrimStart, 0);
  EXPECT_EQ(model.Record(0)->TrimLength, 0);
  EXPECT_EQ(model.data(model.index(0, TJobListModel::colTrimmed), Qt::DisplayRole).toString(), "10");

  // Default shows the whole file with milliseconds; OK stores the chosen part.
  d = OpenTrim(*w);
  QTest::mouseClick(d->DefaultButton(), Qt::LeftButton);
  EXPECT_EQ(d->StartField()->text(), "00:00:00");
  EXPECT_EQ(d->EndField()->text(), "00:00:10.000");
  d->RangeBar()->SetPositionU(7);
  d->RangeBar()->SetPositionL(3);
  QTest::mouseClick(d->OkButton(), Qt::LeftButton);
  EXPECT_FALSE(d->isVisible());
  EXPECT_EQ(model.Record(0)->TrimStart, 3'000'000);
  EXPECT_EQ(model.Record(0)->TrimLength, 4'000'000);
  EXPECT_EQ(model.data(model.index(0, TJobListModel::colTrimmed), Qt::DisplayRole).toString(), "4");

  // Reopening shows the stored range.
  d = OpenTrim(*w);
  EXPECT_EQ(d->StartField()->text(), "0:00:03");
  EXPECT_EQ(d->EndField()->text(), "0:00:07");
  EXPECT_EQ(d->RangeBar()->PositionL(), 3);
  EXPECT_EQ(d->RangeBar()->PositionU(), 7);
  QTest::keyClick(d, Qt::Key_Escape);
  EXPECT_FALSE(d->isVisible());

  // The conversion gives exactly that part.
  std::string err;
  const std::string out = ConvertJob(settingsPath, kFormatIni, *model.Record(0), false, err);
  ASSERT_FALSE(out.empty()) << err;
  EXPECT_NEAR(FfprobeNumber(out, "stream=duration", "v:0"), 4.0, 0.1);
  // 25 pictures a second: 100 pictures from the 3-second mark.
  EXPECT_NEAR(FfprobeNumber(out, "stream=nb_frames", "v:0"), 100, 2);
}

void SendMouse(QWidget* w, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons, QPoint p) {
  QMouseEvent e(type, p, w->mapToGlobal(p), button, buttons, Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}

TEST_F(TrimDialogTest, MarkersTwoSecondsApartStopFollowingAndTheReleaseSeeks) {
  auto w = OpenMainWindow(settingsPath, kFormatIni);
  AddAndWait(*w, {QString::fromStdString(MediaPath("clip.mp4"))});
  TfrmTrim* d = OpenTrim(*w);
  ASSERT_NE(d, nullptr);
  TTrackBar2* bar = d->RangeBar();
  ASSERT_EQ(bar->Max(), 10);
  const auto at = [bar](int position) { return bar->ThumbRect(position).center(); };

  // The end marker dragged left: it follows down to 1 s after the start, then stays while the
  // mouse goes on moving, also back to the right. (3 pixels right of a marker's middle: the
  // side of the end marker when the two are 2 s apart.)
  const auto near = [&](int position) { return at(position) + QPoint(3, 0); };
  SendMouse(bar, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, near(10));
  for (int s = 9; s >= 0; --s) SendMouse(bar, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, near(s));
  EXPECT_EQ(d->RangeStartSec(), 0);
  EXPECT_EQ(d->RangeEndSec(), 1);
  SendMouse(bar, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, near(5));
  EXPECT_EQ(d->RangeEndSec(), 1);
  EXPECT_EQ(bar->PositionU(), 1);
  SendMouse(bar, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, near(1));
  EXPECT_EQ(d->EndField()->text(), "0:00:01");
  const auto pictureNear = [d](int64_t us) {
    return QTest::qWaitFor(
        [&] {
          int64_t pts = 0;
          d->Player().GetCurrentFrame(pts);
          return pts >= us - 100'000 && pts <= us + 500'000;
        },
        3000);
  };
  EXPECT_TRUE(pictureNear(1'000'000));

  // A new press moves the marker again, and so do the moves after it; the picture goes to its
  // time when the mouse lets go, not before.
  QTest::mouseClick(d->PauseButton(), Qt::LeftButton);
  // The pictures already on their way are shown first.
  int64_t before = -1, settled = -2;
  for (int tries = 0; tries < 20 && before != settled; ++tries) {
    d->Player().GetCurrentFrame(before);
    QTest::qWait(150);
    d->Player().GetCurrentFrame(settled);
  }
  SendMouse(bar, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, near(4));
  EXPECT_EQ(d->RangeEndSec(), 4);
  SendMouse(bar, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, near(6));
  EXPECT_EQ(d->RangeEndSec(), 6);
  EXPECT_EQ(d->SeekBar()->PositionL(), 6);
  QTest::qWait(200);
  int64_t during = 0;
  d->Player().GetCurrentFrame(during);
  EXPECT_EQ(during, before);
  SendMouse(bar, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, near(6));
  EXPECT_TRUE(pictureNear(6'000'000));
  QTest::keyClick(d, Qt::Key_Escape);
}

// The preview plays on while the seek bar has the focus: the bar follows the position updates
// without seeking, and a click on it seeks once and then the picture goes on from there. (A
// clip with a key frame every 2 s: a seek to a whole second at each update used to send the
// picture back to the key frame before it, over and over.)
TEST_F(TrimDialogTest, PreviewPlaysOnWithTheSeekBarFocusedAndAfterAClick) {
  auto w = OpenMainWindow(settingsPath, kFormatIni);
  AddAndWait(*w, {QString::fromStdString(MediaPath("gop2s.ts"))});  // 6 s
  TfrmTrim* d = OpenTrim(*w);
  ASSERT_NE(d, nullptr);
  TTrackBar2* bar = d->SeekBar();
  ASSERT_EQ(bar->Max(), 6);
  d->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(d));
  bar->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([bar] { return bar->hasFocus(); }, 2000));
  const auto shown = [d] {
    int64_t pts = -1;
    d->Player().GetCurrentFrame(pts);
    return pts;
  };
  // Past 2 s, at the pace of the clock (not by jumps to the next whole second either).
  ASSERT_TRUE(QTest::qWaitFor([&] { return shown() >= 300'000; }, 8000)) << "picture at " << shown() << " us";
  QElapsedTimer clock;
  clock.start();
  const int64_t from = shown();
  EXPECT_TRUE(QTest::qWaitFor([&] { return shown() >= 2'300'000; }, 6000)) << "picture at " << shown() << " us";
  const double pace = double(shown() - from) / 1000.0 / double(std::max<qint64>(1, clock.elapsed()));
  EXPECT_GT(pace, 0.5);
  EXPECT_LT(pace, 1.6);

  // A click at the 4-second place: the picture goes there and plays on past 5 s.
  const int y = bar->height() / 2;
  int x = 0;
  while (x < bar->width() && bar->PositionAt(QPoint(x, y)) < 4) ++x;
  ASSERT_EQ(bar->PositionAt(QPoint(x, y)), 4);
  QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(x, y));
  EXPECT_TRUE(QTest::qWaitFor([&] { return shown() >= 3'900'000 && shown() < 4'800'000; }, 3000))
      << "picture at " << shown() << " us";
  EXPECT_TRUE(QTest::qWaitFor([&] { return shown() >= 5'200'000; }, 5000)) << "picture at " << shown() << " us";
  EXPECT_TRUE(bar->hasFocus());
  QTest::keyClick(d, Qt::Key_Escape);
}

// The dialog is kept between uses. Opened on a row whose file is gone, it shows neither the
// last picture nor the end marker of the file shown before, and says the file cannot be opened.
TEST_F(TrimDialogTest, AFileThatCannotOpenShowsNothingOfTheFileBefore) {
  auto w = OpenMainWindow(settingsPath, kFormatIni);
  fs::create_directories(dir.file("in"));
  const std::string gone = dir.file("in/gone.avi");
  fs::copy_file(MediaPath("clip.avi"), gone);
  AddAndWait(*w, {QString::fromStdString(MediaPath("clip.mp4")), QString::fromStdString(gone)});
  ASSERT_EQ(w->JobModel()->rowCount(), 2);

  TfrmTrim* d = OpenTrim(*w);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(QTest::qWaitFor([d] { return !d->Picture()->Picture().isNull(); }, 10000));
  d->RangeBar()->SetPositionU(8);
  EXPECT_EQ(d->StatusLine()->text(), "");
  QTest::mouseClick(d->CancelButton(), Qt::LeftButton);

  fs::remove(gone);
  w->JobList()->setCurrentIndex(w->JobModel()->index(1, 0));
  d = OpenTrim(*w);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(d->isVisible());
  EXPECT_TRUE(d->Picture()->Picture().isNull());
  QTest::qWait(300);  // a picture of the old playback still on its way is not shown either
  EXPECT_TRUE(d->Picture()->Picture().isNull());
  EXPECT_EQ(d->StatusLine()->text(), "The file cannot be opened: gone.avi");
  // No range and no markers: the bars are empty and off.
  EXPECT_EQ(d->RangeBar()->Max(), 0);
  EXPECT_EQ(d->RangeBar()->PositionU(), 0);
  EXPECT_FALSE(d->RangeBar()->isEnabled());
  EXPECT_EQ(d->SeekBar()->PositionL(), 0);
  EXPECT_FALSE(d->SeekBar()->isEnabled());
  EXPECT_EQ(d->EndField()->text(), "0:00:00");
  QTest::mouseClick(d->CancelButton(), Qt::LeftButton);

  // The first row's file again: its picture, range and no message.
  w->JobList()->setCurrentIndex(w->JobModel()->index(0, 0));
  d = OpenTrim(*w);
  EXPECT_EQ(d->StatusLine()->text(), "");
  EXPECT_EQ(d->RangeBar()->Max(), 10);
  EXPECT_TRUE(d->RangeBar()->isEnabled());
  EXPECT_TRUE(QTest::qWaitFor([d] { return !d->Picture()->Picture().isNull(); }, 10000));
  QTest::keyClick(d, Qt::Key_Escape);
}

}  // namespace

int main(int argc, char** argv) { return RunWindowTests(argc, argv); }
