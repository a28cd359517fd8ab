#include "controls/imagebutton.h"

#include <QEnterEvent>
#include <QPainter>

#include "controls/theme.h"

namespace {
// A copy of the picture with a white or black veil of the given strength.
QPixmap Veiled(const QPixmap& src, const QColor& veil) {
  if (src.isNull()) return src;
  QPixmap out = src;
  QPainter p(&out);
  p.setCompositionMode(QPainter::CompositionMode_SourceAtop);
  p.fillRect(QRectF(QPointF(0, 0), out.deviceIndependentSize()), veil);
  return out;
}
}  // namespace

TImageButton::TImageButton(QWidget* parent) : QAbstractButton(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setCursor(Qt::PointingHandCursor);
}

void TImageButton::SetPictures(const QString& base) {
  base_ = base;
  loadedDpr_ = 0;
  update();
}

void TImageButton::SetGlyph(const QString& name, QSize size) {
  glyph_ = name;
  glyphSize_ = size;
  loadedDpr_ = 0;
  update();
}

void TImageButton::SetAlternate(const QString& base, bool on) {
  altBase_ = base;
  alternate_ = on;
  loadedDpr_ = 0;
  update();
}

void TImageButton::Reload() {
  const qreal dpr = devicePixelRatioF();
  if (dpr == loadedDpr_ && size() == loadedSize_) return;
  loadedDpr_ = dpr;
  loadedSize_ = size();
  const QString base = (alternate_ && !altBase_.isEmpty()) ? altBase_ : base_;
  normal_ = over_ = down_ = glyphPm_ = QPixmap();
  if (!base.isEmpty()) {
    normal_ = theme::SkinPixmap(base + ".svg", size(), dpr);
    over_ = theme::SkinPixmap(base + "-hover.svg", size(), dpr);
    down_ = theme::SkinPixmap(base + "-pressed.svg", size(), dpr);
    if (over_.isNull()) over_ = Veiled(normal_, QColor(255, 255, 255, 50));
    if (down_.isNull()) down_ = Veiled(normal_, QColor(0, 0, 0, 70));
  }
  if (!glyph_.isEmpty()) glyphPm_ = theme::SkinPixmap(glyph_, glyphSize_, dpr);
}

void TImageButton::paintEvent(QPaintEvent*) {
  Reload();
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  if (!isEnabled()) p.setOpacity(0.45);
  const bool down = isDown() || (isCheckable() && isChecked());
  const QPixmap& pm = down ? down_ : (hover_ ? over_ : normal_);
  const QRect r = rect();
  if (!pm.isNull()) {
    p.drawPixmap(r, pm);
  } else {
    // No picture in the skin folder: a plain button of the window's colours.
    p.setPen(QColor(90, 134, 192));
    p.setBrush(down ? QColor(22, 48, 79) : (hover_ ? QColor(65, 113, 178) : QColor(49, 92, 149)));
    p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
  }
  const int shift = down ? 1 : 0;
  const QString caption = text();
  if (!glyphPm_.isNull()) {
    const int gy = caption.isEmpty() ? (height() - glyphSize_.height()) / 2 : 5;
    p.drawPixmap(QPoint((width() - glyphSize_.width()) / 2 + shift, gy + shift), glyphPm_);
  }
  if (!caption.isEmpty()) {
    p.setPen(Qt::white);
    p.setFont(font());
    QRect tr = glyphPm_.isNull() ? r : QRect(0, 5 + glyphSize_.height(), width(), height() - 8 - glyphSize_.height());
    p.drawText(tr.translated(shift, shift), Qt::AlignCenter, caption);
  }
  if (hasFocus()) {
    p.setOpacity(1);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(theme::kFocusRing, 2));
    p.drawRoundedRect(QRectF(r).adjusted(1, 1, -1, -1), 4, 4);
  }
}

void TImageButton::enterEvent(QEnterEvent* e) {
  hover_ = true;
  update();
  QAbstractButton::enterEvent(e);
}

void TImageButton::leaveEvent(QEvent* e) {
  hover_ = false;
  update();
  QAbstractButton::leaveEvent(e);
}

void TImageButton::changeEvent(QEvent* e) {
  if (e->type() == QEvent::ScreenChangeInternal) loadedDpr_ = 0;
  QAbstractButton::changeEvent(e);
}
