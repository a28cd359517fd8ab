// The rectangle tracker driven by real mouse events (offscreen platform): the zones and their
// cursors, moving and resizing with the minimum size, the change notice, the associated control
// and the inverted drawing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

#include "controls/recttracker.h"

namespace {

using Z = TRectTracker::TTrackerZone;

// A mouse event sent to a widget at a point in its own coordinates (QTest would move a press at
// (0, 0) to the widget's centre, and hovering goes through the cursor).
void SendMouse(QWidget* w, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons, QPoint p) {
  QMouseEvent e(type, p, w->mapToGlobal(p), button, buttons, Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}
void Hover(QWidget* w, QPoint p) { SendMouse(w, QEvent::MouseMove, Qt::NoButton, Qt::NoButton, p); }

// A parent with a tracker at (x, y, w, h); mouse points are given in parent coordinates and
// turned into the tracker's own at the moment of each event, as the screen would.
struct Fixture {
  QWidget parent;
  TRectTracker* tracker;
  Fixture(int x, int y, int w, int h) {
    parent.resize(400, 300);
    tracker = new TRectTracker(&parent);
    tracker->setGeometry(x, y, w, h);
    parent.show();
  }
  QPoint Local(QPoint p) const { return tracker->mapFromParent(p); }
  void Press(QPoint p) { SendMouse(tracker, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, Local(p)); }
  void Move(QPoint p) { SendMouse(tracker, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, Local(p)); }
  void Release(QPoint p) { SendMouse(tracker, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, Local(p)); }
  void Drag(QPoint from, QPoint to, int steps = 4) {
    Press(from);
    for (int i = 1; i <= steps; ++i) Move(from + (to - from) * i / steps);
    Release(to);
  }
};

TEST(RectTracker, ZonesAndCursors) {
  Fixture f(0, 0, 65, 65);
  EXPECT_EQ(f.tracker->size(), QSize(65, 65));
  // mx = my = ceil(65 / 2) - 3 = 30.
  const struct {
    QPoint p;
    Z zone;
    Qt::CursorShape cursor;
  } cases[] = {
      {{0, 0}, Z::tzTopLeft, Qt::SizeFDiagCursor},
      {{4, 4}, Z::tzTopLeft, Qt::SizeFDiagCursor},
      {{64, 64}, Z::tzBottomRight, Qt::SizeFDiagCursor},
      {{60, 60}, Z::tzBottomRight, Qt::SizeFDiagCursor},
      {{0, 64}, Z::tzBottomLeft, Qt::SizeBDiagCursor},
      {{64, 0}, Z::tzTopRight, Qt::SizeBDiagCursor},
      {{0, 30}, Z::tzLeft, Qt::SizeHorCursor},
      {{64, 34}, Z::tzRight, Qt::SizeHorCursor},
      {{30, 0}, Z::tzTop, Qt::SizeVerCursor},
      {{34, 64}, Z::tzBottom, Qt::SizeVerCursor},
      {{5, 5}, Z::tzMove, Qt::SizeAllCursor},
      {{59, 59}, Z::tzMove, Qt::SizeAllCursor},
      // The outer two pixels between the grips, and the inner rectangle's right/bottom edge.
      {{1, 15}, Z::tzNone, Qt::ArrowCursor},
      {{15, 0}, Z::tzNone, Qt::ArrowCursor},
      {{63, 15}, Z::tzNone, Qt::ArrowCursor},
      {{15, 63}, Z::tzNone, Qt::ArrowCursor},
      {{0, 29}, Z::tzNone, Qt::ArrowCursor},
      {{0, 35}, Z::tzNone, Qt::ArrowCursor},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(f.tracker->ZoneAt(c.p), c.zone) << c.p.x() << "," << c.p.y();
    Hover(f.tracker, c.p);  // hovering sets the cursor of the zone
    EXPECT_EQ(f.tracker->cursor().shape(), c.cursor) << c.p.x() << "," << c.p.y();
  }
  // Even sizes: mx = 50 / 2 - 3 = 22 (height 40: my = 17).
  f.tracker->resize(50, 40);
  EXPECT_EQ(f.tracker->ZoneAt({22, 0}), Z::tzTop);
  EXPECT_EQ(f.tracker->ZoneAt({21, 0}), Z::tzNone);
  EXPECT_EQ(f.tracker->ZoneAt({0, 17}), Z::tzLeft);
  EXPECT_EQ(f.tracker->ZoneAt({49, 21}), Z::tzRight);
}

TEST(RectTracker, MoveFiresChangeOnceWithTheInnerRectangle) {
  Fixture f(100, 50, 65, 65);
  QSignalSpy changes(f.tracker, &TRectTracker::Change);
  QSignalSpy downs(f.tracker, &TRectTracker::MouseDown);
  QSignalSpy moves(f.tracker, &TRectTracker::MouseMove);
  QSignalSpy ups(f.tracker, &TRectTracker::MouseUp);
  f.Drag({130, 80}, {150, 70});
  EXPECT_EQ(f.tracker->geometry(), QRect(120, 40, 65, 65));
  EXPECT_EQ(f.tracker->DragZone(), Z::tzNone);
  ASSERT_EQ(changes.count(), 1);
  EXPECT_EQ(changes[0][0].toRect(), QRect(QPoint(122, 42), QPoint(182, 102)));
  EXPECT_EQ(f.tracker->TrackRect(), changes[0][0].toRect());
  EXPECT_EQ(downs.count(), 1);
  EXPECT_EQ(moves.count(), 4);
  EXPECT_EQ(ups.count(), 1);
  // The tracker moved with the mouse: the last point is still over the same inner spot.
  EXPECT_EQ(ups[0][0].toPoint(), QPoint(30, 30));

  // A press and release in place, a drag that comes back, and a press on nothing: no change.
  f.Press({150, 70});
  f.Release({150, 70});
  f.Drag({150, 70}, {150, 70});
  f.Press({150, 70});
  f.Move({160, 75});
  f.Move({150, 70});
  f.Release({150, 70});
  f.Drag({121, 60}, {200, 90});  // the outer frame at x = 1 between two grips
  EXPECT_EQ(f.tracker->geometry(), QRect(120, 40, 65, 65));
  EXPECT_EQ(changes.count(), 1);
  EXPECT_EQ(f.tracker->cursor().shape(), Qt::ArrowCursor);

  // The right button drags nothing.
  SendMouse(f.tracker, QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, {30, 30});
  SendMouse(f.tracker, QEvent::MouseMove, Qt::NoButton, Qt::RightButton, {50, 50});
  SendMouse(f.tracker, QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton, {50, 50});
  EXPECT_EQ(f.tracker->geometry(), QRect(120, 40, 65, 65));
  EXPECT_EQ(changes.count(), 1);
}

TEST(RectTracker, ArrowKeysMoveAndShiftArrowsResizeByOnePixel) {
  Fixture f(100, 50, 65, 65);
  QSignalSpy changes(f.tracker, &TRectTracker::Change);
  QSignalSpy downs(f.tracker, &TRectTracker::MouseDown);
  f.tracker->setFocus();
  const struct {
    Qt::Key key;
    Qt::KeyboardModifiers mods;
    QRect expected;
  } steps[] = {
      {Qt::Key_Right, Qt::NoModifier, QRect(101, 50, 65, 65)},
      {Qt::Key_Up, Qt::NoModifier, QRect(101, 49, 65, 65)},
      {Qt::Key_Left, Qt::NoModifier, QRect(100, 49, 65, 65)},
      {Qt::Key_Down, Qt::NoModifier, QRect(100, 50, 65, 65)},
      {Qt::Key_Right, Qt::ShiftModifier, QRect(100, 50, 66, 65)},
      {Qt::Key_Up, Qt::ShiftModifier, QRect(100, 50, 66, 64)},
  };
  for (const auto& s : steps) {
    QTest::keyClick(f.tracker, s.key, s.mods);
    EXPECT_EQ(f.tracker->geometry(), s.expected) << int(s.key);
  }
  EXPECT_EQ(changes.count(), 6);
  EXPECT_EQ(downs.count(), 6);
  EXPECT_EQ(f.tracker->DragZone(), Z::tzNone);
  // Shrinking stops at the minimum size, and a step that changes nothing reports nothing.
  for (int i = 0; i < 80; ++i) QTest::keyClick(f.tracker, Qt::Key_Left, Qt::ShiftModifier);
  EXPECT_EQ(f.tracker->TrackRect().width(), TRectTracker::kMinSize);
  EXPECT_EQ(changes.count(), 6 + 66 - (TRectTracker::kMinSize + 2 * TRectTracker::kFrame));
}

TEST(RectTracker, ResizingKeepsTheOppositeEdgesAndTheMinimumSize) {
  struct Case {
    const char* name;
    QRect start;
    QPoint from, to;  // parent coordinates
    QRect expect;
  };
  const Case cases[] = {
      // A 12-pixel-wide tracker whose left edge is dragged 5 pixels right stops at 10 wide,
      // its right edge where it was.
      {"left inward", {100, 100, 12, 40}, {100, 119}, {105, 119}, {102, 100, 10, 40}},
      {"left outward", {100, 100, 40, 40}, {100, 117}, {80, 117}, {80, 100, 60, 40}},
      {"right", {100, 100, 40, 40}, {139, 117}, {159, 130}, {100, 100, 60, 40}},
      {"right inward past minimum", {100, 100, 40, 40}, {139, 117}, {50, 117}, {100, 100, 10, 40}},
      {"top inward", {100, 100, 40, 14}, {117, 100}, {117, 120}, {100, 104, 40, 10}},
      {"bottom", {100, 100, 40, 40}, {117, 139}, {117, 170}, {100, 100, 40, 71}},
      // The bottom-right grip dragged far up and left stops at 10 x 10.
      {"bottom-right to minimum", {100, 100, 40, 40}, {139, 139}, {20, 20}, {100, 100, 10, 10}},
      {"bottom-right outward", {100, 100, 40, 40}, {139, 139}, {169, 149}, {100, 100, 70, 50}},
      {"top-left outward", {100, 100, 40, 40}, {100, 100}, {90, 80}, {90, 80, 50, 60}},
      {"top-left to minimum", {100, 100, 40, 40}, {100, 100}, {200, 200}, {130, 130, 10, 10}},
      {"top-left, narrow, only the top", {100, 100, 10, 40}, {100, 100}, {110, 110}, {100, 110, 10, 30}},
      {"top-right", {100, 100, 40, 40}, {139, 100}, {159, 90}, {100, 90, 60, 50}},
      {"top-right to minimum", {100, 100, 40, 40}, {139, 100}, {0, 300}, {100, 130, 10, 10}},
      {"bottom-left", {100, 100, 40, 40}, {100, 139}, {80, 159}, {80, 100, 60, 60}},
      {"bottom-left to minimum", {100, 100, 40, 40}, {100, 139}, {300, 0}, {130, 100, 10, 10}},
  };
  for (const Case& c : cases) {
    Fixture f(c.start.x(), c.start.y(), c.start.width(), c.start.height());
    QSignalSpy changes(f.tracker, &TRectTracker::Change);
    ASSERT_NE(f.tracker->ZoneAt(f.Local(c.from)), Z::tzMove) << c.name;
    ASSERT_NE(f.tracker->ZoneAt(f.Local(c.from)), Z::tzNone) << c.name;
    f.Drag(c.from, c.to, 8);
    EXPECT_EQ(f.tracker->geometry(), c.expect) << c.name;
    EXPECT_EQ(changes.count(), 1) << c.name;
  }
}

TEST(RectTracker, CarriesItsAssociatedControl) {
  QWidget parent;
  parent.resize(400, 300);
  auto* picture = new QWidget(&parent);
  picture->setGeometry(50, 40, 100, 80);
  auto* tracker = new TRectTracker(&parent);
  parent.show();
  tracker->SetAcControl(tracker);
  EXPECT_EQ(tracker->AcControl(), nullptr);
  tracker->SetAcControl(picture);
  EXPECT_EQ(tracker->geometry(), QRect(45, 35, 110, 90));
  EXPECT_EQ(picture->geometry(), QRect(50, 40, 100, 80));
  tracker->setGeometry(10, 20, 60, 50);
  EXPECT_EQ(picture->geometry(), QRect(15, 25, 50, 40));
  // A control that cannot take the size is dropped and no longer follows.
  picture->setMinimumSize(45, 35);
  tracker->resize(20, 20);
  EXPECT_EQ(tracker->AcControl(), nullptr);
  tracker->move(0, 0);
  EXPECT_EQ(picture->pos(), QPoint(15, 25));
  // A destroyed control is forgotten.
  auto* other = new QWidget(&parent);
  tracker->SetAcControl(other);
  delete other;
  EXPECT_EQ(tracker->AcControl(), nullptr);
  tracker->resize(60, 60);  // no crash
}

TEST(RectTracker, DrawsTheInverseOfWhatLiesUnder) {
  for (const QColor& background : {QColor(Qt::white), QColor(Qt::black), QColor(40, 100, 200)}) {
    Fixture f(20, 20, 65, 65);
    f.parent.setAutoFillBackground(true);
    QPalette pal = f.parent.palette();
    pal.setColor(QPalette::Window, background);
    f.parent.setPalette(pal);
    const QImage img = f.parent.grab().toImage();
    const QColor inverse(255 - background.red(), 255 - background.green(), 255 - background.blue());
    const auto at = [&](int x, int y) { return img.pixelColor(20 + x, 20 + y).rgb(); };
    EXPECT_EQ(at(0, 0), inverse.rgb());       // grip
    EXPECT_EQ(at(62, 32), inverse.rgb());     // right grip at my = 30
    EXPECT_EQ(at(64, 64), inverse.rgb());     // bottom-right grip
    EXPECT_EQ(at(30, 30), background.rgb());  // the inside is left as it is
    EXPECT_EQ(at(1, 20), background.rgb());   // outside the frame, between grips
    // The frame is dotted: some pixels along its top are left as they are.
    int kept = 0;
    for (int x = 8; x < 25; ++x) kept += at(x, 2) == background.rgb();
    EXPECT_GT(kept, 3);
    EXPECT_LT(kept, 14);
  }
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
