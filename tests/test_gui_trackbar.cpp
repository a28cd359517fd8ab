// The custom track bar driven by real mouse and key events (offscreen platform): the position
// rules of one and two thumbs, presses, drags, keys, the shape rule and the owner drawing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>

#include "controls/trackbar.h"

namespace {

TEST(TrackBar, PositionRules) {
  TTrackBar2 bar;
  QSignalSpy changes(&bar, &TTrackBar2::Change);
  EXPECT_EQ(bar.Min(), 0);
  EXPECT_EQ(bar.Max(), 20);
  EXPECT_EQ(bar.PositionL(), 0);
  EXPECT_EQ(bar.PositionU(), 10);
  // One thumb: values outside the range are corrected and still reported.
  bar.SetPositionL(25);
  EXPECT_EQ(bar.PositionL(), 20);
  EXPECT_EQ(changes.count(), 1);
  bar.SetPositionL(-3);
  EXPECT_EQ(bar.PositionL(), 0);
  bar.SetPositionL(0);  // unchanged: no notice
  EXPECT_EQ(changes.count(), 2);

  // Two thumbs never meet or cross.
  bar.SetSecondThumb(true);
  bar.SetPositionL(15);
  EXPECT_EQ(bar.PositionL(), 9);
  bar.SetPositionU(5);
  EXPECT_EQ(bar.PositionU(), 10);
  bar.SetPositionU(40);
  EXPECT_EQ(bar.PositionU(), 20);
  EXPECT_EQ(changes.count(), 5);

  // The range pulls the positions along without a notice.
  bar.SetMax(12);
  EXPECT_EQ(bar.PositionU(), 12);
  bar.SetMin(10);
  EXPECT_EQ(bar.PositionL(), 10);
  EXPECT_EQ(changes.count(), 5);
}

TEST(TrackBar, ShapeDecidesTheDirection) {
  TTrackBar2 bar;
  bar.show();
  EXPECT_EQ(bar.size(), QSize(500, 50));
  EXPECT_EQ(bar.Orientation(), TTrackBar2::trHorizontal);
  bar.SetOrientation(TTrackBar2::trVertical);
  EXPECT_EQ(bar.size(), QSize(50, 500));
  EXPECT_EQ(bar.Orientation(), TTrackBar2::trVertical);
  bar.resize(83, 20);
  EXPECT_EQ(bar.Orientation(), TTrackBar2::trHorizontal);
  bar.resize(20, 20);  // square: unchanged
  EXPECT_EQ(bar.Orientation(), TTrackBar2::trHorizontal);
  bar.resize(20, 83);
  EXPECT_EQ(bar.Orientation(), TTrackBar2::trVertical);
}

// Presses: a jump without Shift, one small step toward the press with Shift; a press on a
// drawn thumb drags it until the release; user-drawn thumbs only jump.
TEST(TrackBar, MousePressesAndDrags) {
  TTrackBar2 bar;
  bar.resize(380, 20);
  bar.SetThumbStyle(TTrackBar2::tsUserDrawn);
  bar.SetThumbSize(15);
  bar.SetMax(380);
  bar.show();
  bar.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&bar));
  QTest::mouseClick(&bar, Qt::LeftButton, {}, QPoint(190, 10));
  EXPECT_EQ(bar.PositionL(), 190);  // (190 - 7) * 380 / 365
  EXPECT_TRUE(bar.hasFocus());
  QTest::mouseClick(&bar, Qt::LeftButton, Qt::ShiftModifier, QPoint(300, 10));
  EXPECT_EQ(bar.PositionL(), 191);
  QTest::mouseClick(&bar, Qt::LeftButton, Qt::ShiftModifier, QPoint(20, 10));
  EXPECT_EQ(bar.PositionL(), 190);
  const QRect thumb = bar.ThumbRect(190);
  QTest::mouseClick(&bar, Qt::LeftButton, Qt::ShiftModifier, thumb.center());  // on the thumb: stays
  EXPECT_EQ(bar.PositionL(), 190);
  QTest::mousePress(&bar, Qt::LeftButton, {}, thumb.center());
  EXPECT_FALSE(bar.TrackingL());

  // Vertical: the maximum at the top.
  TTrackBar2 tall;
  tall.resize(20, 110);
  tall.SetMax(100);
  tall.SetThumbStyle(TTrackBar2::tsUserDrawn);
  tall.SetThumbSize(10);
  tall.show();
  QTest::mouseClick(&tall, Qt::LeftButton, {}, QPoint(10, 5));
  EXPECT_EQ(tall.PositionL(), 100);
  QTest::mouseClick(&tall, Qt::LeftButton, {}, QPoint(10, 105));
  EXPECT_EQ(tall.PositionL(), 0);
  QTest::mouseClick(&tall, Qt::LeftButton, {}, QPoint(10, 30));
  EXPECT_EQ(tall.PositionL(), 75);

  // Two drawn thumbs: the press picks the nearer side of the gap; a press on a thumb drags it.
  TTrackBar2 range;
  range.resize(220, 30);
  range.SetMax(200);
  range.SetSecondThumb(true);
  range.SetThumbSize(20);
  range.SetPositionU(160);
  range.SetPositionL(40);
  range.show();
  QTest::mouseClick(&range, Qt::LeftButton, {}, QPoint(range.ThumbRect(160).left() - 10, 15));
  EXPECT_EQ(range.PositionL(), 40);
  EXPECT_LT(range.PositionU(), 160);
  const int upper = range.PositionU();
  QTest::mouseClick(&range, Qt::LeftButton, {}, QPoint(range.ThumbRect(40).right() + 10, 15));
  EXPECT_GT(range.PositionL(), 40);
  EXPECT_EQ(range.PositionU(), upper);
  const QPoint grip = range.ThumbRect(range.PositionL()).center();
  QTest::mousePress(&range, Qt::LeftButton, {}, grip);
  EXPECT_TRUE(range.TrackingL());
  QMouseEvent move(QEvent::MouseMove, QPointF(grip.x() + 500, 15), range.mapToGlobal(QPointF(grip.x() + 500, 15)),
                   Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&range, &move);
  EXPECT_EQ(range.PositionL(), upper - 1);  // dragged against the upper thumb
  QTest::mouseRelease(&range, Qt::LeftButton, {}, grip);
  EXPECT_FALSE(range.TrackingL());
}

TEST(TrackBar, Keys) {
  TTrackBar2 bar;
  bar.SetMax(100);
  bar.SetSecondThumb(true);
  bar.SetPositionU(50);
  bar.SetPositionL(20);
  bar.SetLargeChange(10);
  bar.show();
  QTest::keyClick(&bar, Qt::Key_PageUp);
  EXPECT_EQ(bar.PositionL(), 30);
  QTest::keyClick(&bar, Qt::Key_Right);
  QTest::keyClick(&bar, Qt::Key_Up);
  EXPECT_EQ(bar.PositionL(), 32);
  QTest::keyClick(&bar, Qt::Key_Down);
  QTest::keyClick(&bar, Qt::Key_PageDown);
  EXPECT_EQ(bar.PositionL(), 21);
  QTest::keyClick(&bar, Qt::Key_Left, Qt::ShiftModifier);
  EXPECT_EQ(bar.PositionU(), 49);
  EXPECT_EQ(bar.PositionL(), 21);
}

// The owner paints the user-drawn parts: the track first, each thumb at its place (lower first),
// ticks at both sides for every interval step.
TEST(TrackBar, OwnerDrawing) {
  TTrackBar2 bar;
  bar.resize(380, 20);
  bar.SetMax(380);
  bar.SetThumbSize(13);
  bar.SetThumbLength(23);
  bar.SetTrackStyle(TTrackBar2::trUserDrawn);
  bar.SetThumbStyle(TTrackBar2::tsUserDrawn);
  bar.SetTickStyle(TTrackBar2::tiUserDrawn);
  bar.SetTickInterval(95);
  bar.SetSecondThumb(true);
  bar.SetPositionU(300);
  bar.SetPositionL(100);
  std::vector<std::string> calls;
  QObject::connect(&bar, &TTrackBar2::Painting, [&] { calls.push_back("paint"); });
  QObject::connect(&bar, &TTrackBar2::DrawTrack, [&](QPainter* p) {
    calls.push_back("track");
    p->fillRect(bar.rect(), QColor(24, 52, 91));
  });
  QObject::connect(&bar, &TTrackBar2::DrawTick, [&](QPainter*, int x, int y, int pos) {
    calls.push_back("tick " + std::to_string(x) + "," + std::to_string(y) + "@" + std::to_string(pos));
  });
  QObject::connect(&bar, &TTrackBar2::DrawThumb, [&](QPainter* p, int x, int y) {
    calls.push_back("thumb " + std::to_string(x) + "," + std::to_string(y));
    p->fillRect(x, y, 13, 23, Qt::white);
  });
  const QImage img = bar.grab().toImage();
  const int x1 = 367 * 100 / 380, x2 = 367 * 300 / 380;
  const std::vector<std::string> expected = {"paint",
                                             "track",
                                             "tick 6,2@0",
                                             "tick 6,12@0",
                                             "tick 97,2@95",
                                             "tick 97,12@95",
                                             "tick 189,2@190",
                                             "tick 189,12@190",
                                             "tick 281,2@285",
                                             "tick 281,12@285",
                                             "tick 373,2@380",
                                             "tick 373,12@380",
                                             "thumb " + std::to_string(x1) + ",-1",
                                             "thumb " + std::to_string(x2) + ",-1"};
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(img.pixelColor(x1 + 6, 10), QColor(Qt::white));
  EXPECT_EQ(img.pixelColor(x1 + 40, 10), QColor(24, 52, 91));
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
