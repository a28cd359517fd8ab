#include "app/apperror.h"

#include <QMessageBox>

#include "media/errors.h"

std::string WithFullStop(const std::string& text) {
  std::string out = text;
  if (!out.empty() && static_cast<unsigned char>(out.back()) > static_cast<unsigned char>('.')) out += '.';
  return out;
}

void HandleApplicationError(const std::exception& error) {
  const bool engine = dynamic_cast<const FFmpegException*>(&error) != nullptr;
  QMessageBox box(engine ? QMessageBox::Warning : QMessageBox::Critical, QApplication::applicationDisplayName(),
                  QString::fromStdString(WithFullStop(error.what())), QMessageBox::Ok);
  box.exec();
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    HandleApplicationError(e);
  } catch (...) {
    HandleApplicationError(std::runtime_error("Unknown error"));
  }
  return false;
}
