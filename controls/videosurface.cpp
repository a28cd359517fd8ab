#include "controls/videosurface.h"

#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>

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

void TVideoSurfaceWidget::Clear() {
  {
    std::lock_guard<std::mutex> g(lock_);
    picture_ = QImage();
    rect_ = QRect();
    pts_ = -1;
  }
  update();
}

void TVideoSurfaceWidget::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::black);
  std::lock_guard<std::mutex> g(lock_);
  if (picture_.isNull()) return;
  if (outSize_ == size()) {
    // The picture was made at this size: drawn as it is.
    p.drawImage(rect_.topLeft(), picture_);
  } else if (outSize_.width() > 0 && outSize_.height() > 0) {
    // Resized since the player made it: stretched until the next picture arrives.
    const double sx = double(width()) / outSize_.width(), sy = double(height()) / outSize_.height();
    p.drawImage(QRectF(rect_.x() * sx, rect_.y() * sy, rect_.width() * sx, rect_.height() * sy), picture_);
  }
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
