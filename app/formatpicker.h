// The output format picker: the read-only box `edt1` showing the chosen profile's name, the
// drop-up button `imgbtn1` and the owner-drawn drop-up list `lst1` of profile names grouped
// under headers that open and close. A choice is stored as [settings] FormatCode and
// FormatName; the groups' open/closed states are remembered in [lstformat].
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <string>

class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QWidget;
class TImageButton;
class TAppSettings;

class TFormatPicker : public QObject {
  Q_OBJECT
public:
  static constexpr int kRowHeight = 20;
  static constexpr int kTableSize = 51;
  // Item data of a list row (the row's TItemInfo).
  enum Role { RoleIsGroup = 0x0100, RoleCode, RoleCollapsed };

  // The controls are made as children of `host` at the main window's positions.
  TFormatPicker(QWidget* host, TAppSettings& settings);
  ~TFormatPicker() override;

  QLineEdit* Box() const { return edt1_; }
  TImageButton* DropButton() const { return imgbtn1_; }
  QListWidget* List() const { return lst1_; }

  // Rebuilds the table and the list from the built-in profiles and the remembered states.
  void FillFormatList();
  // Writes every group row's Collapsed state to [lstformat].
  void SaveGroupStates();
  // The display name in a cell of the format table (empty when the cell is empty).
  const std::string& Cell(int group, int entry) const;

  bool ListVisible() const;
  void HideList();

signals:
  // A profile was chosen in the list.
  void FormatChosen(int code, const QString& name);

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void SelectStoredName();
  void ShowList(bool fromBoxClick);
  // Hides the open list, or opens it.
  void ToggleList(bool fromBoxClick);
  void ResizeList();
  void ToggleGroup(int row);
  void InsertEntries(int group, int afterRow);
  void ListPressed(int row, int x);

  QWidget* host_;
  TAppSettings& settings_;
  QLineEdit* edt1_;
  TImageButton* imgbtn1_;
  QListWidget* lst1_;
  std::array<std::array<std::string, kTableSize>, kTableSize> formatTable_;
};
