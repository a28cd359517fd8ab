#include "dialogs/wmeditor.h"

#include <QFileInfo>
#include <QGraphicsScene>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "dialogs/displayshape.h"
#include "media/errors.h"
#include "render/renderer.h"

QImage WmEditorPicture(TBitmap24 frame, int64_t pts, std::vector<TWmRec> marks, const QMargins& crop,
                       TConversionRenderer& renderer, double pixelAspect) {
  TPictureEdits job;
  job.WaterMarks = std::move(marks);
  THookInfo info;
  info.Bitmap = &frame;
  info.PTS = pts;
  try {
    renderer.RenderFrame(info, job);
  } catch (const FFmpegException&) {
    // A picture file gone since it was added: the others are still shown.
    std::erase_if(job.WaterMarks, [](const TWmRec& w) {
      return w.Kind == wmkImage && !QFileInfo(QString::fromStdString(w.ImageFile)).isReadable();
    });
    try {
      renderer.RenderFrame(info, job);
    } catch (const FFmpegException&) {
    }
  }
  QImage picture = QImage(frame.Pixels.data(), frame.Width, frame.Height, frame.Stride, QImage::Format_BGR888).copy();
  QPainter p(&picture);
  p.setPen(QPen(QColor(0, 128, 0), 2));
  p.setBrush(Qt::NoBrush);
  p.drawRect(QRectF(crop.left() + 1, crop.top() + 1, frame.Width - crop.right() - crop.left() - 2,
                    frame.Height - crop.bottom() - crop.top() - 2));
  p.end();
  if (pixelAspect != 1.0)
    picture = picture.scaled(ShownWidth(picture.width(), pixelAspect), picture.height(), Qt::IgnoreAspectRatio,
                             Qt::SmoothTransformation);
  return picture;
}

void TWmLayer::SetRect(const QRectF& r) {
  if (r.size() != size_) {
    prepareGeometryChange();
    size_ = r.size();
  }
  setPos(r.topLeft());
}

// The frame around the selected layer with its eight handles, drawn in view pixels whatever
// the zoom (the painter's transform is undone while drawing).
class TWmEditorView::TSelectionFrame : public QGraphicsItem {
public:
  void SetRect(const QRectF& r, double scale) {
    prepareGeometryChange();
    rect_ = r;
    pad_ = (kHandleSize + 2) / std::max(scale, 1e-6);
  }
  QRectF boundingRect() const override { return rect_.adjusted(-pad_, -pad_, pad_, pad_); }
  void paint(QPainter* p, const QStyleOptionGraphicsItem*, QWidget*) override {
    const QRectF r = p->worldTransform().mapRect(rect_);
    p->save();
    p->resetTransform();
    p->setRenderHint(QPainter::Antialiasing, false);
    p->setBrush(Qt::NoBrush);
    p->setPen(QPen(Qt::white, 1));
    p->drawRect(r);
    p->setPen(QPen(Qt::black, 1, Qt::DashLine));
    p->drawRect(r);
    p->setPen(QPen(Qt::black, 1));
    for (int h = hTopLeft; h <= hLeft; ++h) {
      const QRectF box = HandleBox(r, THandle(h));
      p->fillRect(box, Qt::white);
      p->drawRect(box);
    }
    p->restore();
  }
  static QRectF HandleBox(const QRectF& r, THandle h) {
    const double cx = (r.left() + r.right()) / 2, cy = (r.top() + r.bottom()) / 2;
    static constexpr int kx[8] = {0, 1, 2, 2, 2, 1, 0, 0}, ky[8] = {0, 0, 0, 1, 2, 2, 2, 1};
    const double xs[3] = {r.left(), cx, r.right()}, ys[3] = {r.top(), cy, r.bottom()};
    const double half = kHandleSize / 2.0;
    return QRectF(std::floor(xs[kx[h]] - half), std::floor(ys[ky[h]] - half), kHandleSize, kHandleSize);
  }

private:
  QRectF rect_;
  double pad_ = 0;
};

TWmEditorView::TWmEditorView(QWidget* parent) : QGraphicsView(parent) {
  scene_ = new QGraphicsScene(this);
  setScene(scene_);
  setFrameShape(QFrame::NoFrame);
  setAlignment(Qt::AlignCenter);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setRenderHint(QPainter::SmoothPixmapTransform, true);
  setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
  setMouseTracking(true);
  frame_ = new TSelectionFrame;
  frame_->setZValue(1e9);
  frame_->setVisible(false);
  scene_->addItem(frame_);
}

void TWmEditorView::SetPicture(const QImage& picture) {
  const bool resized = picture.size() != picture_.size();
  picture_ = picture;
  if (resized) {
    scene_->setSceneRect(QRectF(QPointF(0, 0), QSizeF(picture_.size())));
    Fit();
  }
  viewport()->update();
}

void TWmEditorView::Clear() {
  Select(nullptr);
  for (QGraphicsItem* item : scene_->items())
    if (item != frame_) {
      scene_->removeItem(item);
      delete item;
    }
  picture_ = QImage();
  viewport()->update();
}

TWmLayer* TWmEditorView::AddLayer(int tag, const QRectF& rect, int opacity) {
  auto* layer = new TWmLayer(tag);
  layer->SetRect(rect);
  layer->SetOpacity(opacity);
  scene_->addItem(layer);
  return layer;
}

void TWmEditorView::RemoveLayer(TWmLayer* layer) {
  if (!layer) return;
  if (layer == selected_) Select(nullptr);
  dragging_ = false;
  scene_->removeItem(layer);
  delete layer;
}

void TWmEditorView::SetOrder(const std::vector<TWmLayer*>& layers) {
  for (size_t i = 0; i < layers.size(); ++i) layers[i]->setZValue(double(i));
}

void TWmEditorView::Select(TWmLayer* layer) {
  selected_ = layer;
  dragging_ = false;
  UpdateSelection();
}

void TWmEditorView::UpdateSelection() {
  frame_->setVisible(selected_ != nullptr);
  if (selected_) frame_->SetRect(selected_->Rect(), transform().m11());
  viewport()->update();
}

QPointF TWmEditorView::CentrePoint() const { return mapToScene(viewport()->rect().center()); }

QRectF TWmEditorView::HandleRect(THandle h) const {
  if (!selected_ || h == hNone) return {};
  return TSelectionFrame::HandleBox(viewportTransform().mapRect(selected_->Rect()), h);
}

TWmEditorView::THandle TWmEditorView::HandleAt(const QPointF& p) const {
  if (!selected_) return hNone;
  for (int h = hTopLeft; h <= hLeft; ++h)
    if (HandleRect(THandle(h)).adjusted(-1, -1, 1, 1).contains(p)) return THandle(h);
  return hNone;
}

void TWmEditorView::SetZoom(double zoom) {
  zoom_ = std::clamp(zoom, 1.0, 16.0);
  Fit();
}

void TWmEditorView::Fit() {
  if (picture_.isNull() || viewport()->width() <= 0) return;
  // Fitted with the aspect kept, then the zoom: beyond 1 the picture is larger than the view
  // and the scroll bars show.
  const double fit = std::min(double(viewport()->width()) / picture_.width(),
                              double(viewport()->height()) / picture_.height());
  setTransform(QTransform::fromScale(fit * zoom_, fit * zoom_));
  UpdateSelection();
}

void TWmEditorView::resizeEvent(QResizeEvent* event) {
  QGraphicsView::resizeEvent(event);
  Fit();
}

void TWmEditorView::drawBackground(QPainter* painter, const QRectF&) {
  // Squares of the view's own pixels, the top-left one grey, then the picture.
  painter->save();
  painter->resetTransform();
  const QRect area = viewport()->rect();
  for (int y = 0; y < area.height(); y += kSquare)
    for (int x = 0; x < area.width(); x += kSquare)
      painter->fillRect(x, y, kSquare, kSquare,
                        ((x / kSquare + y / kSquare) % 2) ? QColor(Qt::white) : QColor(176, 176, 176));
  painter->restore();
  if (!picture_.isNull()) painter->drawImage(sceneRect(), picture_);
}

QRectF TWmEditorView::ResizedRect(const QRectF& start, THandle h, QPointF d, bool symmetric) {
  double l = start.left(), t = start.top(), r = start.right(), b = start.bottom();
  const bool left = h == hTopLeft || h == hBottomLeft || h == hLeft;
  const bool right = h == hTopRight || h == hBottomRight || h == hRight;
  const bool top = h == hTopLeft || h == hTopRight || h == hTop;
  const bool bottom = h == hBottomLeft || h == hBottomRight || h == hBottom;
  const QPointF c = start.center();
  if (symmetric) {
    // Both edges of a dragged side move, mirrored about the centre.
    if (left || right) {
      const double half = std::max(2.0, (left ? c.x() - (l + d.x()) : (r + d.x()) - c.x()));
      l = c.x() - half;
      r = c.x() + half;
    }
    if (top || bottom) {
      const double half = std::max(2.0, (top ? c.y() - (t + d.y()) : (b + d.y()) - c.y()));
      t = c.y() - half;
      b = c.y() + half;
    }
    return QRectF(QPointF(l, t), QPointF(r, b));
  }
  // The dragged edges move; never past the opposite edge (at least 1 x 1).
  if (left) l = std::min(l + d.x(), r - 1);
  if (right) r = std::max(r + d.x(), l + 1);
  if (top) t = std::min(t + d.y(), b - 1);
  if (bottom) b = std::max(b + d.y(), t + 1);
  return QRectF(QPointF(l, t), QPointF(r, b));
}

void TWmEditorView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QGraphicsView::mousePressEvent(event);
  const QPointF p = event->position();
  THandle h = HandleAt(p);
  TWmLayer* layer = selected_;
  if (h == hNone) {
    layer = nullptr;
    // The topmost shown layer under the mouse.
    for (QGraphicsItem* item : items(p.toPoint()))
      if (auto* l = dynamic_cast<TWmLayer*>(item); l && l->isVisible()) {
        layer = l;
        break;
      }
    if (!layer) return;
    Select(layer);
    emit LayerPressed(layer);
  }
  dragging_ = true;
  dragHandle_ = h;
  dragStart_ = viewportTransform().inverted().map(p);
  dragRect_ = layer->Rect();
  event->accept();
}

void TWmEditorView::mouseMoveEvent(QMouseEvent* event) {
  const QPointF p = event->position();
  if (!dragging_ || !selected_ || !(event->buttons() & Qt::LeftButton)) {
    dragging_ = dragging_ && (event->buttons() & Qt::LeftButton);
    const THandle h = HandleAt(p);
    static const Qt::CursorShape kShapes[8] = {Qt::SizeFDiagCursor, Qt::SizeVerCursor,   Qt::SizeBDiagCursor,
                                               Qt::SizeHorCursor,   Qt::SizeFDiagCursor, Qt::SizeVerCursor,
                                               Qt::SizeBDiagCursor, Qt::SizeHorCursor};
    viewport()->setCursor(h == hNone ? Qt::ArrowCursor : kShapes[h]);
    if (selected_) emit MouseMovedOverSelection(selected_);
    return;
  }
  const QPointF delta = viewportTransform().inverted().map(p) - dragStart_;
  const QRectF next = dragHandle_ == hNone
                          ? dragRect_.translated(delta)
                          : ResizedRect(dragRect_, dragHandle_, delta, event->modifiers() & Qt::ControlModifier);
  if (next != selected_->Rect()) {
    selected_->SetRect(next);
    UpdateSelection();
    emit LayerChanged(selected_);
  }
  emit MouseMovedOverSelection(selected_);
  event->accept();
}

void TWmEditorView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) dragging_ = false;
  event->accept();
}

void TWmEditorView::wheelEvent(QWheelEvent* event) {
  // Ctrl + wheel zooms; the wheel alone scrolls a zoomed picture.
  if (event->modifiers() & Qt::ControlModifier) {
    const int steps = event->angleDelta().y() / 120;
    if (steps != 0) SetZoom(zoom_ * std::pow(1.25, steps));
    event->accept();
    return;
  }
  QGraphicsView::wheelEvent(event);
}

TWmRec TWmItem::Stored(double pixelAspect) const {
  // From the shown picture to the coded one.
  const QRectF shown = Layer->Rect();
  const QRectF r(shown.left() / pixelAspect, shown.top(), shown.width() / pixelAspect, shown.height());
  TWmRec w;
  w.Kind = Kind;
  w.StartSec = StartSec;
  w.EndSec = EndSec;
  const int left = int(std::lround(r.left())), top = int(std::lround(r.top()));
  const int width = std::max(1, int(std::lround(r.width()))), height = std::max(1, int(std::lround(r.height())));
  if (Kind == wmkText) {
    w.Text = Text;
    w.Font = Font;
    w.BackColor = BackColor;
    w.HasBackColor = HasBackColor;
    w.TextLeft = left;
    w.TextTop = top;
    w.TextWidth = width;
    w.TextHeight = height;
    w.TextOpacity = Layer->Opacity();
    w.PixelAspect = pixelAspect;
  } else {
    w.ImageFile = ImageFile;
    w.ImageLeft = left;
    w.ImageTop = top;
    w.ImageWidth = width;
    w.ImageHeight = height;
    w.ImageOpacity = Layer->Opacity();
  }
  return w;
}
