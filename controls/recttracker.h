// A rubber-band rectangle over a picture: eight square grips that move or resize it with the
// left mouse button. It draws only its frame and grips, as the inverse of whatever lies under
// them, so it stays visible over any picture. Its owner reads the bounds on every mouse move and
// gets Change once a drag has really changed them.
#pragma once

#include <QPointer>
#include <QRect>
#include <QWidget>

class TRectTracker : public QWidget {
  Q_OBJECT
public:
  // The part of the tracker under a point, in hit-test order of value.
  enum TTrackerZone {
    tzLeft,
    tzRight,
    tzTop,
    tzBottom,
    tzTopLeft,
    tzTopRight,
    tzBottomLeft,
    tzBottomRight,
    tzMove,
    tzNone
  };

  static constexpr int kGrip = 5;      // grip side
  static constexpr int kFrame = 2;     // frame inset of the inner rectangle
  static constexpr int kMinSize = 10;  // minimum width and height
  static constexpr int kAround = 5;    // margin kept around the associated control

  explicit TRectTracker(QWidget* parent = nullptr);

  // The zone at (x, y) in the tracker's own coordinates.
  TTrackerZone ZoneAt(const QPoint& p) const;
  static Qt::CursorShape CursorFor(TTrackerZone zone);
  // The inner rectangle in the tracker's own coordinates and in its parent's.
  QRect InnerRect() const { return QRect(kFrame, kFrame, width() - 2 * kFrame, height() - 2 * kFrame); }
  QRect TrackRect() const { return InnerRect().translated(pos()); }
  // The zone grabbed by the current drag (tzNone when idle).
  TTrackerZone DragZone() const { return zone_; }

  // A control kept kAround pixels inside the tracker: setting it places the tracker around it,
  // and every later move or resize of the tracker carries it along. Setting the tracker itself
  // (or null) clears the association; a destroyed control is forgotten.
  QWidget* AcControl() const { return acControl_; }
  void SetAcControl(QWidget* control);

signals:
  // After a drag that changed the bounds: the inner rectangle in parent coordinates.
  void Change(const QRect& trackRect);
  // The ordinary mouse notices, after the tracker's own handling (points in its coordinates).
  void MouseDown(const QPoint& p);
  void MouseMove(const QPoint& p);
  void MouseUp(const QPoint& p);

protected:
  void paintEvent(QPaintEvent*) override;
  void moveEvent(QMoveEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  // The arrow keys move the rectangle by one pixel, with Shift they move its bottom-right
  // corner (a resize): handled as a one-pixel drag, with the same notices.
  void keyPressEvent(QKeyEvent*) override;

private:
  void FollowAcControl();

  TTrackerZone zone_ = tzNone;
  QPoint press_{-1, -1};
  QRect pressBounds_;
  QPointer<QWidget> acControl_;
  bool placing_ = false;
};
