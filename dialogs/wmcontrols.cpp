#include "dialogs/wmcontrols.h"

#include <QApplication>
#include <QLineEdit>
#include <QPainter>
#include <QPalette>
#include <QStringList>

#include "app/core/clocktext.h"
#include "controls/theme.h"

namespace {

struct TNamedColor {
  const char* name;
  QColor color;
};

std::vector<TNamedColor> ColorList() {
  std::vector<TNamedColor> list = {
      {"clBlack", QColor(0, 0, 0)},       {"clMaroon", QColor(128, 0, 0)},         {"clGreen", QColor(0, 128, 0)},
      {"clOlive", QColor(128, 128, 0)},   {"clNavy", QColor(0, 0, 128)},           {"clPurple", QColor(128, 0, 128)},
      {"clTeal", QColor(0, 128, 128)},    {"clGray", QColor(128, 128, 128)},       {"clSilver", QColor(192, 192, 192)},
      {"clRed", QColor(255, 0, 0)},       {"clLime", QColor(0, 255, 0)},           {"clYellow", QColor(255, 255, 0)},
      {"clBlue", QColor(0, 0, 255)},      {"clFuchsia", QColor(255, 0, 255)},      {"clAqua", QColor(0, 255, 255)},
      {"clWhite", QColor(255, 255, 255)}, {"clMoneyGreen", QColor(192, 220, 192)}, {"clSkyBlue", QColor(166, 202, 240)},
      {"clCream", QColor(255, 251, 240)}, {"clMedGray", QColor(160, 160, 164)}};
  // The system colours: this desktop's palette.
  const QPalette pal = QApplication::palette();
  const std::pair<const char*, QPalette::ColorRole> system[] = {
      {"clWindow", QPalette::Base},         {"clWindowText", QPalette::Text},
      {"clBtnFace", QPalette::Button},      {"clBtnText", QPalette::ButtonText},
      {"clHighlight", QPalette::Highlight}, {"clHighlightText", QPalette::HighlightedText},
      {"clInfoBk", QPalette::ToolTipBase},  {"clInfoText", QPalette::ToolTipText},
      {"clBtnShadow", QPalette::Dark},      {"clBtnHighlight", QPalette::Light}};
  for (const auto& [name, role] : system) list.push_back({name, pal.color(QPalette::Active, role)});
  return list;
}

QIcon Swatch(const QColor& c) {
  QPixmap pm(14, 14);
  pm.fill(c);
  QPainter p(&pm);
  p.setPen(Qt::black);
  p.drawRect(0, 0, 13, 13);
  return QIcon(pm);
}

TColorRGB ToRgb(const QColor& c) { return RgbColor(uint8_t(c.red()), uint8_t(c.green()), uint8_t(c.blue())); }

}  // namespace

TColorBox::TColorBox(QWidget* parent) : QComboBox(parent) {
  for (const TNamedColor& c : ColorList()) addItem(Swatch(c.color), c.name, QVariant::fromValue(uint(ToRgb(c.color))));
  setMaxVisibleItems(16);
}

TColorRGB TColorBox::Color() const { return TColorRGB(currentData().toUInt()); }

void TColorBox::SetColor(TColorRGB color) {
  const int i = findData(QVariant::fromValue(uint(color)));
  if (i >= 0) {
    setCurrentIndex(i);
    return;
  }
  const QColor c(ColorRed(color), ColorGreen(color), ColorBlue(color));
  const int custom = findText("Custom");
  if (custom >= 0) {
    setItemData(custom, QVariant::fromValue(uint(color)));
    setItemIcon(custom, Swatch(c));
    setCurrentIndex(custom);
  } else {
    addItem(Swatch(c), "Custom", QVariant::fromValue(uint(color)));
    setCurrentIndex(count() - 1);
  }
}

void TWmRowDelegate::paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  p->save();
  const QRect r = option.rect;
  if (option.state & QStyle::State_Selected) {
    const QRect inner = r.adjusted(2, 2, -2, -2);
    p->fillRect(inner, theme::kRowSelFocus);
    p->setPen(theme::kFrameFocus);
    p->drawRect(inner.adjusted(-1, -1, 0, 0));
  } else {
    p->fillRect(r, theme::kBoxBack);
  }
  const int kind = index.data(kKindRole).toInt();
  const QPixmap icon = theme::SkinPixmap(kind == wmkImage ? "wm-image.svg" : "wm-text.svg", {16, 16},
                                         p->device()->devicePixelRatioF());
  if (!icon.isNull()) p->drawPixmap(QPoint(r.left() + 2, r.top() + (r.height() - 16) / 2), icon);
  p->setPen(Qt::black);
  p->setFont(option.font);
  const QRect textRect(r.left() + 19, r.top(), r.width() - 21, r.height());
  const QString text = option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight,
                                                     textRect.width());
  p->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
  p->restore();
}

QSize TWmRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  return QSize(QStyledItemDelegate::sizeHint(option, index).width(), kRowHeight);
}

TClockSpin::TClockSpin(QWidget* parent) : QSpinBox(parent) {
  lineEdit()->setReadOnly(true);
  setRange(0, 0);
}

QString TClockSpin::textFromValue(int value) const { return QString::fromStdString(FormatClock(value)); }

int TClockSpin::valueFromText(const QString& text) const {
  const QStringList parts = text.split(':');
  int seconds = 0;
  for (const QString& part : parts) seconds = seconds * 60 + part.toInt();
  return seconds;
}
