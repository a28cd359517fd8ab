// The watermark dialog's layered editor: a view that shows a picture (the file's latest frame)
// fitted into it and centred over a chequered background, with one layer per watermark item
// in picture coordinates, and a selection frame whose handles move and resize the selected
// layer. The picture itself carries the items as the conversion draws them; the layers are
// the items' boxes for the mouse, and the frame and its handles are drawn over the picture,
// never into it.
#pragma once

#include <QGraphicsItem>
#include <QGraphicsView>
#include <QImage>
#include <QMargins>
#include <cstdint>
#include <string>
#include <vector>

#include "media/bitmap.h"
#include "render/wmrec.h"

class QGraphicsScene;
class TConversionRenderer;
class TWmLayer;

// The editor's picture of a frame: the items drawn by the conversion's renderer at the frame's
// time (picture items whose files went missing left out, the others still shown), the part the
// crop keeps outlined, in the display shape (pixelAspect: the shown width of one pixel, its
// height counting 1).
QImage WmEditorPicture(TBitmap24 frame, int64_t pts, std::vector<TWmRec> marks, const QMargins& crop,
                       TConversionRenderer& renderer, double pixelAspect);

// One row of the watermark dialog's item list: its layer (position, size and opacity count from
// it) and the rest of the item.
struct TWmItem {
  TWmLayer* Layer = nullptr;
  std::string Text;  // text item: the row text
  TWmFont Font;
  TColorRGB BackColor = clGreen;
  bool HasBackColor = false;
  std::string ImageFile;
  int32_t Kind = wmkText;
  int32_t StartSec = 0;
  int32_t EndSec = 0;

  // The stored form: the layer's box from the shown picture (pixelAspect: the shown width of
  // one pixel) to the coded one.
  TWmRec Stored(double pixelAspect) const;
};

// One item's box: position and size in picture pixels (floating point), opacity 0..255 and a
// tag (0 text, 1 picture). Layers out of their time range are hidden: the mouse passes them.
class TWmLayer : public QGraphicsItem {
public:
  explicit TWmLayer(int tag) : tag_(tag) {}
  QRectF Rect() const { return QRectF(pos(), size_); }
  void SetRect(const QRectF& r);
  int Opacity() const { return opacity_; }
  void SetOpacity(int v) { opacity_ = v < 0 ? 0 : v > 255 ? 255 : v; }
  int Tag() const { return tag_; }

  QRectF boundingRect() const override { return QRectF(QPointF(0, 0), size_); }
  // Nothing of its own: the item is in the picture.
  void paint(QPainter*, const QStyleOptionGraphicsItem*, QWidget*) override {}

private:
  QSizeF size_;
  int opacity_ = 255;
  int tag_;
};

class TWmEditorView : public QGraphicsView {
  Q_OBJECT
public:
  // The selection frame's handles, clockwise from the top-left corner.
  enum THandle { hNone = -1, hTopLeft, hTop, hTopRight, hRight, hBottomRight, hBottom, hBottomLeft, hLeft };
  static constexpr int kHandleSize = 7;
  static constexpr int kSquare = 13;  // background squares

  explicit TWmEditorView(QWidget* parent = nullptr);

  // The picture shown under the layers, in picture pixels; a new size refits the view.
  void SetPicture(const QImage& picture);
  const QImage& Picture() const { return picture_; }
  // Forgets the picture, the layers and the selection.
  void Clear();

  TWmLayer* AddLayer(int tag, const QRectF& rect, int opacity);
  void RemoveLayer(TWmLayer* layer);
  // Drawing order, lowest first.
  void SetOrder(const std::vector<TWmLayer*>& layers);
  void Select(TWmLayer* layer);  // null: none
  TWmLayer* Selected() const { return selected_; }
  // Shows the selection frame on the selected layer's current box.
  void UpdateSelection();

  // The picture point under the centre of the view.
  QPointF CentrePoint() const;
  // The selected layer's handle rectangles in view (viewport) pixels.
  QRectF HandleRect(THandle h) const;
  // Zoom relative to the fitted size (1 = the whole picture fits); larger pictures scroll.
  double Zoom() const { return zoom_; }
  void SetZoom(double zoom);

  // Ctrl-resizing: the box changed symmetrically about its centre, never less than 2 pixels
  // from the centre to an edge. Public for the tests of the geometry.
  static QRectF ResizedRect(const QRectF& start, THandle h, QPointF delta, bool symmetric);

signals:
  // A press on a layer (which is now selected).
  void LayerPressed(TWmLayer* layer);
  // The selected layer was moved or resized with the mouse.
  void LayerChanged(TWmLayer* layer);
  // The mouse moved over the view while a layer is selected.
  void MouseMovedOverSelection(TWmLayer* layer);

protected:
  void drawBackground(QPainter* painter, const QRectF& rect) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

private:
  class TSelectionFrame;
  void Fit();
  THandle HandleAt(const QPointF& viewPoint) const;

  QGraphicsScene* scene_;
  QImage picture_;
  TSelectionFrame* frame_;
  TWmLayer* selected_ = nullptr;
  double zoom_ = 1.0;
  // A drag in progress: the handle (or a move), where it started and the box then.
  bool dragging_ = false;
  THandle dragHandle_ = hNone;
  QPointF dragStart_;
  QRectF dragRect_;
};
