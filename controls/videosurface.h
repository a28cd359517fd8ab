// The video surface of the preview panel: a widget that shows the player's finished pictures.
//
// The player scales each picture once, to the size this widget reports, and hands it over on
// its play thread; the widget keeps the newest one and paints it where the player placed it,
// black around it. A paused player hands nothing new over, so the widget repaints the last
// picture by itself. The text of text subtitles comes separately and is drawn over the
// picture, outlined, in the look and at the place each event asks for (by default centred
// near the bottom edge).
#pragma once

#include <QColor>
#include <QImage>
#include <QPainterPath>
#include <QString>
#include <QWidget>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "media/player.h"

class TVideoSurfaceWidget : public QWidget, public IVideoSurface {
public:
  explicit TVideoSurfaceWidget(QWidget* parent = nullptr);

  void ClientSize(int& width, int& height) const override;
  void Present(const TBitmap24& picture, int x, int y, int outWidth, int outHeight, int64_t pts) override;
  void ShowSubtitle(const TSubtitleText& text) override;

  // The newest picture and where it goes (main thread).
  QImage Picture() const;
  QRect PictureRect() const;
  int64_t PicturePts() const;
  // The subtitle text drawn over the picture, plain, events one under the other (empty: none).
  QString SubtitleText() const;
  // Forgets the picture and the subtitle text: the panel shows black (main thread).
  void Clear();

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

private:
  void RequestRepaint();
  void PaintSubtitle(QPainter& p, const QRectF& pictureRect) const;  // caller holds lock_
  void LayOutSubtitle(const QRectF& pictureRect) const;              // caller holds lock_

  std::atomic<int> width_{0}, height_{0};
  mutable std::mutex lock_;
  QImage picture_;
  QRect rect_;
  QSize outSize_;
  int64_t pts_ = -1;
  TSubtitleText subtitle_;
  // The subtitle's glyph outlines as laid out for the picture rectangle (under lock_).
  struct TDrawnSubtitle {
    bool Valid = false;
    QRectF Rect;
    double OutlineWidth = 2;
    QPainterPath Outline;
    std::vector<std::pair<QPainterPath, QColor>> Fills;
  };
  mutable TDrawnSubtitle drawn_;
  std::atomic<bool> updatePending_{false};
};
