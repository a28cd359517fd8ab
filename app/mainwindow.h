// The main window: a fixed 914 x 566 window with its own drawn title strip. It wires the
// job list, the format picker, the preview panel, the menus and the web buttons; the parts
// own their logic.
#pragma once

#include <QDialog>
#include <QStringList>
#include <memory>
#include <string>

#include "app/core/globalobject.h"

class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressDialog;
class QPushButton;
class TFormatPicker;
class TImageButton;
class TJobAdder;
class TJobListModel;
class TJobListView;
class TMenuMark;
class TPreviewPanel;
class TRunController;
class TfrmPreference;
class TAppSettings;
class TBuilderPrompts;
class TfrmAbout;
class TfrmFileInfo;
class TfrmSettings;
class TfrmTrim;
class TfrmCrop;
class TfrmWaterMark;

class TfrmMain : public QDialog {
  Q_OBJECT
public:
  static constexpr int kWidth = 914;
  static constexpr int kHeight = 566;

  // settingsIniPath / formatIniPath: the two INI files; the global object keeps them.
  TfrmMain(const std::string& settingsIniPath, const std::string& formatIniPath, QWidget* parent = nullptr);
  ~TfrmMain() override;

  TGlobalObject* GlobalObject() const { return global_.get(); }
  TJobListModel* JobModel() const { return jobModel_; }
  TJobListView* JobList() const { return lvFIles_; }
  TFormatPicker* Picker() const { return picker_; }
  TJobAdder* Adder() const { return adder_; }
  TPreviewPanel* Preview() const { return preview_; }
  TRunController* Runner() const { return runner_; }
  QMenu* EditMenu() const { return popupMenuEdit_; }
  QMenu* FileMenu() const { return popupMenuFile_; }
  QLabel* SkippedLine() const { return lblSkipped_; }
  QPlainTextEdit* LogMemo() const { return mmoLog_; }
  QLineEdit* DirectoryEdit() const { return edDirectory_; }
  const QStringList& SkippedFiles() const { return skipped_; }

  // Adds files as the Add command does after its dialog (dropped files take this way too).
  void AddFiles(const QStringList& paths);
  // Add: loads the engine's libraries, then shows the open-file dialog.
  void btnAddClick();
  void btnRemoveClick();
  void btnClearClick();
  // Sets the Edit menu's entries by the rules (rows and a selection) just before it shows.
  void UpdateEditMenu();
  // The preferences dialog (made on first use, kept until exit), shown modally.
  void ShowPreference();
  TfrmPreference* Preference() const { return frmPreference_; }
  // Whether closing asks "Do you really want to exit?" (the tests turn the question off).
  void SetAskOnExit(bool ask) { askOnExit_ = ask; }
  // The settings, file information and about windows, made on first use and shown modally.
  void OpenSettings();
  void OpenFileInfo();
  void OpenAbout();
  TfrmSettings* SettingsDialog() const { return frmSettings_; }
  TfrmFileInfo* FileInfoDialog() const { return frmFileInfo_; }
  TfrmTrim* TrimDialog() const { return frmTrim_; }
  TfrmCrop* CropDialog() const { return frmCrop_; }
  TfrmWaterMark* WaterMarkDialog() const { return frmWaterMark_; }
  TfrmAbout* AboutDialog() const { return frmAbout_; }

protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

private:
  void FormCreate();
  void FormShow();
  void BuildTitleStrip();
  void BuildMenus();
  void BuildToolButtons();
  void BuildShareButtons();
  void BuildOutputRows();
  QPushButton* MenuButton(const char* name, const QString& caption, int x, int width);
  TImageButton* ToolButton(const char* name, const QString& caption, const QString& glyph, int x);
  void OpenUrl(const std::string& url);
  void SelectRow(int row);
  void AddFinished(const QStringList& skipped, bool cancelled);
  void UpdateButtons();

  std::unique_ptr<TGlobalObject> global_;
  std::unique_ptr<TAppSettings> settings_;
  std::unique_ptr<TBuilderPrompts> prompts_;
  TJobListModel* jobModel_ = nullptr;
  TJobListView* lvFIles_ = nullptr;
  TFormatPicker* picker_ = nullptr;
  TPreviewPanel* preview_ = nullptr;
  TfrmPreference* frmPreference_ = nullptr;
  TJobAdder* adder_ = nullptr;
  TRunController* runner_ = nullptr;
  bool exitReady_ = false;  // the run stopped for the exit has ended
  QProgressDialog* addProgress_ = nullptr;
  QLabel* lbl_appname_ = nullptr;
  QLabel* lblSkipped_ = nullptr;
  QLineEdit* edDirectory_ = nullptr;
  QPlainTextEdit* mmoLog_ = nullptr;
  QMenu* popupMenuFile_ = nullptr;
  QMenu* popupMenuEdit_ = nullptr;
  QMenu* popupMenuHelp_ = nullptr;
  TImageButton* btnAdd_ = nullptr;
  TImageButton* btnStart_ = nullptr;
  QWidget* btnStartBelow_ = nullptr;
  TImageButton* btnRemove_ = nullptr;
  TImageButton* btnClear_ = nullptr;
  QAction* actRemove_ = nullptr;
  QAction* actClear_ = nullptr;
  QAction* editRemove_ = nullptr;
  QAction* editClear_ = nullptr;
  QAction* editDetails_ = nullptr;
  QAction* editInfo_ = nullptr;
  TfrmSettings* frmSettings_ = nullptr;
  TfrmFileInfo* frmFileInfo_ = nullptr;
  TfrmTrim* frmTrim_ = nullptr;
  TfrmCrop* frmCrop_ = nullptr;
  TfrmWaterMark* frmWaterMark_ = nullptr;
  TfrmAbout* frmAbout_ = nullptr;
  QStringList skipped_;
  bool askOnExit_ = true;
};
