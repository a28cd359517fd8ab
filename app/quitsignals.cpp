#include "app/quitsignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>

#include "app/mainwindow.h"
#include "app/runcontroller.h"

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT};
// The pipe from the handler to the main thread: [0] read, [1] write.
int gPipe[2] = {-1, -1};

extern "C" void OnQuitSignal(int sig) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(sig);
  // Async-signal-safe; a full pipe already holds a request.
  [[maybe_unused]] const ssize_t n = write(gPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

TQuitSignals::TQuitSignals(TfrmMain& main) : main_(main) {
  if (gPipe[0] >= 0 || pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  notifier_ = new QSocketNotifier(gPipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &TQuitSignals::SignalArrived);
  struct sigaction sa {};
  sa.sa_handler = OnQuitSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : kSignals) sigaction(sig, &sa, nullptr);
  // A run that was already stopping when the signal came ends without the exit's notice:
  // the window is closed again then.
  connect(main_.Runner(), &TRunController::RunEnded, this, [this] {
    if (received_) QTimer::singleShot(0, this, &TQuitSignals::CloseMain);
  });
  main_.installEventFilter(this);
}

TQuitSignals::~TQuitSignals() {
  if (!notifier_) return;
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) sigaction(sig, &sa, nullptr);
  close(gPipe[0]);
  close(gPipe[1]);
  gPipe[0] = gPipe[1] = -1;
}

void TQuitSignals::SignalArrived() {
  unsigned char byte = 0;
  while (read(gPipe[0], &byte, 1) == 1) received_ = byte;
  if (received_) CloseMain();
}

void TQuitSignals::CloseMain() {
  // Exit's way, without the question: during a run the window stays until the run has
  // stopped (the engine stops cleanly; no unfinished output keeps a final name).
  main_.SetAskOnExit(false);
  main_.close();
}

bool TQuitSignals::eventFilter(QObject* watched, QEvent* event) {
  // The main window has closed: the program ends, also when another window (an editing
  // dialog, the progress window) is still open.
  if (received_ && watched == &main_ && event->type() == QEvent::Hide && !main_.isVisible())
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
  return QObject::eventFilter(watched, event);
}
