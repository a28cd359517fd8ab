#include "app/menumark.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QMenu>

TMenuMark::TMenuMark(QAbstractButton* button, QMenu* menu, QPoint offset)
    : QObject(button), button_(button), menu_(menu), offset_(offset) {
  connect(button, &QAbstractButton::clicked, this, &TMenuMark::Clicked);
  connect(menu, &QMenu::aboutToHide, this, [this] {
    // Marked only when the menu closes under a press on its own button.
    const bool overButton = button_->rect().contains(button_->mapFromGlobal(QCursor::pos()));
    mark_ = overButton && (QApplication::mouseButtons() & Qt::LeftButton);
    markAge_.start();
  });
}

bool TMenuMark::Marked() const {
  // The mark belongs to the press that closed the menu; it is gone when that click never
  // reaches the button.
  return mark_ && markAge_.isValid() && markAge_.elapsed() < QApplication::doubleClickInterval();
}

void TMenuMark::Clicked() {
  if (Marked()) {
    mark_ = false;
    return;
  }
  mark_ = false;
  emit AboutToShow();
  const QPoint at = offset_ == QPoint(-1, -1) ? QPoint(0, button_->height()) : offset_;
  menu_->popup(button_->mapToGlobal(at));
}
