// The program's one handler of errors that reach the event loop, and its message text rule.
#pragma once

#include <QApplication>
#include <exception>
#include <string>

// The error text with a full stop added when its last character sorts after "." (byte order):
// "No file" -> "No file.", "Done." and "Stop!" stay as they are.
std::string WithFullStop(const std::string& text);

// Shows the error in a message box titled with the application's name: a warning icon for an
// engine error (FFmpegException), an error icon for any other.
void HandleApplicationError(const std::exception& error);

// The application object: every exception thrown by an event handler goes to
// HandleApplicationError instead of ending the program.
class TApplication : public QApplication {
public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};
