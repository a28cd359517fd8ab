#include "controls/videosurface.h"

#include <QMetaObject>
#include <QMouseEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QStringList>
#include <QResizeEvent>

#include <algorithm>
#include <cstring>

TVideoSurfaceWidget::TVideoSurfaceWidget(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::ClickFocus);
  width_ = width();
  height_ = height();
}

void TVideoSurfaceWidget::ClientSize(int& width, int& height) const {
  width = width_;
  height = height_;
}

void TVideoSurfaceWidget::Present(const TBitmap24& picture, int x, int y, int outWidth, int outHeight,
                                  int64_t pts) {
  if (picture.Empty()) return;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (picture_.width() != picture.Width || picture_.height() != picture.Height)
      picture_ = QImage(picture.Width, picture.Height, QImage::Format_BGR888);
    const size_t rowBytes = size_t(picture.Width) * 3;
    for (int row = 0; row < picture.Height; ++row) std::memcpy(picture_.scanLine(row), picture.Row(row), rowBytes);
    rect_ = QRect(x, y, picture.Width, picture.Height);
    outSize_ = QSize(outWidth, outHeight);
    pts_ = pts;
  }
  RequestRepaint();
}

void TVideoSurfaceWidget::ShowSubtitle(const std::string& text) {
  {
    std::lock_guard<std::mutex> g(lock_);
    subtitle_ = QString::fromStdString(text);
  }
  RequestRepaint();
}

void TVideoSurfaceWidget::RequestRepaint() {
  // One repaint request at a time; the newest picture wins.
  if (!updatePending_.exchange(true))
    QMetaObject::invokeMethod(
        this,
        [this] {
          updatePending_ = false;
          update();
        },
        Qt::QueuedConnection);
}

QImage TVideoSurfaceWidget::Picture() const {
  std::lock_guard<std::mutex> g(lock_);
  return picture_.copy();
}

QRect TVideoSurfaceWidget::PictureRect() const {
  std::lock_guard<std::mutex> g(lock_);
  return rect_;
}

int64_t TVideoSurfaceWidget::PicturePts() const {
  std::lock_guard<std::mutex> g(lock_);
  return pts_;
}

QString TVideoSurfaceWidget::SubtitleText() const {
  std::lock_guard<std::mutex> g(lock_);
  return subtitle_;
}

void TVideoSurfaceWidget::Clear() {
  {
    std::lock_guard<std::mutex> g(lock_);
    picture_ = QImage();
    rect_ = QRect();
    pts_ = -1;
    subtitle_.clear();
  }
  update();
}

void TVideoSurfaceWidget::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::black);
  std::lock_guard<std::mutex> g(lock_);
  if (picture_.isNull()) return;
  QRectF target;
  if (outSize_ == size()) {
    // The picture was made at this size: drawn as it is.
    target = rect_;
    p.drawImage(rect_.topLeft(), picture_);
  } else if (outSize_.width() > 0 && outSize_.height() > 0) {
    // Resized since the player made it: stretched until the next picture arrives.
    const double sx = double(width()) / outSize_.width(), sy = double(height()) / outSize_.height();
    target = QRectF(rect_.x() * sx, rect_.y() * sy, rect_.width() * sx, rect_.height() * sy);
    p.drawImage(target, picture_);
  }
  if (!subtitle_.isEmpty() && !target.isEmpty()) PaintSubtitle(p, target);
}

namespace {
// The text's lines, each broken at spaces where it is wider than maxWidth (a single word wider
// than that stays whole).
QStringList WrapLines(const QString& text, const QFontMetricsF& metrics, double maxWidth) {
  QStringList out;
  for (const QString& line : text.split(QLatin1Char('\n'))) {
    QString current;
    for (const QString& word : line.split(QLatin1Char(' '))) {
      const QString candidate = current.isEmpty() ? word : current + QLatin1Char(' ') + word;
      if (!current.isEmpty() && metrics.horizontalAdvance(candidate) > maxWidth) {
        out << current;
        current = word;
      } else {
        current = candidate;
      }
    }
    out << current;
  }
  return out;
}
}  // namespace

// White lines with a dark outline, centred, the last one just above the picture's bottom edge;
// the letters grow with the picture, and lines wider than the picture are broken.
void TVideoSurfaceWidget::PaintSubtitle(QPainter& p, const QRectF& pictureRect) const {
  const int pixelSize = std::max(10, int(pictureRect.height() / 18));
  QFont font(this->font());
  font.setPixelSize(pixelSize);
  font.setBold(true);
  const QFontMetricsF metrics(font);
  const QStringList lines = WrapLines(subtitle_, metrics, pictureRect.width() - 2 * pixelSize);
  const double lineHeight = metrics.lineSpacing();
  double baseline = pictureRect.bottom() - pixelSize * 0.6 - metrics.descent() - lineHeight * (lines.size() - 1);
  QPainterPath path;
  for (const QString& line : lines) {
    const double x = pictureRect.center().x() - metrics.horizontalAdvance(line) / 2;
    path.addText(QPointF(x, baseline), font, line);
    baseline += lineHeight;
  }
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.setClipRect(pictureRect);
  p.strokePath(path, QPen(QColor(16, 16, 16), std::max(2.0, pixelSize / 8.0), Qt::SolidLine, Qt::RoundCap,
                          Qt::RoundJoin));
  p.fillPath(path, Qt::white);
  p.restore();
}

void TVideoSurfaceWidget::resizeEvent(QResizeEvent* event) {
  width_ = event->size().width();
  height_ = event->size().height();
  QWidget::resizeEvent(event);
}

void TVideoSurfaceWidget::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  QWidget::mousePressEvent(event);
}
