// The folder chooser used by the main window's Browse and the preferences' snapshot-folder
// Brows: a tree of the file system's folders. OK is disabled on folders that are no real
// file-system folders (proc, sysfs, devtmpfs and the like); a folder on a CD or DVD is
// refused with a message and the chooser stays open.
#pragma once

#include <QDialog>
#include <QString>
#include <string>

class QFileSystemModel;
class QPushButton;
class QTreeView;
class QWidget;

// Whether a folder lies on a kernel pseudo file system (its mount's type is proc, sysfs,
// devtmpfs, ...): files cannot be written there as output.
bool IsPseudoFileSystemFolder(const std::string& folder);
// Whether a folder lies on an optical disc's file system (ISO 9660 or UDF).
bool IsOpticalDiscFolder(const std::string& folder);

class TfmDirectory : public QDialog {
  Q_OBJECT
public:
  static constexpr int kWidth = 322;
  static constexpr int kHeight = 351;

  explicit TfmDirectory(QWidget* parent = nullptr);

  // Selects a folder in the tree (expanding its parents) and applies the OK rule.
  void SelectFolder(const QString& folder);
  // The chosen folder after the window closed: empty after Cancel.
  const QString& Result() const { return result_; }

  QTreeView* stview_selectdir() const { return tree_; }
  QPushButton* btnOk() const { return btnOk_; }
  QPushButton* btnCancel() const { return btnCancel_; }
  // The folder selected in the tree (empty when none).
  QString SelectedFolder() const;

  void btnOkClick();
  void btnCancelClick();

private:
  void UpdateOk();

  QFileSystemModel* model_ = nullptr;
  QTreeView* tree_ = nullptr;
  QPushButton* btnOk_ = nullptr;
  QPushButton* btnCancel_ = nullptr;
  QString result_;
};

// Opens the chooser modally at `startFolder` (the user's click opened it) and returns the
// chosen folder, or an empty string when the user cancelled.
QString ChooseFolder(QWidget* parent, const QString& startFolder);
