#include "app/preference.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QSpinBox>
#include <QUrl>

#include "app/core/apppaths.h"
#include "app/core/folderchoice.h"
#include "app/core/settings.h"
#include "controls/trackbar.h"
#include "dialogs/folderchooser.h"

namespace {

QString FromPath(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }
std::string ToPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

constexpr int kDefaultQuality = 20;
constexpr int kDefaultPriority = 1;  // Normal

}  // namespace

TfrmPreference::TfrmPreference(TAppSettings& settings, QWidget* parent) : QDialog(parent), settings_(settings) {
  setObjectName("frmPreference");
  setProperty("skinned", true);
  setWindowTitle("Preference");
  setFixedSize(kWidth, kHeight);
  setModal(true);

  auto* group = new QGroupBox("Snapshot", this);
  group->setGeometry(10, 8, 460, 262);
  auto label = [group](const QString& text, int x, int y, int w) {
    auto* l = new QLabel(text, group);
    l->setGeometry(x, y, w, 22);
    return l;
  };
  label("Snapshot folder:", 14, 24, 200);
  edtSnapDirectory_ = new QLineEdit(group);
  edtSnapDirectory_->setObjectName("edtSnapDirectory");
  edtSnapDirectory_->setReadOnly(true);
  edtSnapDirectory_->setGeometry(14, 48, 276, 24);
  // Controls of the group, named as the handlers and the tests know them.
  auto place = [](QWidget* w, const char* name, const QRect& r) {
    w->setObjectName(name);
    w->setGeometry(r);
  };
  auto* btnOpen = new QPushButton("&Open", group);
  place(btnOpen, "btnOpen", {298, 47, 70, 26});
  auto* btnBrows = new QPushButton("&Brows", group);
  place(btnBrows, "btnBrows", {374, 47, 70, 26});
  label("Snapshot size:", 14, 86, 130);
  ckSmallSize_ = new QCheckBox("Small Size", group);
  place(ckSmallSize_, "ckSmallSize", {150, 86, 110, 22});
  ckFullSize_ = new QCheckBox("Full Size", group);
  place(ckFullSize_, "ckFullSize", {270, 86, 110, 22});
  label("Snapshot format:", 14, 116, 130);
  ckBmp_ = new QCheckBox("BMP", group);
  place(ckBmp_, "ckBmp", {150, 116, 110, 22});
  ckJpg_ = new QCheckBox("JPG", group);
  place(ckJpg_, "ckJpg", {270, 116, 110, 22});

  label("Jpg Compression Quality:", 14, 150, 180);
  spedCmp_ = new QSpinBox(group);
  spedCmp_->setObjectName("spedCmp");
  spedCmp_->setGeometry(200, 149, 64, 24);
  spedCmp_->setRange(1, 100);
  spedCmp_->setSingleStep(1);
  // Changed with the arrows only, never typed into.
  if (auto* edit = spedCmp_->findChild<QLineEdit*>()) edit->setReadOnly(true);
  spedCmp_->setToolTip("The higher the value, the better the picture and the larger the file (1 to 100).");
  trcCmp_ = new TTrackBar2(group);
  trcCmp_->setObjectName("trcCmp");
  trcCmp_->setGeometry(14, 180, 430, 36);
  trcCmp_->SetThumbSize(20);
  trcCmp_->SetThumbLength(20);
  trcCmp_->SetTrackSize(6);
  trcCmp_->SetTickSize(4);
  trcCmp_->SetTickStyle(TTrackBar2::tiLine);
  trcCmp_->SetTickColor(QColor(168, 184, 206));
  trcCmp_->SetMin(1);
  trcCmp_->SetMax(100);
  trcCmp_->SetTickInterval(10);
  trcCmp_->SetLargeChange(2);
  lblCmpNote_ = label("(The higher the value, the better the image quality.)", 14, 222, 430);

  auto* priority = new QGroupBox("Work priority", this);
  priority->setObjectName("rgPriority");
  priority->setGeometry(10, 280, 460, 56);
  rgPriority_ = new QButtonGroup(this);
  const char* items[] = {"Idle", "Normal", "Lower", "Lowest"};
  for (int i = 0; i < 4; ++i) {
    auto* r = new QRadioButton(items[i], priority);
    r->setGeometry(14 + i * 110, 24, 100, 22);
    rgPriority_->addButton(r, i);
  }

  auto* lblFiles = new QLabel("Files converted at once:", this);
  lblFiles->setGeometry(24, 348, 170, 22);
  spedFiles_ = new QSpinBox(this);
  spedFiles_->setObjectName("spedFiles");
  spedFiles_->setRange(1, kMaxFilesAtOnce);
  spedFiles_->setGeometry(200, 347, 64, 24);

  btnDefault_ = new QPushButton("&Default", this);
  btnDefault_->setObjectName("btnDefault");
  btnDefault_->setGeometry(10, 386, 84, 28);
  btnOk_ = new QPushButton("&Ok", this);
  btnOk_->setObjectName("btnOk");
  btnOk_->setGeometry(296, 386, 84, 28);
  btnOk_->setDefault(true);
  btnCancel_ = new QPushButton("&Cancel", this);
  btnCancel_->setObjectName("btnCancel");
  btnCancel_->setGeometry(386, 386, 84, 28);

  // At least one size and one format stay chosen.
  connect(ckFullSize_, &QCheckBox::clicked, this, [this] {
    if (!ckFullSize_->isChecked() && !ckSmallSize_->isChecked()) ckFullSize_->setChecked(true);
  });
  connect(ckSmallSize_, &QCheckBox::clicked, this, [this] {
    if (!ckSmallSize_->isChecked() && !ckFullSize_->isChecked()) ckSmallSize_->setChecked(true);
  });
  connect(ckBmp_, &QCheckBox::clicked, this, [this] {
    if (!ckBmp_->isChecked() && !ckJpg_->isChecked()) ckBmp_->setChecked(true);
  });
  connect(ckJpg_, &QCheckBox::clicked, this, [this] {
    if (!ckJpg_->isChecked() && !ckBmp_->isChecked()) ckJpg_->setChecked(true);
    SetQualityEnabled(ckJpg_->isChecked());
  });
  connect(trcCmp_, &TTrackBar2::Change, this, [this] {
    const int v = trcCmp_->PositionL();
    if (v >= 1 && v <= 100) spedCmp_->setValue(v);
  });
  connect(spedCmp_, &QSpinBox::valueChanged, this, [this](int v) {
    if (v >= 1 && v <= 100) trcCmp_->SetPositionL(v);
  });
  connect(btnOpen, &QPushButton::clicked, this, &TfrmPreference::btnOpenClick);
  connect(btnBrows, &QPushButton::clicked, this, &TfrmPreference::btnBrowsClick);
  connect(btnDefault_, &QPushButton::clicked, this, &TfrmPreference::btnDefaultClick);
  connect(btnOk_, &QPushButton::clicked, this, &TfrmPreference::btnOkClick);
  connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void TfrmPreference::showEvent(QShowEvent* event) {
  if (!event->spontaneous()) FormShow();
  QDialog::showEvent(event);
}

void TfrmPreference::FormShow() {
  const TSettingsValues v = settings_.Read();
  // A stored folder that cannot be written is replaced, silently, and the replacement stored.
  const std::string folder = WritableOrHomeFolder(v.SnapOutPutDir);
  if (folder != v.SnapOutPutDir) settings_.WriteSnapOutPutDir(folder);
  edtSnapDirectory_->setText(FromPath(folder));
  ckFullSize_->setChecked(v.SnapFullSize);
  ckSmallSize_->setChecked(v.SnapSmallSize);
  ckBmp_->setChecked(v.SnapBmp);
  ckJpg_->setChecked(v.SnapJpg);
  SetQualityEnabled(v.SnapJpg);
  spedCmp_->setValue(v.JpgCmp);
  trcCmp_->SetPositionL(v.JpgCmp);
  // A stored priority the list does not know selects nothing.
  rgPriority_->setExclusive(false);
  for (QAbstractButton* b : rgPriority_->buttons()) b->setChecked(rgPriority_->id(b) == v.Priority);
  rgPriority_->setExclusive(true);
  spedFiles_->setValue(v.FilesAtOnce);
}

void TfrmPreference::SetQualityEnabled(bool enabled) {
  spedCmp_->setEnabled(enabled);
  trcCmp_->setEnabled(enabled);
}

void TfrmPreference::Warn(const QString& text) {
  auto* box = new QMessageBox(QMessageBox::Warning, "Warning", text, QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void TfrmPreference::btnOpenClick() {
  const std::string folder = settings_.Read().SnapOutPutDir;
  if (edtSnapDirectory_->text().size() > 2) QDesktopServices::openUrl(QUrl::fromLocalFile(FromPath(folder)));
}

void TfrmPreference::btnBrowsClick() { FolderChosen(ChooseFolder(this, edtSnapDirectory_->text())); }

void TfrmPreference::FolderChosen(const QString& chosen) {
  const TFolderChoice c = CheckChosenFolder(ToPath(chosen), ToPath(edtSnapDirectory_->text()));
  if (!c.Message.empty()) Warn(QString::fromStdString(c.Message));
  if (c.Kind == TFolderChoice::fcStored || c.Kind == TFolderChoice::fcReplaced) {
    settings_.WriteSnapOutPutDir(c.Folder);
    edtSnapDirectory_->setText(FromPath(c.Folder));
  }
}

void TfrmPreference::btnDefaultClick() {
  edtSnapDirectory_->setText(FromPath(DefaultOutputDir()));
  ckBmp_->setChecked(true);
  ckJpg_->setChecked(false);
  ckFullSize_->setChecked(true);
  ckSmallSize_->setChecked(false);
  SetQualityEnabled(false);  // JPG is off
  rgPriority_->button(kDefaultPriority)->setChecked(true);
  spedCmp_->setValue(kDefaultQuality);
  spedFiles_->setValue(1);
}

void TfrmPreference::btnOkClick() {
  TPreferenceValues v;
  v.SnapOutPutDir = edtSnapDirectory_->text().isEmpty() ? DefaultOutputDir() : ToPath(edtSnapDirectory_->text());
  v.SnapBmp = ckBmp_->isChecked();
  v.SnapJpg = ckJpg_->isChecked();
  v.SnapFullSize = ckFullSize_->isChecked();
  v.SnapSmallSize = ckSmallSize_->isChecked();
  v.JpgCmp = spedCmp_->value();
  v.Priority = rgPriority_->checkedId();
  settings_.WritePreferences(v);
  settings_.WriteFilesAtOnce(spedFiles_->value());
  accept();
}
