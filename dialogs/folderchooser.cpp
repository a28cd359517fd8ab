#include "dialogs/folderchooser.h"

#include <QFileDialog>

QString ChooseFolder(QWidget* parent, const QString& startFolder) {
  return QFileDialog::getExistingDirectory(parent, "Browse", startFolder,
                                           QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
}
