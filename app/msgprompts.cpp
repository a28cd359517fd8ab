#include "app/msgprompts.h"

#include <QMessageBox>

bool TMessageBoxPrompts::AskYesNo(const std::string& title, const std::string& text) {
  return QMessageBox::question(parent_, QString::fromStdString(title), QString::fromStdString(text),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TMessageBoxPrompts::Warn(const std::string& title, const std::string& text) {
  QMessageBox::warning(parent_, QString::fromStdString(title), QString::fromStdString(text));
}
