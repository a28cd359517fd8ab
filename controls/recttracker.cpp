#include "controls/recttracker.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

TRectTracker::TRectTracker(QWidget* parent) : QWidget(parent) {
  setMinimumSize(kMinSize, kMinSize);
  setMouseTracking(true);  // the cursor follows the zone under the mouse also without a drag
  setFocusPolicy(Qt::StrongFocus);
  resize(65, 65);
}

// --- hit test and cursors --------------------------------------------------------------------

TRectTracker::TTrackerZone TRectTracker::ZoneAt(const QPoint& p) const {
  const int w = width(), h = height();
  const int mx = (w + 1) / 2 - 3, my = (h + 1) / 2 - 3;
  const struct {
    QRect r;
    TTrackerZone zone;
  } zones[] = {
      {QRect(0, 0, kGrip, kGrip), tzTopLeft},
      {QRect(w - kGrip, h - kGrip, kGrip, kGrip), tzBottomRight},
      {QRect(0, h - kGrip, kGrip, kGrip), tzBottomLeft},
      {QRect(w - kGrip, 0, kGrip, kGrip), tzTopRight},
      {QRect(0, my, kGrip, kGrip), tzLeft},
      {QRect(w - kGrip, my, kGrip, kGrip), tzRight},
      {QRect(mx, 0, kGrip, kGrip), tzTop},
      {QRect(mx, h - kGrip, kGrip, kGrip), tzBottom},
      {InnerRect(), tzMove},
  };
  for (const auto& z : zones)
    if (z.r.contains(p)) return z.zone;
  return tzNone;
}

Qt::CursorShape TRectTracker::CursorFor(TTrackerZone zone) {
  switch (zone) {
    case tzLeft:
    case tzRight:
      return Qt::SizeHorCursor;
    case tzTop:
    case tzBottom:
      return Qt::SizeVerCursor;
    case tzTopRight:
    case tzBottomLeft:
      return Qt::SizeBDiagCursor;
    case tzTopLeft:
    case tzBottomRight:
      return Qt::SizeFDiagCursor;
    case tzMove:
      return Qt::SizeAllCursor;
    case tzNone:
      break;
  }
  return Qt::ArrowCursor;
}

// --- painting --------------------------------------------------------------------------------

void TRectTracker::paintEvent(QPaintEvent*) {
  QPainter p(this);
  // Each pixel becomes the pen colour OR the inverse of what is under it: with a black pen the
  // frame and grips show as the inverse of the picture.
  p.setCompositionMode(QPainter::RasterOp_SourceOrNotDestination);
  const int w = width(), h = height();
  p.setPen(QPen(Qt::black, 1, Qt::DotLine));
  p.setBrush(Qt::NoBrush);
  p.drawRect(QRect(kFrame, kFrame, w - 2 * kFrame - 1, h - 2 * kFrame - 1));

  p.setPen(Qt::NoPen);
  p.setBrush(Qt::black);
  const int mx = (w + 1) / 2 - 3, my = (h + 1) / 2 - 3;
  const QPoint grips[] = {{0, 0},          {0, my},        {0, h - kGrip},  {mx, 0},
                          {mx, h - kGrip}, {w - kGrip, 0}, {w - kGrip, my}, {w - kGrip, h - kGrip}};
  for (const QPoint& g : grips) p.drawRect(QRect(g, QSize(kGrip, kGrip)));
}

// --- associated control ----------------------------------------------------------------------

void TRectTracker::SetAcControl(QWidget* control) {
  if (control == this) return;  // the tracker cannot surround itself
  acControl_ = control;
  if (!control) return;
  placing_ = true;
  QRect g = control->geometry();
  if (control->parentWidget() != parentWidget() && control->parentWidget() && parentWidget())
    g.moveTopLeft(control->parentWidget()->mapTo(parentWidget(), g.topLeft()));
  setGeometry(g.adjusted(-kAround, -kAround, kAround, kAround));
  placing_ = false;
}

void TRectTracker::FollowAcControl() {
  if (placing_ || !acControl_) return;
  const QRect want = geometry().adjusted(kAround, kAround, -kAround, -kAround);
  QRect g = want;
  if (acControl_->parentWidget() != parentWidget() && acControl_->parentWidget() && parentWidget())
    g.moveTopLeft(acControl_->parentWidget()->mapFrom(parentWidget(), g.topLeft()));
  acControl_->setGeometry(g);
  // A control that cannot take the bounds (its own size limits) is no longer carried along.
  if (acControl_->size() != g.size()) acControl_ = nullptr;
}

void TRectTracker::moveEvent(QMoveEvent* e) {
  QWidget::moveEvent(e);
  FollowAcControl();
}

void TRectTracker::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  FollowAcControl();
}

// --- mouse -----------------------------------------------------------------------------------

void TRectTracker::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) {
    pressBounds_ = geometry();
    press_ = e->position().toPoint();
    zone_ = ZoneAt(press_);
  }
  emit MouseDown(e->position().toPoint());
}

void TRectTracker::mouseMoveEvent(QMouseEvent* e) {
  const QPoint pt = e->position().toPoint();
  if (zone_ != tzNone && (e->buttons() & Qt::LeftButton)) {
    int dx = pt.x() - press_.x(), dy = pt.y() - press_.y();
    int l = x(), t = y(), w = width(), h = height();
    // An edge that moves the origin never pushes the opposite edge: the step is cut so that
    // the size stops at the minimum.
    auto moveLeft = [&] {
      if (w > kMinSize || dx <= 0) {
        const int step = std::min(dx, w - kMinSize);
        l += step;
        w -= step;
      }
    };
    auto moveTop = [&] {
      if (h > kMinSize || dy <= 0) {
        const int step = std::min(dy, h - kMinSize);
        t += step;
        h -= step;
      }
    };
    switch (zone_) {
      case tzLeft:
        moveLeft();
        break;
      case tzRight:
        w += dx;
        press_.setX(pt.x());
        break;
      case tzTop:
        moveTop();
        break;
      case tzBottom:
        h += dy;
        press_.setY(pt.y());
        break;
      case tzTopLeft:
        moveLeft();
        moveTop();
        break;
      case tzTopRight:
        w += dx;
        moveTop();
        press_.setX(pt.x());
        break;
      case tzBottomLeft:
        h += dy;
        moveLeft();
        press_.setY(pt.y());
        break;
      case tzBottomRight:
        w += dx;
        h += dy;
        press_ = pt;
        break;
      case tzMove:
        l += dx;
        t += dy;
        break;
      case tzNone:
        break;
    }
    const QRect bounds(l, t, std::max(w, kMinSize), std::max(h, kMinSize));
    if (bounds != geometry()) setGeometry(bounds);
  }
  // The grab keeps the coordinates relative to where the tracker is now.
  setCursor(CursorFor(ZoneAt(mapFromGlobal(e->globalPosition().toPoint()))));
  emit MouseMove(pt);
}

void TRectTracker::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) {
    emit MouseUp(e->position().toPoint());
    return;
  }
  const bool wasDragging = zone_ != tzNone || press_ != QPoint(-1, -1);
  press_ = QPoint(-1, -1);
  zone_ = tzNone;
  emit MouseUp(e->position().toPoint());
  if (wasDragging && geometry() != pressBounds_) emit Change(TrackRect());
}

void TRectTracker::keyPressEvent(QKeyEvent* e) {
  int dx = 0, dy = 0;
  switch (e->key()) {
    case Qt::Key_Left:
      dx = -1;
      break;
    case Qt::Key_Right:
      dx = 1;
      break;
    case Qt::Key_Up:
      dy = -1;
      break;
    case Qt::Key_Down:
      dy = 1;
      break;
    default:
      QWidget::keyPressEvent(e);
      return;
  }
  if (zone_ != tzNone) return;  // not during a mouse drag
  const bool resize = e->modifiers() & Qt::ShiftModifier;
  const QPoint from = resize ? QPoint(width() - 1, height() - 1) : rect().center();
  zone_ = resize ? tzBottomRight : tzMove;
  pressBounds_ = geometry();
  emit MouseDown(from);
  QRect bounds = geometry();
  if (resize) {
    const int least = kMinSize + 2 * kFrame;
    bounds.setWidth(std::max(least, bounds.width() + dx));
    bounds.setHeight(std::max(least, bounds.height() + dy));
  } else {
    bounds.translate(dx, dy);
  }
  setGeometry(bounds);
  emit MouseMove(from + QPoint(dx, dy));
  zone_ = tzNone;
  emit MouseUp(from + QPoint(dx, dy));
  if (geometry() != pressBounds_) emit Change(TrackRect());
}
