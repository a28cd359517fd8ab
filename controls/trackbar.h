// The slider behind the seek, volume and range bars: one or two positions on an integer range,
// moved with the mouse and the keyboard. The program's bars draw themselves: with the
// user-drawn styles the track, the ticks and the thumbs are painted by whoever handles the
// Draw... signals (connected directly: the painter is valid only during the call).
#pragma once

#include <QColor>
#include <QRect>
#include <QWidget>

class QPainter;

class TTrackBar2 : public QWidget {
  Q_OBJECT
public:
  enum TOrientation { trHorizontal, trVertical };
  enum TTrackStyle { trUserDrawn, trFlat, trRaised, trLowered };
  enum TTickStyle { tiUserDrawn, tiLine, tiSquare, tiRaisedSquare, tiLoweredSquare };
  enum TTickOrientation { toTopLeft, toBottomRight, toBoth };
  enum TThumbStyle {
    tsUserDrawn,
    tsRectangle,
    tsRaisedRectangle,
    tsLoweredRectangle,
    tsSmallPointer,
    tsMediumPointer,
    tsLargePointer
  };

  explicit TTrackBar2(QWidget* parent = nullptr);

  int Min() const { return min_; }
  int Max() const { return max_; }
  int PositionL() const { return posL_; }
  int PositionU() const { return posU_; }
  bool SecondThumb() const { return secondThumb_; }
  int SmallChange() const { return smallChange_; }
  int LargeChange() const { return largeChange_; }
  TOrientation Orientation() const { return orientation_; }
  int TrackSize() const { return trackSize_; }
  TTrackStyle TrackStyle() const { return trackStyle_; }
  QColor TrackColor() const { return trackColor_; }
  int TickSize() const { return tickSize_; }
  TTickStyle TickStyle() const { return tickStyle_; }
  QColor TickColor() const { return tickColor_; }
  TTickOrientation TickOrientation() const { return tickOrientation_; }
  int TickInterval() const { return tickInterval_; }
  int ThumbSize() const { return thumbSize_; }
  // The thumb's extent across the track (its height on a horizontal bar).
  int ThumbLength() const { return thumbLength_; }
  TThumbStyle ThumbStyle() const { return thumbStyle_; }
  QColor ThumbColor() const { return thumbColor_; }
  bool DitherThumb() const { return ditherThumb_; }
  bool TrackingL() const { return trackingL_; }
  bool TrackingU() const { return trackingU_; }

  // Position setters: corrected into the range (and, with two thumbs, kept apart); Change is
  // emitted after every change, also when the value was corrected.
  void SetPositionL(int v);
  void SetPositionU(int v);
  // Range setters: the upper position follows a lower maximum, the lower one a higher minimum;
  // no Change.
  void SetMin(int v);
  void SetMax(int v);
  void SetSecondThumb(bool v);
  void SetSmallChange(int v) { smallChange_ = v; }
  void SetLargeChange(int v) { largeChange_ = v; }
  // Turns the control to the other shape (width and height swapped) when it does not match.
  void SetOrientation(TOrientation v);
  void SetTrackSize(int v);
  void SetTrackStyle(TTrackStyle v);
  void SetTrackColor(const QColor& v);
  void SetTickSize(int v);
  void SetTickStyle(TTickStyle v);
  void SetTickColor(const QColor& v);
  void SetTickOrientation(TTickOrientation v);
  void SetTickInterval(int v);
  void SetThumbSize(int v);
  void SetThumbLength(int v);
  void SetThumbStyle(TThumbStyle v);
  void SetThumbColor(const QColor& v);
  void SetDitherThumb(bool v);

  // Pixel geometry (along the bar): the usable length, the offset of a press from the thumb's
  // edge, the thumb's top-left corner for a position, and the position a pixel gives.
  int RangePixels() const;
  int ThumbOffset() const;
  QPoint ThumbOrigin(int position) const;
  QRect ThumbRect(int position) const;
  int PositionAt(const QPoint& p) const;

  QSize sizeHint() const override { return {500, 50}; }

signals:
  void Change();
  void Painting();
  void DrawTrack(QPainter* canvas);
  void DrawThumb(QPainter* canvas, int x, int y);
  void DrawTick(QPainter* canvas, int x, int y, int position);

protected:
  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void keyPressEvent(QKeyEvent*) override;
  void focusInEvent(QFocusEvent*) override;
  void focusOutEvent(QFocusEvent*) override;
  void changeEvent(QEvent*) override;

private:
  int Along(const QPoint& p) const { return orientation_ == trHorizontal ? p.x() : p.y(); }
  int Span() const { return max_ - min_; }
  void PaintBuiltInTrack(QPainter& p);
  void PaintBuiltInTick(QPainter& p, int x, int y);
  void PaintBuiltInThumb(QPainter& p, const QRect& r);

  int min_ = 0, max_ = 20;
  int posL_ = 0, posU_ = 10;
  bool secondThumb_ = false;
  int smallChange_ = 1, largeChange_ = 2;
  TOrientation orientation_ = trVertical;
  int trackSize_ = 10;
  TTrackStyle trackStyle_ = trLowered;
  QColor trackColor_ = Qt::white;
  int tickSize_ = 6;
  TTickStyle tickStyle_ = tiRaisedSquare;
  QColor tickColor_;
  TTickOrientation tickOrientation_ = toBoth;
  int tickInterval_ = 1;
  int thumbSize_ = 20;
  int thumbLength_ = 20;
  TThumbStyle thumbStyle_ = tsRaisedRectangle;
  QColor thumbColor_;
  bool ditherThumb_ = true;
  bool trackingL_ = false, trackingU_ = false;
};
