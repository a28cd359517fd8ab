#include "app/mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QUrl>
#include <QWindow>

#include "app/core/apppaths.h"
#include "app/core/apppaths.h"
#include "app/core/filefilters.h"
#include "app/core/folderchoice.h"
#include "app/core/weblinks.h"
#include "app/formatpicker.h"
#include "app/jobadder.h"
#include "app/joblist.h"
#include "app/menumark.h"
#include "app/msgprompts.h"
#include "app/preference.h"
#include "app/previewpanel.h"
#include "app/runcontroller.h"
#include "controls/theme.h"
#include "app/core/settings.h"
#include "controls/imagebutton.h"
#include "dialogs/about.h"
#include "dialogs/fileinfo.h"
#include "dialogs/settings.h"
#include "dialogs/crop.h"
#include "dialogs/watermark.h"
#include "dialogs/trim.h"
#include "media/loader.h"

namespace {

constexpr int kTitleStripHeight = 30;

// A dialog filter whose patterns match without regard to letter case: "*.avi" becomes
// "*.[aA][vV][iI]".
QString CaseFreePattern(const std::string& pattern) {
  QString out;
  for (char c : pattern) {
    const QChar ch = QChar::fromLatin1(c);
    if (ch.isLetter())
      out += QString("[%1%2]").arg(ch.toLower()).arg(ch.toUpper());
    else
      out += ch;
  }
  return out;
}

QStringList DialogNameFilters() {
  QStringList filters;
  for (const TFileFilter& f : OpenDialogFilters()) {
    QStringList patterns;
    for (const std::string& p : SplitPatterns(f.Patterns)) patterns << CaseFreePattern(p);
    patterns.removeDuplicates();
    filters << QString("%1 (%2)").arg(f.Description, patterns.join(' '));
  }
  return filters;
}

QString LocalPath(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }
std::string PathBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace

TfrmMain::TfrmMain(const std::string& settingsIniPath, const std::string& formatIniPath, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint) {
  global_ = std::make_unique<TGlobalObject>();
  global_->SetSettingsIniPath(settingsIniPath);
  global_->SetFormatIniPath(formatIniPath);
  FormCreate();
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::FormCreate() {
  setObjectName("frmMain");
  setFixedSize(kWidth, kHeight);
  setAttribute(Qt::WA_StyledBackground);
  global_->SetVersionText(" ver 2.50 ");
  global_->SetProductUrl(weblinks::kProductUrl);
  global_->SetHelpUrl(weblinks::kHelpUrl);
  QApplication::setApplicationDisplayName(QString::fromStdString(global_->ProductName));
  setWindowTitle(QString::fromStdString(global_->ProductName));
  settings_ = std::make_unique<TAppSettings>(global_->SettingsIniPath, global_->FormatIniPath);
  prompts_ = std::make_unique<TMessageBoxPrompts>(this);

  mmoLog_ = new QPlainTextEdit(this);
  mmoLog_->setObjectName("mmoLog");
  mmoLog_->setReadOnly(true);
  mmoLog_->hide();
  // The player's codec libraries: a failure is only written to the hidden log memo.
  std::string loadError;
  if (!LoadCodecLibraries(kPlayerLibs, loadError)) mmoLog_->appendPlainText(QString::fromStdString(loadError));

  BuildTitleStrip();
  BuildMenus();
  BuildToolButtons();
  BuildShareButtons();

  jobModel_ = new TJobListModel(this);
  lvFIles_ = new TJobListView(this);
  lvFIles_->setObjectName("lvFIles");
  lvFIles_->setModel(jobModel_);
  lvFIles_->setGeometry(21, 127, 479, 329);
  connect(lvFIles_, &TJobListView::FilesDropped, this, [this](const QStringList& dropped) {
    std::vector<std::string> paths;
    for (const QString& p : dropped) paths.push_back(PathBytes(p));
    QStringList files;
    for (const std::string& p : ExpandDroppedPaths(paths)) files << LocalPath(p);
    AddFiles(files);
  });
  connect(lvFIles_, &TJobListView::ContextMenuWanted, this, [this](const QPoint& at) {
    UpdateEditMenu();
    popupMenuEdit_->popup(at);
  });
  lblSkipped_ = new QLabel(this);
  lblSkipped_->setObjectName("lblSkipped");
  lblSkipped_->setGeometry(21, 459, 479, 20);
  lblSkipped_->setTextFormat(Qt::RichText);
  lblSkipped_->setStyleSheet("color: #ffd9a0;");
  lblSkipped_->hide();
  connect(lblSkipped_, &QLabel::linkActivated, this, [this] {
    auto* box = new QMessageBox(QMessageBox::Information, "Skipped files",
                                QString("%1 file(s) could not be opened and were not added.").arg(skipped_.size()),
                                QMessageBox::Ok, this);
    box->setDetailedText(skipped_.join('\n'));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  });

  adder_ = new TJobAdder(*jobModel_, *settings_, *prompts_, this);
  connect(adder_, &TJobAdder::RowAdded, this, [this](int) {
    // After every added row the first row is selected and focused.
    SelectRow(0);
    UpdateButtons();
  });
  connect(adder_, &TJobAdder::Progress, this, [this](int done, int total) {
    if (addProgress_) {
      addProgress_->setMaximum(total);
      addProgress_->setValue(done);
    }
  });
  connect(adder_, &TJobAdder::Finished, this, &TfrmMain::AddFinished);
  // The folder box shows where the outputs really go.
  connect(adder_, &TJobAdder::OutputFolderUsed, this, [this](const QString& f) { edDirectory_->setText(f); });

  preview_ = new TPreviewPanel(this, *settings_, lvFIles_, mmoLog_);
  connect(preview_, &TPreviewPanel::AddWanted, this, &TfrmMain::btnAddClick);
  picker_ = new TFormatPicker(this, *settings_);
  runner_ = new TRunController(this, *jobModel_, *settings_, *prompts_);
  connect(runner_, &TRunController::AboutToStart, preview_, &TPreviewPanel::imgbtnStopClick);
  connect(runner_, &TRunController::RunStarted, this, &TfrmMain::UpdateButtons);
  connect(runner_, &TRunController::OutputFolderUsed, this, [this](const QString& f) { edDirectory_->setText(f); });
  connect(runner_, &TRunController::RunEnded, this, &TfrmMain::UpdateButtons);
  // The Start button that was clicked lost the focus when it was disabled for the run: the
  // keyboard goes back to the job list, which has it again once the progress window is gone.
  connect(runner_, &TRunController::RunEnded, lvFIles_, [this] { lvFIles_->setFocus(Qt::OtherFocusReason); });
  connect(runner_, &TRunController::ExitReady, this, [this] {
    exitReady_ = true;
    close();
  });
  BuildOutputRows();
  UpdateButtons();
}

void TfrmMain::BuildTitleStrip() {
  auto* imgIcon = new QLabel(this);
  imgIcon->setObjectName("imgIcon");
  imgIcon->setGeometry(19, 7, 26, 20);
  imgIcon->setPixmap(theme::SkinPixmap("icon.svg", {20, 20}, devicePixelRatioF()));
  imgIcon->setAlignment(Qt::AlignCenter);
  lbl_appname_ = new QLabel(this);
  lbl_appname_->setObjectName("lbl_appname");
  lbl_appname_->setGeometry(56, 9, 263, 18);
  auto* btnSmall = new TImageButton(this);
  btnSmall->setObjectName("btnSmall");
  btnSmall->SetPictures("title-min");
  btnSmall->setGeometry(839, 5, 24, 24);
  btnSmall->setToolTip("Minimize");
  btnSmall->setAccessibleName("Minimize");
  connect(btnSmall, &TImageButton::clicked, this, &QWidget::showMinimized);
  auto* btnClose = new TImageButton(this);
  btnClose->setObjectName("btnClose");
  btnClose->SetPictures("title-close");
  btnClose->setGeometry(863, 5, 24, 24);
  btnClose->setToolTip("Close");
  btnClose->setAccessibleName("Close");
  connect(btnClose, &TImageButton::clicked, this, &QWidget::close);
}

QPushButton* TfrmMain::MenuButton(const char* name, const QString& caption, int x, int width) {
  auto* b = new QPushButton(caption, this);
  b->setObjectName(name);
  b->setProperty("menuButton", true);
  b->setGeometry(x, 33, width, 23);
  return b;
}

void TfrmMain::BuildMenus() {
  popupMenuFile_ = new QMenu(this);
  popupMenuFile_->setObjectName("popupMenuFile");
  popupMenuFile_->addAction("&Add", this, &TfrmMain::btnAddClick);
  actRemove_ = popupMenuFile_->addAction("&Remove", this, &TfrmMain::btnRemoveClick);
  actClear_ = popupMenuFile_->addAction("&Clear", this, &TfrmMain::btnClearClick);
  popupMenuFile_->addAction("&Start", this, [this] { runner_->Start(); });
  popupMenuFile_->addSeparator();
  popupMenuFile_->addAction("Se&ttings", this, &TfrmMain::OpenSettings);
  popupMenuFile_->addSeparator();
  popupMenuFile_->addAction("&Exit", this, &QWidget::close);

  popupMenuEdit_ = new QMenu(this);
  popupMenuEdit_->setObjectName("popupMenuEdit");
  popupMenuEdit_->addAction("&Crop", this, [this] {
    preview_->imgbtnStopClick();
    delete frmCrop_;  // a new window for every use
    frmCrop_ = new TfrmCrop(*jobModel_, *settings_, this);
    frmCrop_->ShowFor(lvFIles_->currentIndex().row());
  });
  popupMenuEdit_->addAction("&Trim", this, [this] {
    if (!frmTrim_) frmTrim_ = new TfrmTrim(*jobModel_, *settings_, this);
    preview_->imgbtnStopClick();
    frmTrim_->ShowFor(lvFIles_->currentIndex().row());
  });
  popupMenuEdit_->addAction("&Video Effect && Water Mark", this, [this] {
    preview_->imgbtnStopClick();
    delete frmWaterMark_;  // a new window for every use
    frmWaterMark_ = new TfrmWaterMark(*jobModel_, *settings_, this);
    frmWaterMark_->ShowFor(lvFIles_->currentIndex().row());
  });
  popupMenuEdit_->addSeparator();
  popupMenuEdit_->addAction("&Add", this, &TfrmMain::btnAddClick);
  editRemove_ = popupMenuEdit_->addAction("&Remove", this, &TfrmMain::btnRemoveClick);
  editClear_ = popupMenuEdit_->addAction("&Clear", this, &TfrmMain::btnClearClick);
  popupMenuEdit_->addAction("&Start", this, [this] { runner_->Start(); });
  popupMenuEdit_->addSeparator();
  editInfo_ = popupMenuEdit_->addAction("Video &Information", this, &TfrmMain::OpenFileInfo);
  editDetails_ = popupMenuEdit_->addAction("&Details", this,
                                           [this] { runner_->ShowDetails(lvFIles_->currentIndex().row()); });

  popupMenuHelp_ = new QMenu(this);
  popupMenuHelp_->setObjectName("popupMenuHelp");
  popupMenuHelp_->addAction("&Help", this, [this] { OpenUrl(global_->HelpUrl); });
  popupMenuHelp_->addAction("&Support and Contact", this, [this] { OpenUrl(weblinks::kSupportUrl); });
  popupMenuHelp_->addAction("&About", this, &TfrmMain::OpenAbout);

  auto* file = MenuButton("menubtnFile", "File", 15, 42);
  new TMenuMark(file, popupMenuFile_);
  auto* edit = MenuButton("menubtnEdit", "Edit", 57, 43);
  connect(new TMenuMark(edit, popupMenuEdit_), &TMenuMark::AboutToShow, this, &TfrmMain::UpdateEditMenu);
  connect(MenuButton("menubtnPreference", "Preference", 100, 68), &QPushButton::clicked, this,
          &TfrmMain::ShowPreference);
  auto* help = MenuButton("menubtnHelp", "Help", 168, 48);
  new TMenuMark(help, popupMenuHelp_);
  auto* website = MenuButton("menubtnWebsite", "Website", 216, 55);
  connect(website, &QPushButton::clicked, this, [this] { OpenUrl(global_->ProductUrl); });
}

TImageButton* TfrmMain::ToolButton(const char* name, const QString& caption, const QString& glyph, int x) {
  auto* b = new TImageButton(this);
  b->setObjectName(name);
  b->SetPictures("tool");
  b->SetGlyph(glyph, {24, 24});
  b->setText(caption);
  b->setGeometry(x, 67, 96, 53);
  return b;
}

void TfrmMain::BuildToolButtons() {
  btnAdd_ = ToolButton("btnAdd", "Add", "glyph-add.svg", 15);
  connect(btnAdd_, &TImageButton::clicked, this, &TfrmMain::btnAddClick);
  btnRemove_ = ToolButton("btnRemove", "Remove", "glyph-remove.svg", 111);
  connect(btnRemove_, &TImageButton::clicked, this, &TfrmMain::btnRemoveClick);
  btnClear_ = ToolButton("btnClear", "Clear", "glyph-clear.svg", 207);
  connect(btnClear_, &TImageButton::clicked, this, &TfrmMain::btnClearClick);
  connect(ToolButton("btnSettings", "Settings", "glyph-settings.svg", 303), &TImageButton::clicked, this,
          &TfrmMain::OpenSettings);
  auto* btnEdit = ToolButton("btnEdit", "Edit", "glyph-edit.svg", 399);
  connect(new TMenuMark(btnEdit, popupMenuEdit_, QPoint(4, btnEdit->height() - 5)), &TMenuMark::AboutToShow, this,
          &TfrmMain::UpdateEditMenu);
  btnStart_ = ToolButton("btnStart", "Start", "glyph-start.svg", 495);
  connect(btnStart_, &TImageButton::clicked, this, [this] { runner_->Start(); });
}

void TfrmMain::BuildShareButtons() {
  int x = 666;
  for (const weblinks::TShareService& s : weblinks::ShareServices()) {
    auto* b = new TImageButton(this);
    b->setObjectName(s.Control);
    b->SetPictures(s.Picture);
    b->setGeometry(x, 75, 32, 32);
    b->setToolTip(s.Hint);
    b->setAccessibleName(s.Hint);
    const std::string control = s.Control;
    connect(b, &TImageButton::clicked, this,
            [this, control] { OpenUrl(weblinks::ShareUrl(control, global_->ProductUrl)); });
    x += 33;
  }
}

void TfrmMain::BuildOutputRows() {
  // The labels end at their boxes, so no font cuts them off.
  auto* format = new QLabel("Output Format:", this);
  format->setGeometry(4, 485, 96, 22);
  format->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  auto* btnOptions = new QPushButton("Settings", this);
  btnOptions->setObjectName("btnOptions");
  btnOptions->setGeometry(440, 485, 61, 23);
  connect(btnOptions, &QPushButton::clicked, this, [this] {
    picker_->SaveGroupStates();
    OpenSettings();
  });
  auto* dir = new QLabel("Output Directory:", this);
  dir->setGeometry(4, 520, 96, 22);
  dir->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  edDirectory_ = new QLineEdit(this);
  edDirectory_->setObjectName("edDirectory");
  edDirectory_->setReadOnly(true);
  edDirectory_->setGeometry(104, 521, 277, 20);
  auto* btnBrows = new QPushButton("Browse", this);
  btnBrows->setObjectName("btnBrows");
  btnBrows->setGeometry(384, 519, 52, 23);
  connect(btnBrows, &QPushButton::clicked, this, [this] { runner_->Browse(edDirectory_); });
  auto* btnOpen = new QPushButton("Open", this);
  btnOpen->setObjectName("btnOpen");
  btnOpen->setGeometry(440, 519, 61, 23);
  connect(btnOpen, &QPushButton::clicked, this, [this] { runner_->OpenOutputFolder(); });
  auto* btnStartBelow = new TImageButton(this);
  btnStartBelow_ = btnStartBelow;
  btnStartBelow->setObjectName("btnStartBelow");
  btnStartBelow->SetPictures("tool");
  btnStartBelow->SetGlyph("glyph-start.svg", {24, 24});
  btnStartBelow->setText("Start");
  btnStartBelow->setGeometry(647, 486, 129, 61);
  connect(btnStartBelow, &TImageButton::clicked, this, [this] { runner_->Start(); });
}

void TfrmMain::FormShow() {
  // Output and snapshot folders: an unwritable folder is replaced by the one in the home
  // folder, and the replacement is stored.
  const std::string out = settings_->Read().OutPutDir;
  const std::string outUsed = WritableOrHomeFolder(out);
  if (outUsed != out) settings_->WriteOutPutDir(outUsed);
  const std::string snap = settings_->Read().SnapOutPutDir;
  const std::string snapUsed = WritableOrHomeFolder(snap);
  if (snapUsed != snap) settings_->WriteSnapOutPutDir(snapUsed);
  edDirectory_->setText(LocalPath(outUsed));
  preview_->LoadVolume();
  global_->SetVersionText(TGlobalObject::GetFileVersionText());
  lbl_appname_->setText(QString::fromStdString(global_->ProductName + global_->VersionText));
  picker_->FillFormatList();
  // The keyboard starts on the job list (else it would land on the first control of the title
  // strip when the window is activated).
  lvFIles_->setFocus(Qt::OtherFocusReason);
}

void TfrmMain::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  // During a run the exit stops it first; the window closes when the run has ended. A second
  // request while it stops changes nothing.
  if (runner_->Running() && runner_->Stopping()) {
    event->ignore();
    return;
  }
  if (!exitReady_ && askOnExit_ &&
      QMessageBox::question(this, "Warning", "Do you really want to exit?", QMessageBox::Yes | QMessageBox::No) !=
          QMessageBox::Yes) {
    event->ignore();
    return;
  }
  if (runner_->Running()) {
    event->ignore();
    runner_->StopForExit();
    return;
  }
  picker_->SaveGroupStates();
  adder_->Cancel();
  event->accept();
}

void TfrmMain::keyPressEvent(QKeyEvent* event) {
  // Escape would close the window as a dialog; the window closes only through the question.
  if (event->key() == Qt::Key_Escape) {
    if (picker_->ListVisible()) picker_->HideList();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TfrmMain::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), theme::kWindowBack);
  // The title strip, a little darker, with a hairline below.
  p.fillRect(QRect(0, 0, width(), kTitleStripHeight), QColor(17, 39, 70));
  p.setPen(QColor(58, 92, 140));
  p.drawLine(0, kTitleStripHeight, width(), kTitleStripHeight);
  p.drawRect(rect().adjusted(0, 0, -1, -1));
}

void TfrmMain::mousePressEvent(QMouseEvent* event) {
  // The drawn title strip moves the window.
  if (event->button() == Qt::LeftButton && event->position().y() < kTitleStripHeight && windowHandle()) {
    windowHandle()->startSystemMove();
    return;
  }
  QDialog::mousePressEvent(event);
}

void TfrmMain::ShowPreference() {
  if (!frmPreference_) frmPreference_ = new TfrmPreference(*settings_, this);
  frmPreference_->open();
}

void TfrmMain::OpenUrl(const std::string& url) { QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); }

void TfrmMain::SelectRow(int row) {
  if (row < 0 || row >= jobModel_->rowCount()) return;
  const QModelIndex index = jobModel_->index(row, 0);
  lvFIles_->setCurrentIndex(index);
  lvFIles_->scrollTo(index);
  lvFIles_->setFocus();
  lvFIles_->viewport()->update();
}

void TfrmMain::UpdateButtons() {
  const bool idle = !runner_ || !runner_->Running();
  const bool rows = jobModel_->rowCount() > 0 && idle;
  for (QWidget* w : {static_cast<QWidget*>(btnRemove_), static_cast<QWidget*>(btnClear_)}) w->setEnabled(rows);
  actRemove_->setEnabled(rows);
  actClear_->setEnabled(rows);
  for (QWidget* w : {static_cast<QWidget*>(btnAdd_), static_cast<QWidget*>(btnStart_), btnStartBelow_})
    if (w) w->setEnabled(idle);
}

void TfrmMain::UpdateEditMenu() {
  const bool ready = jobModel_->rowCount() > 0 && lvFIles_->currentIndex().isValid() && !runner_->Running();
  editRemove_->setEnabled(ready);
  editClear_->setEnabled(ready);
  editInfo_->setEnabled(ready);
  for (QAction* a : popupMenuEdit_->actions()) {
    const QString t = a->text();
    if (t == "&Trim" || t == "&Crop" || t == "&Video Effect && Water Mark")
      a->setEnabled(jobModel_->rowCount() > 0 && !runner_->Running());
    if (t == "&Start") a->setEnabled(jobModel_->rowCount() > 0 && !runner_->Running());
  }
  // Details: why the selected row's file failed or stopped.
  editDetails_->setEnabled(ready && !jobModel_->Message(lvFIles_->currentIndex().row()).isEmpty());
}

void TfrmMain::btnAddClick() {
  if (adder_->Busy()) return;
  std::string error;
  if (!LoadCodecLibraries(kEngineLibs, error)) {
    mmoLog_->appendPlainText(QString::fromStdString(error));
    return;
  }
  auto* dialog = new QFileDialog(this, "Open");
  dialog->setFileMode(QFileDialog::ExistingFiles);
  dialog->setNameFilters(DialogNameFilters());
  dialog->setOption(QFileDialog::HideNameFilterDetails);
  dialog->setSizeGripEnabled(true);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QFileDialog::filesSelected, this, &TfrmMain::AddFiles);
  dialog->open();
}

void TfrmMain::AddFiles(const QStringList& paths) {
  std::vector<std::string> files;
  for (const QString& p : paths) files.push_back(PathBytes(p));
  if (files.empty() || !adder_->Add(files)) return;
  lblSkipped_->hide();
  if (!addProgress_) {
    addProgress_ = new QProgressDialog("Adding files...", "Cancel", 0, 1, this);
    addProgress_->setObjectName("addProgress");
    addProgress_->setWindowModality(Qt::NonModal);
    // The rows arrive one by one: reaching the maximum ends nothing; the end of the batch
    // resets the dialog, which hides it and stops its delayed showing.
    addProgress_->setAutoClose(true);
    addProgress_->setAutoReset(false);
    addProgress_->setMinimumDuration(400);
    connect(addProgress_, &QProgressDialog::canceled, adder_, &TJobAdder::Cancel);
  }
  addProgress_->reset();
  addProgress_->setMaximum(int(files.size()));
  addProgress_->setValue(0);
}

void TfrmMain::AddFinished(const QStringList& skipped, bool) {
  if (addProgress_) addProgress_->reset();
  skipped_ = skipped;
  if (!skipped.isEmpty()) {
    lblSkipped_->setText(
        QString("%1 file(s) could not be opened and were skipped. <a href=\"#\" style=\"color:#ffffff\">"
                "Show names</a>")
            .arg(skipped.size()));
    lblSkipped_->show();
  }
  UpdateButtons();
  preview_->AddFinished();
}

void TfrmMain::btnRemoveClick() {
  const int row = lvFIles_->currentIndex().row();
  if (row < 0) return;
  jobModel_->RemoveRow(row);
  if (jobModel_->rowCount() > 0)
    SelectRow(std::min(row, jobModel_->rowCount() - 1));
  else
    preview_->imgbtnStopClick();
  lvFIles_->viewport()->update();
  UpdateButtons();
}

void TfrmMain::btnClearClick() {
  if (jobModel_->rowCount() == 0) return;
  jobModel_->Clear();
  preview_->imgbtnStopClick();
  lvFIles_->viewport()->update();
  UpdateButtons();
}

void TfrmMain::OpenSettings() {
  if (!frmSettings_) {
    frmSettings_ = new TfrmSettings(this, *settings_);
    connect(frmSettings_, &TfrmSettings::SettingsSaved, picker_, &TFormatPicker::FillFormatList);
  }
  frmSettings_->open();
}

void TfrmMain::OpenFileInfo() {
  if (!frmFileInfo_) frmFileInfo_ = new TfrmFileInfo(this);
  const TlvFilesRecord* job = jobModel_->rowCount() > 0 ? jobModel_->Record(lvFIles_->currentIndex().row()) : nullptr;
  frmFileInfo_->open();
  frmFileInfo_->ShowFile(job ? job->SourceFile : std::string());
}

void TfrmMain::OpenAbout() {
  if (!frmAbout_) frmAbout_ = new TfrmAbout(this, *global_);
  frmAbout_->open();
}
