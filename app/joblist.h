// The job list: a model of rows with their job records and an owner-drawn view `lvFIles`.
// Columns exist only while the list has rows; the empty list shows the skin's background
// picture. Files and folders dropped onto the view are offered through FilesDropped.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <QTreeView>
#include <memory>
#include <string>
#include <vector>

#include "app/core/jobrecord.h"
#include "app/core/jobrows.h"

class TJobListModel : public QAbstractTableModel, public TJobRows {
  Q_OBJECT
public:
  enum Column { colSource, colLength, colTrimmed, colDest, colProgress, kColumnCount };

  using QAbstractTableModel::QAbstractTableModel;
  ~TJobListModel() override;

  int rowCount(const QModelIndex& parent = {}) const override;
  int JobCount() const override { return rowCount(); }
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Appends a checked row for the record (the row owns it); creates the columns with the
  // first row. Length and Trimmed Length show the record's DurationSec.
  int AddRow(std::unique_ptr<TlvFilesRecord> record);
  // Deletes a row and frees its record; the columns go with the last row.
  void RemoveRow(int row);
  void Clear();

  // True when a row's caption (source path) is exactly `path` (letter case counts).
  bool Contains(const std::string& path) const;
  TlvFilesRecord* Record(int row) const override;
  void SetTrimmed(int row, const QString& text) override;
  bool Checked(int row) const;
  // The Progress column ("42%", "100%", "Failed", ...). A message (why a file failed or was
  // stopped) shows as the row's tool tip and is kept until the next progress text.
  void SetProgress(int row, const QString& text, const QString& message = {});
  QString Progress(int row) const;
  QString Message(int row) const;

private:
  struct TRow {
    std::unique_ptr<TlvFilesRecord> Record;
    bool Checked = true;
    QString Trimmed;
    QString Progress;
    QString Message;
  };
  std::vector<TRow> rows_;
  bool hasColumns_ = false;
};

class TJobListView : public QTreeView {
  Q_OBJECT
public:
  static constexpr int kColumnWidths[TJobListModel::kColumnCount] = {140, 65, 90, 120, 60};

  explicit TJobListView(QWidget* parent = nullptr);
  void setModel(QAbstractItemModel* model) override;

signals:
  // Local files and folders dropped onto the list, in the drop's order.
  void FilesDropped(const QStringList& paths);
  // A right-button press anywhere on the list (global position).
  void ContextMenuWanted(const QPoint& globalPos);

protected:
  void paintEvent(QPaintEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

private:
  void UpdateStyle();
};
