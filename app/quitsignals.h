// SIGTERM and SIGINT (a session's log-out, `kill`, Ctrl-C in the terminal that started the
// program) close the desktop program as Exit does, without the exit question: a conversion
// run is stopped cleanly first, the main window closes, the players stop, and the program
// ends with status 0. The signal handler only writes the signal's number into a pipe; the
// main thread reads it through a socket notifier and does the rest.
#pragma once

#include <QObject>

class QSocketNotifier;
class TfrmMain;

class TQuitSignals : public QObject {
public:
  // Installs the handlers for SIGTERM and SIGINT (one object at a time).
  explicit TQuitSignals(TfrmMain& main);
  // Puts the signals' default actions back.
  ~TQuitSignals() override;
  TQuitSignals(const TQuitSignals&) = delete;
  TQuitSignals& operator=(const TQuitSignals&) = delete;

  // The last signal received (0: none).
  int Received() const { return received_; }

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void SignalArrived();
  void CloseMain();

  TfrmMain& main_;
  QSocketNotifier* notifier_ = nullptr;
  int received_ = 0;
};
