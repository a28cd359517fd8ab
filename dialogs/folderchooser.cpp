#include "dialogs/folderchooser.h"

#include <mntent.h>
#include <sys/statfs.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeView>
#include <set>

namespace {

// The mount whose mount point is the longest prefix of the folder decides its file system.
std::string MountType(const std::string& folder) {
  std::string best, type;
  FILE* f = setmntent("/proc/self/mounts", "r");
  if (!f) return {};
  while (mntent* m = getmntent(f)) {
    std::string dir = m->mnt_dir;
    const bool under = folder == dir || dir == "/" ||
                       (folder.size() > dir.size() && folder.compare(0, dir.size(), dir) == 0 &&
                        folder[dir.size()] == '/');
    if (under && dir.size() >= best.size()) {
      best = dir;
      type = m->mnt_type;
    }
  }
  endmntent(f);
  return type;
}

}  // namespace

bool IsPseudoFileSystemFolder(const std::string& folder) {
  static const std::set<std::string> kPseudo = {"proc",        "sysfs",    "devtmpfs", "devpts",     "cgroup",
                                                "cgroup2",     "debugfs",  "tracefs",  "securityfs", "pstore",
                                                "bpf",         "configfs", "fusectl",  "mqueue",     "hugetlbfs",
                                                "binfmt_misc", "efivarfs", "autofs",   "rpc_pipefs", "nsfs"};
  return kPseudo.count(MountType(folder)) > 0;
}

bool IsOpticalDiscFolder(const std::string& folder) {
  struct statfs st {};
  if (statfs(folder.c_str(), &st) != 0) return false;
  return st.f_type == 0x9660 || st.f_type == 0x15013346;
}

TfmDirectory::TfmDirectory(QWidget* parent) : QDialog(parent) {
  setObjectName("fmDirectory");
  setWindowTitle("Browse");
  setFixedSize(kWidth, kHeight);
  setProperty("skinned", true);

  auto* label = new QLabel("Please select an output directory:", this);
  label->setGeometry(10, 8, 302, 20);
  model_ = new QFileSystemModel(this);
  model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
  model_->setReadOnly(true);
  model_->setRootPath("/");
  tree_ = new QTreeView(this);
  tree_->setObjectName("stview_selectdir");
  tree_->setModel(model_);
  for (int c = 1; c < model_->columnCount(); ++c) tree_->hideColumn(c);
  tree_->header()->hide();
  tree_->setGeometry(10, 30, 302, 272);
  tree_->setRootIndex(model_->index("/").parent());
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);
  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this, &TfmDirectory::UpdateOk);
  // A right click selects as a left click does.
  tree_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(tree_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    const QModelIndex i = tree_->indexAt(at);
    if (i.isValid()) tree_->setCurrentIndex(i);
  });

  btnOk_ = new QPushButton("Ok", this);
  btnOk_->setObjectName("btnOk");
  btnOk_->setGeometry(142, 312, 80, 26);
  btnOk_->setDefault(true);
  btnCancel_ = new QPushButton("Cancel", this);
  btnCancel_->setObjectName("btnCancel");
  btnCancel_->setGeometry(232, 312, 80, 26);
  connect(btnOk_, &QPushButton::clicked, this, &TfmDirectory::btnOkClick);
  connect(btnCancel_, &QPushButton::clicked, this, &TfmDirectory::btnCancelClick);
  UpdateOk();
}

QString TfmDirectory::SelectedFolder() const {
  const QModelIndex i = tree_->currentIndex();
  return i.isValid() ? model_->filePath(i) : QString();
}

void TfmDirectory::SelectFolder(const QString& folder) {
  const QModelIndex i = model_->index(folder);
  if (i.isValid()) {
    tree_->setCurrentIndex(i);
    tree_->scrollTo(i);
    tree_->expand(i);
  }
  UpdateOk();
}

void TfmDirectory::UpdateOk() {
  const QString folder = SelectedFolder();
  btnOk_->setEnabled(!folder.isEmpty() && !IsPseudoFileSystemFolder(QFile::encodeName(folder).toStdString()));
}

void TfmDirectory::btnOkClick() {
  const QString folder = SelectedFolder();
  if (folder.isEmpty() || !btnOk_->isEnabled()) return;
  if (IsOpticalDiscFolder(QFile::encodeName(folder).toStdString())) {
    result_.clear();
    auto* box = new QMessageBox(QMessageBox::Information, QApplication::applicationDisplayName(),
                                "Output folder cannot be located in CD-ROM.Please select another folder.",
                                QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return;
  }
  result_ = folder;
  accept();
}

void TfmDirectory::btnCancelClick() {
  result_.clear();
  reject();
}

QString ChooseFolder(QWidget* parent, const QString& startFolder) {
  // One chooser per parent window, kept until that window goes.
  TfmDirectory* chooser = parent ? parent->findChild<TfmDirectory*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
  std::unique_ptr<TfmDirectory> owned;
  if (!chooser) {
    chooser = new TfmDirectory(parent);
    if (!parent) owned.reset(chooser);
  }
  chooser->SelectFolder(QDir(startFolder).exists() ? startFolder : QDir::homePath());
  return chooser->exec() == QDialog::Accepted ? chooser->Result() : QString();
}
