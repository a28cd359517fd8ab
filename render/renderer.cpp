#include "render/renderer.h"

#include <sys/stat.h>

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "media/errors.h"
#include "media/logger.h"
#include "render/picturefilters.h"

namespace {

// Kept entries beyond this are dropped all at once; a job has a handful of items.
constexpr size_t kMaxCachedEntries = 256;

struct TRect {
  int x = 0, y = 0, w = 0, h = 0;
  bool Empty() const { return w <= 0 || h <= 0; }
};

// The part of a w x h overlay at (x, y) that lies inside a W x H frame.
TRect VisiblePart(int x, int y, int w, int h, int W, int H) {
  int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
  int64_t x1 = std::min<int64_t>(int64_t(x) + w, W), y1 = std::min<int64_t>(int64_t(y) + h, H);
  TRect r;
  if (x1 <= x0 || y1 <= y0 || w <= 0 || h <= 0) return r;
  r.x = int(x0);
  r.y = int(y0);
  r.w = int(x1 - x0);
  r.h = int(y1 - y0);
  return r;
}

int ClampOpacity(int a) { return a < 0 ? 0 : a > 255 ? 255 : a; }

void CheckFrame(const TBitmap24& frame) {
  if (frame.Stride < frame.Width * 3 || frame.Pixels.size() < size_t(frame.Stride) * size_t(frame.Height))
    throw FFmpegException("The frame bitmap is smaller than its stated size");
}

[[noreturn]] void Fail(const void* sender, const std::string& msg) {
  GetFFLogger().Log(sender, llError, msg);
  throw FFmpegException(msg);
}

}  // namespace

// Rendered text of one item, limited to the part of its box inside the frame: the glyph
// coverage per pixel, and for items with a background the finished opaque box.
struct TConversionRenderer::TTextBox {
  TRect visible;
  std::vector<uint8_t> coverage;  // visible.w * visible.h
  uint8_t color[3] = {0, 0, 0};   // blue, green, red
  bool solid = false;
  TBitmap24 solidBox;
};

struct TConversionRenderer::TPicture {
  TBitmap24 bitmap;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t mtimeNs = 0;
};

void BlendBitmap(TBitmap24& frame, const TBitmap24& overlay, int x, int y, int opacity) {
  const TRect r = VisiblePart(x, y, overlay.Width, overlay.Height, frame.Width, frame.Height);
  if (r.Empty()) return;
  const int a = ClampOpacity(opacity), na = 256 - a;
  for (int row = 0; row < r.h; ++row) {
    uint8_t* f = frame.Row(r.y + row) + size_t(r.x) * 3;
    const uint8_t* o = overlay.Row(r.y - y + row) + size_t(r.x - x) * 3;
    for (int i = 0; i < r.w * 3; ++i) f[i] = uint8_t((na * f[i] + a * o[i]) >> 8);
  }
}

int64_t ItemTimeSec(int64_t pts) { return pts / 1000000; }

bool WmItemActive(const TWmRec& item, int64_t pts) {
  if (pts == kNoPts) return false;
  const int64_t t = ItemTimeSec(pts);
  return item.StartSec <= t && t <= item.EndSec;
}

QFont WmQFont(const TWmFont& font) {
  QFont qfont;
  if (!font.Name.empty()) qfont.setFamily(QString::fromUtf8(font.Name.c_str()));
  const int pixels = font.Size > 0 ? int(std::lround(font.Size * 96.0 / 72.0)) : -font.Size;
  qfont.setPixelSize(std::max(1, pixels));
  qfont.setBold(font.Bold);
  qfont.setItalic(font.Italic);
  qfont.setUnderline(font.Underline);
  qfont.setStrikeOut(font.StrikeOut);
  return qfont;
}

void WmTextSize(const std::string& utf8, const TWmFont& font, int& width, int& height) {
  const QFontMetrics fm(WmQFont(font));
  const QString text = QString::fromUtf8(utf8.c_str());
  const int overhang = std::max(0, -fm.rightBearing(text.isEmpty() ? QChar(' ') : text.back()));
  width = std::max(1, fm.horizontalAdvance(text) + overhang);
  height = std::max(1, fm.height());
}

double TextSqueeze(const TWmRec& item) {
  return item.PixelAspect > 0 && std::isfinite(item.PixelAspect) ? 1.0 / item.PixelAspect : 1.0;
}

TConversionRenderer::TConversionRenderer() = default;
TConversionRenderer::~TConversionRenderer() = default;

void TConversionRenderer::ClearCache() {
  std::lock_guard<std::mutex> guard(lock_);
  texts_.clear();
  pictures_.clear();
  adjustments_.clear();
}

std::shared_ptr<const TConversionRenderer::TTextBox> TConversionRenderer::TextBox(const TWmRec& item, int frameWidth,
                                                                                  int frameHeight) {
  const TRect visible = VisiblePart(item.TextLeft, item.TextTop, item.TextWidth, item.TextHeight, frameWidth,
                                    frameHeight);
  if (visible.Empty()) return nullptr;

  const TWmFont& font = item.Font;
  std::ostringstream key;
  key << item.Text.size() << ':' << item.Text << '|' << font.Name.size() << ':' << font.Name << '|' << font.Size
      << font.Bold << font.Italic << font.Underline << font.StrikeOut << '|' << font.Color << '|' << item.HasBackColor
      << item.BackColor << '|' << item.TextLeft << ',' << item.TextTop << ',' << item.TextWidth << ','
      << item.TextHeight << '|' << frameWidth << 'x' << frameHeight << '|' << TextSqueeze(item);
  if (auto it = texts_.find(key.str()); it != texts_.end()) return it->second;

  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
    Fail(this, "Text watermarks cannot be drawn: the program has no font system (QGuiApplication)");

  // The text is drawn in white on a transparent picture of the visible part of the box; the
  // alpha channel is then the glyph coverage.
  QImage image(visible.w, visible.h, QImage::Format_ARGB32_Premultiplied);
  if (image.isNull()) Fail(this, StrFormat("Cannot allocate a %dx%d text box", visible.w, visible.h));
  image.fill(Qt::transparent);
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    painter.setFont(WmQFont(font));
    painter.setPen(QColor(255, 255, 255));
    painter.translate(item.TextLeft - visible.x, item.TextTop - visible.y);
    // Over pixels that are not square the text is drawn narrower or wider by the pixels' shape,
    // so that it shows in its font's proportions (the box is in the picture's pixels).
    const double squeeze = TextSqueeze(item);
    painter.scale(squeeze, 1.0);
    painter.setClipRect(QRectF(0, 0, item.TextWidth / squeeze, item.TextHeight));
    painter.drawText(QPoint(0, painter.fontMetrics().ascent()), QString::fromUtf8(item.Text.c_str()));
  }

  auto box = std::make_shared<TTextBox>();
  box->visible = visible;
  box->coverage.resize(size_t(visible.w) * size_t(visible.h));
  for (int y = 0; y < visible.h; ++y) {
    const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < visible.w; ++x)
      box->coverage[size_t(y) * size_t(visible.w) + size_t(x)] = uint8_t(qAlpha(line[x]));
  }
  box->color[0] = ColorBlue(font.Color);
  box->color[1] = ColorGreen(font.Color);
  box->color[2] = ColorRed(font.Color);
  if (item.HasBackColor) {
    box->solid = true;
    box->solidBox.SetSize(visible.w, visible.h);
    const uint8_t back[3] = {ColorBlue(item.BackColor), ColorGreen(item.BackColor), ColorRed(item.BackColor)};
    for (int y = 0; y < visible.h; ++y) {
      uint8_t* p = box->solidBox.Row(y);
      for (int x = 0; x < visible.w; ++x) {
        const int c = box->coverage[size_t(y) * size_t(visible.w) + size_t(x)];
        for (int ch = 0; ch < 3; ++ch) p[x * 3 + ch] = uint8_t((back[ch] * (255 - c) + box->color[ch] * c + 127) / 255);
      }
    }
  }
  if (texts_.size() >= kMaxCachedEntries) texts_.clear();
  texts_.emplace(key.str(), box);
  return box;
}

std::shared_ptr<const TConversionRenderer::TPicture> TConversionRenderer::Picture(const std::string& file, int width,
                                                                                  int height) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    Fail(this, StrFormat("Cannot open the watermark picture \"%s\"", file.c_str()));
  const int64_t mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  const bool stretched = width > 0 && height > 0;
  const std::string key = stretched ? file + '|' + std::to_string(width) + 'x' + std::to_string(height) : file;
  if (auto it = pictures_.find(key); it != pictures_.end()) {
    const TPicture& p = *it->second;
    if (p.device == st.st_dev && p.inode == st.st_ino && p.size == st.st_size && p.mtimeNs == mtimeNs)
      return it->second;
  }

  // The bytes are read here so that any path the system accepts works, whatever its encoding.
  std::ifstream in(file, std::ios::binary);
  if (!in) Fail(this, StrFormat("Cannot open the watermark picture \"%s\"", file.c_str()));
  std::ostringstream bytes;
  bytes << in.rdbuf();
  const std::string data = bytes.str();
  QImage image;
  if (data.empty() ||
      !image.loadFromData(reinterpret_cast<const uchar*>(data.data()), int(std::min<size_t>(data.size(), INT32_MAX))))
    Fail(this, StrFormat("Cannot read the watermark picture \"%s\"", file.c_str()));
  if (stretched && (image.width() != width || image.height() != height))
    image = image.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  image = image.convertToFormat(QImage::Format_BGR888);
  if (image.isNull()) Fail(this, StrFormat("Cannot read the watermark picture \"%s\"", file.c_str()));

  auto pic = std::make_shared<TPicture>();
  pic->bitmap.SetSize(image.width(), image.height());
  for (int y = 0; y < image.height(); ++y)
    std::memcpy(pic->bitmap.Row(y), image.constScanLine(y), size_t(image.width()) * 3);
  pic->device = st.st_dev;
  pic->inode = st.st_ino;
  pic->size = st.st_size;
  pic->mtimeNs = mtimeNs;
  if (pictures_.size() >= kMaxCachedEntries) pictures_.clear();
  pictures_[key] = pic;
  return pic;
}

namespace {

// Item times count from the start of the file; the conversion's pictures count from the trim
// start, where the input was sought to.
int64_t FileTime(const TPictureEdits& edits, int64_t pts) { return pts == kNoPts ? kNoPts : pts + edits.TrimStart; }

bool Drawable(const TWmRec& item) {
  return (item.Kind == wmkText && !item.Text.empty()) || (item.Kind == wmkImage && !item.ImageFile.empty());
}

}  // namespace

bool TConversionRenderer::DrawsAt(const TPictureEdits& edits, int64_t pts) {
  if (edits.AnyAdjustment()) return true;
  const int64_t fileTime = FileTime(edits, pts);
  return std::any_of(edits.WaterMarks.begin(), edits.WaterMarks.end(),
                     [&](const TWmRec& item) { return Drawable(item) && WmItemActive(item, fileTime); });
}

std::shared_ptr<const TPictureAdjustment> TConversionRenderer::Adjustment(const TPictureAdjustments& adjust) {
  const std::array<int32_t, 4> key{adjust.Brightness, adjust.Contrast, adjust.Saturation, adjust.Exposure};
  if (auto it = adjustments_.find(key); it != adjustments_.end()) return it->second;
  if (adjustments_.size() >= kMaxCachedEntries) adjustments_.clear();
  auto adjustment = std::make_shared<const TPictureAdjustment>(key[0], key[1], key[2], key[3]);
  adjustments_.emplace(key, adjustment);
  return adjustment;
}

void TConversionRenderer::RenderFrame(const THookInfo& info, const TPictureEdits& edits) {
  if (!info.Bitmap || info.Bitmap->Empty()) return;
  TBitmap24& frame = *info.Bitmap;
  CheckFrame(frame);

  // Everything that can fail happens before the frame is touched. Only the cache look-ups
  // hold the lock; the drawing works on this task's frame and on immutable shared entries.
  struct TPrepared {
    const TWmRec* item;
    std::shared_ptr<const TTextBox> text;
    std::shared_ptr<const TPicture> picture;
  };
  std::vector<TPrepared> prepared;
  std::shared_ptr<const TPictureAdjustment> adjustment;
  {
    std::lock_guard<std::mutex> guard(lock_);
    const int64_t fileTime = FileTime(edits, info.PTS);
    for (const TWmRec& item : edits.WaterMarks) {
      if (!Drawable(item) || !WmItemActive(item, fileTime)) continue;
      if (item.Kind == wmkText) {
        if (auto box = TextBox(item, frame.Width, frame.Height)) prepared.push_back({&item, box, nullptr});
      } else {
        prepared.push_back({&item, nullptr, Picture(item.ImageFile, item.ImageWidth, item.ImageHeight)});
      }
    }
    adjustment = Adjustment(edits);
  }

  adjustment->Apply(frame);

  for (const TPrepared& p : prepared) {
    if (p.picture) {
      BlendBitmap(frame, p.picture->bitmap, p.item->ImageLeft, p.item->ImageTop, p.item->ImageOpacity);
      continue;
    }
    const TTextBox& box = *p.text;
    if (box.solid) {
      BlendBitmap(frame, box.solidBox, box.visible.x, box.visible.y, p.item->TextOpacity);
      continue;
    }
    // Transparent background: the glyphs are drawn over the frame's own pixels, then the box
    // is blended back with the item's opacity; pixels without glyph coverage stay exact.
    const int a = ClampOpacity(p.item->TextOpacity), na = 256 - a;
    for (int y = 0; y < box.visible.h; ++y) {
      uint8_t* f = frame.Row(box.visible.y + y) + size_t(box.visible.x) * 3;
      const uint8_t* cov = box.coverage.data() + size_t(y) * size_t(box.visible.w);
      for (int x = 0; x < box.visible.w; ++x) {
        const int c = cov[x];
        if (c == 0) continue;
        for (int ch = 0; ch < 3; ++ch) {
          const int under = f[x * 3 + ch];
          const int drawn = (under * (255 - c) + box.color[ch] * c + 127) / 255;
          f[x * 3 + ch] = uint8_t((na * under + a * drawn) >> 8);
        }
      }
    }
  }
}
