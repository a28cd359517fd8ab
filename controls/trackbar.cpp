#include "controls/trackbar.h"

#include "controls/theme.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>

#include <algorithm>
#include <cstdint>

TTrackBar2::TTrackBar2(QWidget* parent) : QWidget(parent) {
  tickColor_ = palette().color(QPalette::Button);
  thumbColor_ = tickColor_;
  setFocusPolicy(Qt::StrongFocus);
  resize(500, 50);
  orientation_ = trHorizontal;  // the shape of the initial size
}

// --- positions and range ---------------------------------------------------------------------

void TTrackBar2::SetPositionL(int v) {
  if (v == posL_) return;
  posL_ = v;
  if (secondThumb_ && v >= posU_)
    posL_ = posU_ - 1;
  else if (v > max_)
    posL_ = max_;
  else if (v < min_)
    posL_ = min_;
  emit Change();
  update();
}

void TTrackBar2::SetPositionU(int v) {
  if (v == posU_) return;
  posU_ = v;
  if (v > max_)
    posU_ = max_;
  else if (posL_ >= v)
    posU_ = posL_ + 1;
  emit Change();
  update();
}

void TTrackBar2::SetMin(int v) {
  min_ = v;
  if (posL_ < v) posL_ = v;
  update();
}

void TTrackBar2::SetMax(int v) {
  max_ = v;
  if (posU_ > v) posU_ = v;
  update();
}

void TTrackBar2::SetSecondThumb(bool v) {
  secondThumb_ = v;
  update();
}

#define TRACKBAR_SETTER(Name, member)              \
  void TTrackBar2::Set##Name(decltype(member) v) { \
    member = v;                                    \
    update();                                      \
  }
TRACKBAR_SETTER(TrackSize, trackSize_)
TRACKBAR_SETTER(TrackStyle, trackStyle_)
TRACKBAR_SETTER(TickSize, tickSize_)
TRACKBAR_SETTER(TickStyle, tickStyle_)
TRACKBAR_SETTER(TickOrientation, tickOrientation_)
TRACKBAR_SETTER(TickInterval, tickInterval_)
TRACKBAR_SETTER(ThumbSize, thumbSize_)
TRACKBAR_SETTER(ThumbLength, thumbLength_)
TRACKBAR_SETTER(ThumbStyle, thumbStyle_)
TRACKBAR_SETTER(DitherThumb, ditherThumb_)
#undef TRACKBAR_SETTER
void TTrackBar2::SetTrackColor(const QColor& v) {
  trackColor_ = v;
  update();
}
void TTrackBar2::SetTickColor(const QColor& v) {
  tickColor_ = v;
  update();
}
void TTrackBar2::SetThumbColor(const QColor& v) {
  thumbColor_ = v;
  update();
}

void TTrackBar2::SetOrientation(TOrientation v) {
  orientation_ = v;
  const bool tall = height() >= width();
  if ((v == trVertical) != tall && width() != height()) resize(height(), width());
  update();
}

void TTrackBar2::resizeEvent(QResizeEvent* e) {
  // The shape decides the direction: taller than wide is vertical.
  if (width() != height()) orientation_ = height() >= width() ? trVertical : trHorizontal;
  QWidget::resizeEvent(e);
}

// --- geometry --------------------------------------------------------------------------------

int TTrackBar2::RangePixels() const { return (orientation_ == trHorizontal ? width() : height()) - thumbSize_; }

int TTrackBar2::ThumbOffset() const { return thumbStyle_ == tsUserDrawn ? thumbSize_ / 2 : thumbSize_ / 4; }

QPoint TTrackBar2::ThumbOrigin(int position) const {
  // Built-in thumbs are half as wide as ThumbSize and centred in its room.
  const int centring = thumbStyle_ == tsUserDrawn ? 0 : thumbSize_ / 4;
  const int64_t range = std::max(RangePixels(), 0);
  const int64_t span = Span();
  if (orientation_ == trHorizontal) {
    const int x = span > 0 ? int(range * (int64_t(position) - min_) / span) : 0;
    return {x + centring, height() / 2 - thumbLength_ / 2};
  }
  const int y = span > 0 ? int(range * (int64_t(max_) - position) / span) : 0;
  return {width() / 2 - thumbLength_ / 2, y + centring};
}

QRect TTrackBar2::ThumbRect(int position) const {
  const int along = thumbStyle_ == tsUserDrawn ? thumbSize_ : std::max(thumbSize_ / 2, 1);
  const QPoint o = ThumbOrigin(position);
  return orientation_ == trHorizontal ? QRect(o.x(), o.y(), along, thumbLength_)
                                      : QRect(o.x(), o.y(), thumbLength_, along);
}

int TTrackBar2::PositionAt(const QPoint& p) const {
  const int64_t range = RangePixels();
  if (range <= 0) return min_;
  const int64_t step = (int64_t(Along(p)) - ThumbOffset()) * Span() / range;
  const int64_t v = orientation_ == trHorizontal ? min_ + step : max_ - step;
  return int(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// --- mouse and keys --------------------------------------------------------------------------

void TTrackBar2::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(e);
    return;
  }
  const QPoint pt = e->position().toPoint();
  const int a = Along(pt);
  const bool horizontal = orientation_ == trHorizontal;
  bool upper = false;
  if (secondThumb_) {
    const QRect l = ThumbRect(posL_), u = ThumbRect(posU_);
    // Between the lower thumb's far edge and the upper thumb's near edge.
    upper = horizontal ? 2 * a > (l.right() + 1) + u.left() : 2 * a < (u.bottom() + 1) + l.top();
  }
  const int pos = upper ? posU_ : posL_;
  const QRect r = ThumbRect(pos);
  if (thumbStyle_ != tsUserDrawn && r.contains(pt)) {
    (upper ? trackingU_ : trackingL_) = true;
  } else if (!(e->modifiers() & Qt::ShiftModifier)) {
    upper ? SetPositionU(PositionAt(pt)) : SetPositionL(PositionAt(pt));
  } else {
    // One small step toward the press.
    const int nearEdge = horizontal ? r.left() : r.bottom();
    const int farEdge = horizontal ? r.right() : r.top();
    int delta = 0;
    if (horizontal ? a > farEdge : a < farEdge)
      delta = smallChange_;
    else if (horizontal ? a < nearEdge : a > nearEdge)
      delta = -smallChange_;
    if (delta) upper ? SetPositionU(pos + delta) : SetPositionL(pos + delta);
  }
  QWidget::mousePressEvent(e);
}

void TTrackBar2::mouseMoveEvent(QMouseEvent* e) {
  if (trackingL_) SetPositionL(PositionAt(e->position().toPoint()));
  if (trackingU_) SetPositionU(PositionAt(e->position().toPoint()));
  QWidget::mouseMoveEvent(e);
}

void TTrackBar2::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) trackingL_ = trackingU_ = false;
  QWidget::mouseReleaseEvent(e);
}

void TTrackBar2::keyPressEvent(QKeyEvent* e) {
  int delta = 0;
  switch (e->key()) {
    case Qt::Key_PageUp:
      delta = largeChange_;
      break;
    case Qt::Key_PageDown:
      delta = -largeChange_;
      break;
    case Qt::Key_Up:
    case Qt::Key_Right:
      delta = smallChange_;
      break;
    case Qt::Key_Left:
    case Qt::Key_Down:
      delta = -smallChange_;
      break;
    default:
      break;
  }
  if (delta) {
    if (secondThumb_ && (e->modifiers() & Qt::ShiftModifier))
      SetPositionU(posU_ + delta);
    else
      SetPositionL(posL_ + delta);
  }
  QWidget::keyPressEvent(e);
}

void TTrackBar2::focusInEvent(QFocusEvent* e) {
  update();
  QWidget::focusInEvent(e);
}
void TTrackBar2::focusOutEvent(QFocusEvent* e) {
  update();
  QWidget::focusOutEvent(e);
}
void TTrackBar2::changeEvent(QEvent* e) {
  if (e->type() == QEvent::EnabledChange) update();
  QWidget::changeEvent(e);
}

// --- painting --------------------------------------------------------------------------------

void TTrackBar2::paintEvent(QPaintEvent*) {
  emit Painting();
  QPainter p(this);
  if (trackStyle_ == trUserDrawn)
    emit DrawTrack(&p);
  else
    PaintBuiltInTrack(p);

  if (tickInterval_ > 0) {
    const bool horizontal = orientation_ == trHorizontal;
    const int across = horizontal ? height() : width();
    const int along = thumbStyle_ == tsUserDrawn ? thumbSize_ : std::max(thumbSize_ / 2, 1);
    for (int64_t v = min_; v <= max_; v += tickInterval_) {
      const QPoint o = ThumbOrigin(int(v));
      const int at = (horizontal ? o.x() : o.y()) + along / 2;
      for (int side = 0; side < 2; ++side) {
        if (side == 0 && tickOrientation_ == toBottomRight) continue;
        if (side == 1 && tickOrientation_ == toTopLeft) continue;
        const int off = side == 0 ? 2 : across - tickSize_ - 2;
        const int x = horizontal ? at : off, y = horizontal ? off : at;
        if (tickStyle_ == tiUserDrawn)
          emit DrawTick(&p, x, y, int(v));
        else
          PaintBuiltInTick(p, x, y);
      }
    }
  }

  for (int i = 0; i < (secondThumb_ ? 2 : 1); ++i) {
    const int pos = i == 0 ? posL_ : posU_;
    if (thumbStyle_ == tsUserDrawn) {
      const QPoint o = ThumbOrigin(pos);
      emit DrawThumb(&p, o.x(), o.y());
    } else {
      PaintBuiltInThumb(p, ThumbRect(pos));
    }
  }
  if (hasFocus() && thumbStyle_ != tsUserDrawn) {
    p.setPen(theme::kFocusRing);
    p.setBrush(Qt::NoBrush);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
  }
}

void TTrackBar2::PaintBuiltInTrack(QPainter& p) {
  const bool horizontal = orientation_ == trHorizontal;
  const int across = horizontal ? height() : width();
  const int top = (across - trackSize_) / 2;
  const QRect r = horizontal ? QRect(0, top, width(), trackSize_) : QRect(top, 0, trackSize_, height());
  p.fillRect(r, trackColor_);
  if (trackStyle_ == trFlat) return;
  const QColor light = trackColor_.lighter(150), dark = trackColor_.darker(180);
  const bool raised = trackStyle_ == trRaised;
  p.setPen(raised ? light : dark);
  p.drawLine(r.topLeft(), r.topRight());
  p.drawLine(r.topLeft(), r.bottomLeft());
  p.setPen(raised ? dark : light);
  p.drawLine(r.bottomLeft(), r.bottomRight());
  p.drawLine(r.topRight(), r.bottomRight());
}

void TTrackBar2::PaintBuiltInTick(QPainter& p, int x, int y) {
  const bool horizontal = orientation_ == trHorizontal;
  if (tickStyle_ == tiLine) {
    p.setPen(tickColor_.darker(200));
    horizontal ? p.drawLine(x, y, x, y + tickSize_ - 1) : p.drawLine(x, y, x + tickSize_ - 1, y);
    return;
  }
  const QRect r(x - 1, y, 3, tickSize_);
  p.fillRect(horizontal ? r : QRect(x, y - 1, tickSize_, 3), tickColor_);
}

void TTrackBar2::PaintBuiltInThumb(QPainter& p, const QRect& r) {
  QBrush brush(thumbColor_);
  if (!isEnabled() && ditherThumb_) brush.setStyle(Qt::Dense4Pattern);
  p.fillRect(r, brush);
  if (thumbStyle_ == tsRectangle) return;
  const bool lowered = thumbStyle_ == tsLoweredRectangle;
  p.setPen(lowered ? thumbColor_.darker(180) : thumbColor_.lighter(150));
  p.drawLine(r.topLeft(), r.topRight());
  p.drawLine(r.topLeft(), r.bottomLeft());
  p.setPen(lowered ? thumbColor_.lighter(150) : thumbColor_.darker(180));
  p.drawLine(r.bottomLeft(), r.bottomRight());
  p.drawLine(r.topRight(), r.bottomRight());
}
