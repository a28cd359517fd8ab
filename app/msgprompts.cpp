#include "app/msgprompts.h"

#include <QMessageBox>

bool TMessageBoxPrompts::AskYesNo(const std::string& title, const std::string& text) {
  return QMessageBox::question(parent_, QString::fromStdString(title), QString::fromStdString(text),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TMessageBoxPrompts::Warn(const std::string& title, const std::string& text) {
  // Shown without waiting: a warning that waited would run the queued work of the window (more
  // added rows, engine notices) inside its own event loop, each of which could warn again.
  auto* box = new QMessageBox(QMessageBox::Warning, QString::fromStdString(title), QString::fromStdString(text),
                              QMessageBox::Ok, parent_);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void THeldWarnings::Flush() {
  std::vector<std::pair<std::string, std::string>> held;
  held.swap(held_);
  for (const auto& [title, text] : held) target_.Warn(title, text);
}
