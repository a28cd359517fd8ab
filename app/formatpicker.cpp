#include "app/formatpicker.h"

#include <QApplication>
#include <QCursor>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

#include "app/core/profiles.h"
#include "controls/theme.h"
#include "app/core/settings.h"
#include "controls/imagebutton.h"

namespace {

constexpr int kGroupCount = 4;
constexpr int kMaxEntries = 50;
constexpr int kListX = 104;
constexpr int kListWidth = 334;
constexpr int kMaxListHeight = 422;
// Presses left of this x on a group row open or close the group.
constexpr int kMarkWidth = 20;

// Draws the rows: groups in bold with their open/closed mark and icon, entries in navy.
class TFormatRowDelegate : public QStyledItemDelegate {
public:
  explicit TFormatRowDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

  QSize sizeHint(const QStyleOptionViewItem& opt, const QModelIndex&) const override {
    return {opt.rect.width(), TFormatPicker::kRowHeight};
  }

  void paint(QPainter* p, const QStyleOptionViewItem& opt, const QModelIndex& index) const override {
    p->save();
    const QRect r = opt.rect;
    const bool focused = opt.state & QStyle::State_Selected;
    if (focused) {
      p->fillRect(r.adjusted(2, 2, -2, -2), theme::kRowSelFocus);
      p->setPen(theme::kFrameFocus);
      p->drawRect(r.adjusted(1, 1, -2, -2));
    } else {
      p->fillRect(r, theme::kBoxBack);
    }
    const QRect text = r.adjusted(3, 0, -3, 0);
    const bool group = index.data(TFormatPicker::RoleIsGroup).toBool();
    const qreal dpr = p->device()->devicePixelRatioF();
    QFont f = opt.font;
    if (group) {
      const bool collapsed = index.data(TFormatPicker::RoleCollapsed).toBool();
      const QPixmap mark = theme::SkinPixmap(collapsed ? "mark-closed.svg" : "mark-open.svg", {16, 16}, dpr);
      if (!mark.isNull()) p->drawPixmap(text.left() + 1, r.top() + (r.height() - 16) / 2, mark);
      const int code = index.data(TFormatPicker::RoleCode).toInt();
      const QPixmap icon = theme::SkinPixmap(QString("group-%1.svg").arg(code), {20, 20}, dpr);
      if (!icon.isNull()) p->drawPixmap(text.left() + 20, r.top() + (r.height() - 20) / 2, icon);
      f.setBold(true);
      p->setFont(f);
      p->setPen(Qt::black);
      p->drawText(text.adjusted(45, 2, 0, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                  index.data().toString());
    } else {
      p->setFont(f);
      p->setPen(focused ? QColor(Qt::black) : theme::kNavy);
      p->drawText(text.adjusted(25, 2, 0, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                  index.data().toString());
    }
    p->restore();
  }
};

}  // namespace

TFormatPicker::TFormatPicker(QWidget* host, TAppSettings& settings) : QObject(host), host_(host), settings_(settings) {
  edt1_ = new QLineEdit(host);
  edt1_->setObjectName("edt1");
  edt1_->setReadOnly(true);
  edt1_->setGeometry(104, 485, 334, 22);
  edt1_->setCursor(Qt::PointingHandCursor);
  edt1_->setAccessibleName("Output Format");
  imgbtn1_ = new TImageButton(host);
  imgbtn1_->setObjectName("imgbtn1");
  imgbtn1_->SetPictures("dropup");
  imgbtn1_->setGeometry(420, 487, 16, 18);
  imgbtn1_->setToolTip("Choose the output format");
  lst1_ = new QListWidget(host);
  lst1_->setObjectName("lst1");
  lst1_->setItemDelegate(new TFormatRowDelegate(lst1_));
  lst1_->setUniformItemSizes(true);
  lst1_->setMouseTracking(true);
  lst1_->setSelectionMode(QAbstractItemView::SingleSelection);
  lst1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  lst1_->setStyleSheet("QListWidget { background: rgb(246,247,248); border: 1px solid #5a6f8e; }");
  lst1_->hide();

  // One program-wide filter sees the presses on the box and the list and the presses elsewhere
  // that hide the list.
  qApp->installEventFilter(this);
  connect(imgbtn1_, &TImageButton::clicked, this, [this] {
    if (ListVisible()) {
      HideList();
      return;
    }
    ShowList(false);
  });
  connect(qApp, &QApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
    if (state != Qt::ApplicationActive) HideList();
  });
}

TFormatPicker::~TFormatPicker() { qApp->removeEventFilter(this); }

const std::string& TFormatPicker::Cell(int group, int entry) const {
  return formatTable_.at(size_t(group)).at(size_t(entry));
}

bool TFormatPicker::ListVisible() const { return lst1_->isVisible(); }

void TFormatPicker::ToggleList(bool fromBoxClick) {
  if (ListVisible())
    HideList();
  else
    ShowList(fromBoxClick);
}

void TFormatPicker::HideList() { lst1_->hide(); }

void TFormatPicker::FillFormatList() {
  for (auto& row : formatTable_)
    for (auto& cell : row) cell.clear();
  lst1_->hide();
  lst1_->clear();
  const auto& groups = BuiltinProfileGroups();
  for (int g = 0; g < kGroupCount && g < int(groups.size()); ++g) {
    const bool collapsed = settings_.Read().GroupClosed[size_t(g)];
    auto* header = new QListWidgetItem(QString::fromUtf8(groups[size_t(g)].Header));
    header->setData(RoleIsGroup, true);
    header->setData(RoleCode, g);
    header->setData(RoleCollapsed, collapsed);
    lst1_->addItem(header);
    for (const TProfileEntry& e : groups[size_t(g)].Entries) {
      const int entry = e.Code % 100;
      if (entry < kMaxEntries) formatTable_[size_t(g)][size_t(entry)] = e.Name;
    }
    if (!collapsed) InsertEntries(g, lst1_->count() - 1);
  }
  // The hidden list already stands above the box, so no way of opening it drops it downward
  // past the window's bottom edge.
  const int rows = lst1_->count();
  const int height = rows * kRowHeight < 380 ? (rows + 1) * kRowHeight : 379;
  lst1_->setGeometry(kListX, edt1_->y() - height, kListWidth, height);
  edt1_->setText(QString::fromStdString(settings_.Read().FormatName));
  SelectStoredName();
}

void TFormatPicker::InsertEntries(int group, int afterRow) {
  int row = afterRow + 1;
  for (int i = 0; i < kMaxEntries; ++i) {
    const std::string& name = formatTable_[size_t(group)][size_t(i)];
    if (name.empty()) continue;
    auto* item = new QListWidgetItem(QString::fromStdString(name));
    item->setData(RoleIsGroup, false);
    item->setData(RoleCode, group * 100 + i);
    item->setData(RoleCollapsed, false);
    lst1_->insertItem(row++, item);
  }
}

void TFormatPicker::SelectStoredName() {
  const QString name = QString::fromStdString(settings_.Read().FormatName).trimmed();
  lst1_->setCurrentRow(-1);
  lst1_->clearSelection();
  for (int r = 0; r < lst1_->count(); ++r) {
    if (lst1_->item(r)->text().trimmed().compare(name, Qt::CaseInsensitive) == 0) {
      lst1_->setCurrentRow(r);
      return;
    }
  }
}

void TFormatPicker::SaveGroupStates() {
  for (int r = 0; r < lst1_->count(); ++r) {
    const QListWidgetItem* item = lst1_->item(r);
    if (item->data(RoleIsGroup).toBool())
      settings_.WriteGroupClosed(item->data(RoleCode).toInt(), item->data(RoleCollapsed).toBool());
  }
}

void TFormatPicker::ShowList(bool fromBoxClick) {
  if (!fromBoxClick) edt1_->setText(QString::fromStdString(settings_.Read().FormatName));
  SelectStoredName();
  // Sized and placed above the box on every opening, whether or not the stored profile's row
  // is in the list (its group may be closed).
  ResizeList();
  lst1_->show();
  lst1_->raise();
  if (fromBoxClick) {
    if (QListWidgetItem* item = lst1_->currentItem()) {
      lst1_->scrollToItem(item);
      const QRect r = lst1_->visualItemRect(item);
      QCursor::setPos(lst1_->viewport()->mapToGlobal(r.center()));
    }
  }
  lst1_->setFocus();
}

void TFormatPicker::ResizeList() {
  const int rows = lst1_->count();
  const int height = rows * kRowHeight > kMaxListHeight ? kMaxListHeight : rows * kRowHeight + kRowHeight;
  lst1_->setGeometry(kListX, edt1_->y() - height, kListWidth, height);
}

void TFormatPicker::ToggleGroup(int row) {
  QListWidgetItem* header = lst1_->item(row);
  const int group = header->data(RoleCode).toInt();
  if (header->data(RoleCollapsed).toBool()) {
    InsertEntries(group, row);
    header->setData(RoleCollapsed, false);
  } else {
    while (row + 1 < lst1_->count() && !lst1_->item(row + 1)->data(RoleIsGroup).toBool())
      delete lst1_->takeItem(row + 1);
    header->setData(RoleCollapsed, true);
  }
}

void TFormatPicker::ListPressed(int row, int x) {
  QListWidgetItem* item = lst1_->item(row);
  if (!item) return;
  if (item->data(RoleIsGroup).toBool()) {
    if (x < kMarkWidth) ToggleGroup(row);
    return;
  }
  const int code = item->data(RoleCode).toInt();
  const QString name = item->text();
  settings_.WriteFormat(code, name.toStdString());
  edt1_->setText(name);
  HideList();
  emit FormatChosen(code, name);
}

bool TFormatPicker::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (watched == lst1_->viewport()) {
    // Only mouse events are read as such: the viewport gets other events too.
    auto* me = type == QEvent::MouseMove || type == QEvent::MouseButtonPress ? static_cast<QMouseEvent*>(event)
                                                                             : nullptr;
    if (type == QEvent::MouseMove) {
      const int row = lst1_->indexAt(me->position().toPoint()).row();
      if (row >= 0 && row != lst1_->currentRow()) lst1_->setCurrentRow(row);
      return true;
    }
    if (type == QEvent::MouseButtonPress) {
      const int row = lst1_->indexAt(me->position().toPoint()).row();
      if (row >= 0) ListPressed(row, int(me->position().x()));
      if (ListVisible()) ResizeList();
      return true;
    }
    if (type == QEvent::MouseButtonDblClick) {
      QListWidgetItem* item = lst1_->currentItem();
      if (item && item->data(RoleIsGroup).toBool()) ToggleGroup(lst1_->row(item));
      if (ListVisible()) ResizeList();
      return true;
    }
    if (type == QEvent::MouseButtonRelease) return true;
    return false;
  }
  if (watched == lst1_ && type == QEvent::KeyPress) {
    // Keyboard use: Enter chooses an entry or opens/closes a group, Escape hides the list.
    auto* ke = static_cast<QKeyEvent*>(event);
    if (ke->key() == Qt::Key_Escape) {
      HideList();
      edt1_->setFocus();
      return true;
    }
    if (ke->key() == Qt::Key_Return || ke->key() == Qt::Key_Enter || ke->key() == Qt::Key_Space) {
      const int row = lst1_->currentRow();
      if (row >= 0) ListPressed(row, lst1_->item(row)->data(RoleIsGroup).toBool() ? 0 : kMarkWidth);
      if (ListVisible()) ResizeList();
      return true;
    }
    return false;
  }
  if (watched == edt1_) {
    if (type == QEvent::MouseButtonRelease && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
      ToggleList(true);
      return true;
    }
    if (type == QEvent::MouseButtonDblClick) {
      ToggleList(false);
      return true;
    }
    if (type == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Up) {
        ShowList(false);
        return true;
      }
    }
    return false;
  }
  // A left press anywhere else in the program hides the list.
  if (type == QEvent::MouseButtonPress && ListVisible() && watched->isWidgetType()) {
    auto* me = static_cast<QMouseEvent*>(event);
    auto* w = static_cast<QWidget*>(watched);
    if (me->button() == Qt::LeftButton && w != lst1_ && !lst1_->isAncestorOf(w) && w != imgbtn1_ && w != edt1_)
      HideList();
  }
  return false;
}
