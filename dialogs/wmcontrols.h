// Small controls of the watermark dialog: the colour boxes, the item list's rows and the
// start and end time fields.
#pragma once

#include <QComboBox>
#include <QSpinBox>
#include <QStyledItemDelegate>

#include "render/wmrec.h"

// A drop-down list of named colours: the standard colours first, then the extended and the
// system ones, each with a swatch and its identifier ("clBlack", "clMaroon", "clGreen", ...).
class TColorBox : public QComboBox {
public:
  explicit TColorBox(QWidget* parent = nullptr);
  TColorRGB Color() const;
  // Selects the entry of that colour, adding a "Custom" entry for a colour not in the list.
  void SetColor(TColorRGB color);
  // The entry index of a named colour (-1 when absent).
  int IndexOf(const QString& name) const { return findText(name); }
};

// The item list's rows: the focused row on a light blue rectangle 2 pixels in, framed just
// outside; the others on the light grey of the list; the kind's icon at the left, the text
// 19 pixels in with an end ellipsis.
class TWmRowDelegate : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;
  // The item kind (wmkText or wmkImage) is kept in this role of each row.
  static constexpr int kKindRole = Qt::UserRole + 1;
  static constexpr int kRowHeight = 24;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// A field of whole seconds shown as H:MM:SS; the text takes no typing, the arrows step it.
class TClockSpin : public QSpinBox {
public:
  explicit TClockSpin(QWidget* parent = nullptr);

protected:
  QString textFromValue(int value) const override;
  int valueFromText(const QString& text) const override;
  QValidator::State validate(QString&, int&) const override { return QValidator::Acceptable; }
};
