// A button that opens a pop-up menu below itself. When a press on the button is what closed
// the menu, that click only closes it: the menu carries a mark that the click clears instead
// of opening the menu again. The next click opens it.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPoint>

class QAbstractButton;
class QMenu;

class TMenuMark : public QObject {
  Q_OBJECT
public:
  // `offset` is where the menu opens, relative to the button's top-left corner (the default
  // is just below it).
  TMenuMark(QAbstractButton* button, QMenu* menu, QPoint offset = QPoint(-1, -1));
  bool Marked() const;

signals:
  // Emitted just before the menu opens (the Edit menu sets its enabled entries here).
  void AboutToShow();

private:
  void Clicked();
  QAbstractButton* button_;
  QMenu* menu_;
  QPoint offset_;
  bool mark_ = false;
  QElapsedTimer markAge_;
};
