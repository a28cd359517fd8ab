#include "app/joblist.h"

#include <QDragEnterEvent>
#include <QFile>
#include <QHeaderView>
#include <QMimeData>
#include <QPainter>
#include <QStyledItemDelegate>
#include <filesystem>

#include "controls/theme.h"

namespace {

// Draws the rows: alternating backgrounds, the selection colours and frame, the check box
// of the first column and one-line texts cut with an ellipsis.
class TJobRowDelegate : public QStyledItemDelegate {
public:
  explicit TJobRowDelegate(QTreeView* view) : QStyledItemDelegate(view), view_(view) {}

  void paint(QPainter* p, const QStyleOptionViewItem& opt, const QModelIndex& index) const override {
    p->save();
    const bool selected = opt.state & QStyle::State_Selected;
    const bool focused = view_->hasFocus();
    QColor back = (index.row() % 2 == 0) ? QColor(Qt::white) : theme::kRowOdd;
    if (selected) back = focused ? theme::kRowSelFocus : theme::kRowSel;
    QRect r = opt.rect;
    const bool first = index.column() == 0;
    const bool last = index.column() == index.model()->columnCount() - 1;
    p->fillRect(r.adjusted(first ? 1 : 0, 0, last ? -1 : 0, 0), back);
    QRect label = r;
    if (first) {
      p->setRenderHint(QPainter::Antialiasing);
      p->setPen(QPen(Qt::black, 2));
      p->setBrush(Qt::white);
      p->drawRect(QRect(QPoint(r.left() + 2, r.top() + 2), QPoint(r.left() + 14, r.bottom() - 2)));
      if (index.data(Qt::CheckStateRole).toInt() == Qt::Checked) {
        const QPoint tick[3] = {{r.left() + 4, r.top() + 6},
                                {r.left() + 6, r.top() + 11},
                                {r.left() + 11, r.top() + 5}};
        p->drawPolyline(tick, 3);
      }
      label.setLeft(r.left() + 16);
    }
    label.adjust(3, 0, -3, 0);
    p->setPen(Qt::black);
    p->setFont(opt.font);
    const QString text = p->fontMetrics().elidedText(index.data().toString(), Qt::ElideRight, label.width());
    const int align = index.data(Qt::TextAlignmentRole).isValid() ? index.data(Qt::TextAlignmentRole).toInt()
                                                                  : int(Qt::AlignLeft);
    p->drawText(label, Qt::Alignment(align) | Qt::AlignVCenter | Qt::TextSingleLine, text);
    if (selected) {
      p->setRenderHint(QPainter::Antialiasing, false);
      p->setBrush(Qt::NoBrush);
      p->setPen(QPen(focused ? theme::kFrameFocus : theme::kFrame, 1));
      p->drawLine(r.topLeft(), r.topRight());
      p->drawLine(r.bottomLeft(), r.bottomRight());
      if (first) p->drawLine(r.topLeft() + QPoint(1, 0), r.bottomLeft() + QPoint(1, 0));
      if (last) p->drawLine(r.topRight() - QPoint(1, 0), r.bottomRight() - QPoint(1, 0));
    }
    p->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem& opt, const QModelIndex& index) const override {
    QSize s = QStyledItemDelegate::sizeHint(opt, index);
    s.setHeight(std::max(s.height(), 18));
    return s;
  }

  // The check box is the drawn square; a click on it or Space on the row toggles it.
  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& opt,
                   const QModelIndex& index) override {
    if (index.column() != 0) return false;
    bool toggle = false;
    if (event->type() == QEvent::MouseButtonRelease) {
      auto* me = static_cast<QMouseEvent*>(event);
      const QRect box(QPoint(opt.rect.left() + 2, opt.rect.top()), QPoint(opt.rect.left() + 14, opt.rect.bottom()));
      toggle = me->button() == Qt::LeftButton && box.contains(me->position().toPoint());
    } else if (event->type() == QEvent::KeyPress) {
      toggle = static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space;
    }
    if (!toggle) return false;
    const bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    return model->setData(index, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
  }

private:
  QTreeView* view_;
};

}  // namespace

// ---- model ----

TJobListModel::~TJobListModel() = default;

int TJobListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(rows_.size()); }
int TJobListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() || !hasColumns_ ? 0 : kColumnCount;
}

QVariant TJobListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= int(rows_.size())) return {};
  const TRow& row = rows_[size_t(index.row())];
  const TlvFilesRecord& rec = *row.Record;
  if (role == Qt::ToolTipRole && !row.Message.isEmpty()) return row.Progress + ": " + row.Message;
  if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
    switch (index.column()) {
      case colSource:
        return QFile::decodeName(QByteArray::fromStdString(rec.SourceFile));
      case colLength:
        return QString::number(rec.DurationSec);
      case colTrimmed:
        return row.Trimmed;
      case colDest:
        return QFile::decodeName(QByteArray::fromStdString(std::filesystem::path(rec.DestFile).filename().string()));
      case colProgress:
        return row.Progress;
      default:
        return {};
    }
  }
  if (role == Qt::CheckStateRole && index.column() == colSource) return row.Checked ? Qt::Checked : Qt::Unchecked;
  return {};
}

bool TJobListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::CheckStateRole || index.column() != colSource) return false;
  rows_[size_t(index.row())].Checked = value.toInt() == Qt::Checked;
  emit dataChanged(index, index, {Qt::CheckStateRole});
  return true;
}

void TJobListModel::SetTrimmed(int row, const QString& text) {
  if (row < 0 || row >= rowCount()) return;
  rows_[size_t(row)].Trimmed = text;
  const QModelIndex cell = index(row, colTrimmed);
  emit dataChanged(cell, cell, {Qt::DisplayRole});
}

QVariant TJobListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  static const char* const captions[kColumnCount] = {"Source", "Length", "Trimmed Length", "Destination File",
                                                     "Progress"};
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumnCount) return {};
  return QString(captions[section]);
}

Qt::ItemFlags TJobListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::ItemIsDropEnabled;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == colSource) f |= Qt::ItemIsUserCheckable;
  return f;
}

int TJobListModel::AddRow(std::unique_ptr<TlvFilesRecord> record) {
  const int row = int(rows_.size());
  if (!hasColumns_) {
    beginInsertColumns({}, 0, kColumnCount - 1);
    hasColumns_ = true;
    endInsertColumns();
  }
  beginInsertRows({}, row, row);
  TRow r;
  r.Trimmed = QString::number(record->DurationSec);
  r.Record = std::move(record);
  rows_.push_back(std::move(r));
  endInsertRows();
  return row;
}

void TJobListModel::RemoveRow(int row) {
  if (row < 0 || row >= int(rows_.size())) return;
  beginRemoveRows({}, row, row);
  rows_.erase(rows_.begin() + row);
  endRemoveRows();
  if (rows_.empty() && hasColumns_) {
    beginRemoveColumns({}, 0, kColumnCount - 1);
    hasColumns_ = false;
    endRemoveColumns();
  }
}

void TJobListModel::Clear() {
  beginResetModel();
  rows_.clear();
  hasColumns_ = false;
  endResetModel();
}

bool TJobListModel::Contains(const std::string& path) const {
  for (const TRow& r : rows_)
    if (r.Record->SourceFile == path) return true;
  return false;
}

TlvFilesRecord* TJobListModel::Record(int row) const {
  return (row >= 0 && row < int(rows_.size())) ? rows_[size_t(row)].Record.get() : nullptr;
}

void TJobListModel::SetProgress(int row, const QString& text, const QString& message) {
  if (row < 0 || row >= int(rows_.size())) return;
  TRow& r = rows_[size_t(row)];
  r.Progress = text;
  r.Message = message;
  emit dataChanged(index(row, 0), index(row, kColumnCount - 1), {Qt::DisplayRole, Qt::ToolTipRole});
}

QString TJobListModel::Progress(int row) const {
  return row >= 0 && row < int(rows_.size()) ? rows_[size_t(row)].Progress : QString();
}

QString TJobListModel::Message(int row) const {
  return row >= 0 && row < int(rows_.size()) ? rows_[size_t(row)].Message : QString();
}

bool TJobListModel::Checked(int row) const { return row >= 0 && row < int(rows_.size()) && rows_[size_t(row)].Checked; }

// ---- view ----

TJobListView::TJobListView(QWidget* parent) : QTreeView(parent) {
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSelectionBehavior(SelectRows);
  setSelectionMode(SingleSelection);
  setEditTriggers(NoEditTriggers);
  setAcceptDrops(true);
  setDropIndicatorShown(false);
  setDragDropMode(DropOnly);
  setItemDelegate(new TJobRowDelegate(this));
  header()->setStretchLastSection(false);
  header()->setSectionsMovable(false);
}

void TJobListView::setModel(QAbstractItemModel* m) {
  QTreeView::setModel(m);
  auto refresh = [this] { UpdateStyle(); };
  connect(m, &QAbstractItemModel::columnsInserted, this, refresh);
  connect(m, &QAbstractItemModel::columnsRemoved, this, refresh);
  connect(m, &QAbstractItemModel::modelReset, this, refresh);
  UpdateStyle();
}

// Report style with the column widths while there are rows; list style (no header) when
// empty.
void TJobListView::UpdateStyle() {
  const bool report = model() && model()->columnCount() > 0;
  setHeaderHidden(!report);
  if (report)
    for (int c = 0; c < TJobListModel::kColumnCount; ++c) setColumnWidth(c, kColumnWidths[c]);
  viewport()->update();
}

void TJobListView::paintEvent(QPaintEvent* event) {
  QTreeView::paintEvent(event);
  if (model() && model()->rowCount() > 0) return;
  // The empty list's picture; painted without it when the skin file is missing.
  const QPixmap back = theme::SkinPixmap("lvBack.svg", viewport()->size(), devicePixelRatioF());
  if (back.isNull()) return;
  QPainter p(viewport());
  p.drawPixmap(0, 0, back);
}

void TJobListView::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls())
    event->acceptProposedAction();
  else
    event->ignore();
}

void TJobListView::dragMoveEvent(QDragMoveEvent* event) {
  if (event->mimeData()->hasUrls())
    event->acceptProposedAction();
  else
    event->ignore();
}

void TJobListView::dropEvent(QDropEvent* event) {
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) paths << url.toLocalFile();
  if (paths.isEmpty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  emit FilesDropped(paths);
}

void TJobListView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    emit ContextMenuWanted(event->globalPosition().toPoint());
    return;
  }
  QTreeView::mousePressEvent(event);
}
