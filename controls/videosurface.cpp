#include "controls/videosurface.h"

#include <QMetaObject>
#include <QMouseEvent>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QRawFont>
#include <QTextLayout>
#include <QPainter>
#include <QPainterPath>
#include <QStringList>
#include <QResizeEvent>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

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

void TVideoSurfaceWidget::Present(const TBitmap24& picture, int x, int y, int outWidth, int outHeight, int64_t pts) {
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

void TVideoSurfaceWidget::ShowSubtitle(const TSubtitleText& text) {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (subtitle_ == text) return;
    subtitle_ = text;
    drawn_.Valid = false;
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
  return QString::fromStdString(subtitle_.Plain());
}

void TVideoSurfaceWidget::Clear() {
  {
    std::lock_guard<std::mutex> g(lock_);
    picture_ = QImage();
    rect_ = QRect();
    pts_ = -1;
    subtitle_ = TSubtitleText();
    drawn_.Valid = false;
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
  if (!subtitle_.Empty() && !target.isEmpty()) PaintSubtitle(p, target);
}

namespace {

// The outlines of a laid-out text's glyphs from `from` on for `length` characters, with the
// underline and strike-out bars its format asks for.
QPainterPath GlyphOutlines(const QTextLayout& layout, int from, int length) {
  QPainterPath path;
  for (const QGlyphRun& run : layout.glyphRuns(from, length)) {
    const QRawFont font = run.rawFont();
    const QList<quint32> glyphs = run.glyphIndexes();
    const QList<QPointF> positions = run.positions();
    for (qsizetype k = 0; k < glyphs.size() && k < positions.size(); ++k)
      path.addPath(font.pathForGlyph(glyphs[k]).translated(layout.position() + positions[k]));
    if ((run.underline() || run.strikeOut()) && !positions.isEmpty()) {
      const QRectF box = run.boundingRect().translated(layout.position());
      const double baseline = layout.position().y() + positions.front().y();
      const double thickness = std::max(1.0, font.lineThickness());
      if (run.underline())
        path.addRect(QRectF(box.left(), baseline + font.underlinePosition(), box.width(), thickness));
      if (run.strikeOut())
        path.addRect(QRectF(box.left(), baseline - font.xHeight() / 2 - thickness / 2, box.width(), thickness));
    }
  }
  return path;
}

}  // namespace

// Each event's lines, outlined in dark, in their own colours and letters, broken at spaces
// where wider than the picture; the events of one place one under the other, the earliest
// first. The letters grow with the picture. Places: along the bottom just above the edge,
// across the middle, along the top just below it; left, centred or right. The outlines are laid
// out once for a text and picture rectangle and drawn again from there at each paint.
void TVideoSurfaceWidget::PaintSubtitle(QPainter& p, const QRectF& pictureRect) const {
  if (!drawn_.Valid || drawn_.Rect != pictureRect) LayOutSubtitle(pictureRect);
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.setClipRect(pictureRect);
  p.strokePath(drawn_.Outline,
               QPen(QColor(16, 16, 16), drawn_.OutlineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  for (const auto& [path, colour] : drawn_.Fills) p.fillPath(path, colour);
  p.restore();
}

void TVideoSurfaceWidget::LayOutSubtitle(const QRectF& pictureRect) const {
  const int pixelSize = std::max(10, int(pictureRect.height() / 18));
  QFont base(this->font());
  base.setPixelSize(pixelSize);
  const double margin = pixelSize * 0.6;
  const double maxWidth = std::max(1.0, pictureRect.width() - 2 * pixelSize);

  struct TPiece {
    std::unique_ptr<QTextLayout> Layout;
    std::vector<std::pair<QTextLayout::FormatRange, QColor>> Ranges;
  };
  drawn_ = TDrawnSubtitle();
  drawn_.Rect = pictureRect;
  drawn_.OutlineWidth = std::max(2.0, pixelSize / 8.0);
  drawn_.Valid = true;
  for (int place = 1; place <= 9; ++place) {
    // The lines of this place's events, each one laid out with its runs' formats.
    std::vector<TPiece> pieces;
    for (const TSubtitleEvent& event : subtitle_.Events) {
      if (event.Alignment != place) continue;
      pieces.emplace_back();
      QString text;
      for (const TSubtitleRun& run : event.Runs) {
        const QStringList parts = QString::fromStdString(run.Text).split(QLatin1Char('\n'));
        for (qsizetype k = 0; k < parts.size(); ++k) {
          if (k > 0) {
            // A hard break: the next line is a layout of its own.
            pieces.back().Layout = std::make_unique<QTextLayout>(text, base);
            text.clear();
            pieces.emplace_back();
          }
          if (parts[k].isEmpty()) continue;
          QTextLayout::FormatRange range;
          range.start = int(text.size());
          range.length = int(parts[k].size());
          QFont f(base);
          f.setWeight(run.Bold ? QFont::Bold : QFont::Medium);
          f.setItalic(run.Italic);
          f.setUnderline(run.Underline);
          f.setStrikeOut(run.StrikeOut);
          range.format.setFont(f);
          pieces.back().Ranges.emplace_back(range, QColor(QRgb(0xFF000000u | run.Colour)));
          text += parts[k];
        }
      }
      pieces.back().Layout = std::make_unique<QTextLayout>(text, base);
    }
    if (pieces.empty()) continue;
    double height = 0;
    for (TPiece& piece : pieces) {
      QList<QTextLayout::FormatRange> formats;
      for (const auto& r : piece.Ranges) formats << r.first;
      piece.Layout->setFormats(formats);
      QTextOption option;
      option.setWrapMode(QTextOption::WordWrap);
      piece.Layout->setTextOption(option);
      piece.Layout->beginLayout();
      double y = 0;
      for (QTextLine line = piece.Layout->createLine(); line.isValid(); line = piece.Layout->createLine()) {
        line.setLineWidth(maxWidth);
        const double w = line.naturalTextWidth();
        const int column = (place - 1) % 3;
        const double x = column == 0 ? 0 : column == 1 ? (maxWidth - w) / 2 : maxWidth - w;
        line.setPosition(QPointF(x, y));
        y += line.height();
      }
      piece.Layout->endLayout();
      if (piece.Layout->text().isEmpty()) y = QFontMetricsF(base).lineSpacing();  // an empty line keeps its room
      piece.Layout->setPosition(QPointF(pictureRect.left() + pixelSize, height));
      height += y;
    }
    const int row = (place - 1) / 3;
    const double top = row == 0   ? pictureRect.bottom() - margin - height
                       : row == 1 ? pictureRect.center().y() - height / 2
                                  : pictureRect.top() + margin;
    for (TPiece& piece : pieces) {
      piece.Layout->setPosition(piece.Layout->position() + QPointF(0, top));
      for (const auto& [range, colour] : piece.Ranges) {
        const QPainterPath glyphs = GlyphOutlines(*piece.Layout, range.start, range.length);
        drawn_.Outline.addPath(glyphs);
        drawn_.Fills.emplace_back(glyphs, colour);
      }
    }
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
