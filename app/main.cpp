// The desktop program: the main window on the application core.
#include <QDir>

#include "app/apperror.h"
#include "app/core/apppaths.h"
#include "app/mainwindow.h"
#include "app/quitsignals.h"
#include "controls/theme.h"
#include "dialogs/cover.h"

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  QApplication::setApplicationName("Orvane Video Converter");
  QApplication::setApplicationDisplayName("Orvane Video Converter");
  QApplication::setDesktopFileName("orvane-video-converter");
  const std::string programDir = ProgramDir();
  theme::SetSkinDir(QString::fromStdString(SkinDir(programDir)));
  theme::Apply(app);
  QApplication::setWindowIcon(QIcon(theme::SkinFile("icon.svg")));
  TfrmMain main(SettingsIniPath(), FormatIniPath(programDir));
  // SIGTERM and SIGINT close the program as Exit does.
  TQuitSignals quitSignals(main);
  main.show();
  // The splash sits over the main window and hides itself at its first timer tick.
  TfrmCover cover(&main);
  cover.show();
  return app.exec();
}
