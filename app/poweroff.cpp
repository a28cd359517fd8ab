#include "app/poweroff.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <cstdlib>

bool TLogindPowerOff::PowerOff(QString& error) {
  if (std::getenv("ORVANE_NO_POWEROFF")) {
    error = "Powering off is turned off in this environment (ORVANE_NO_POWEROFF).";
    return false;
  }
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) {
    error = "The system bus is not available: " + bus.lastError().message();
    return false;
  }
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                                     "org.freedesktop.login1.Manager", "PowerOff");
  call << false;  // not interactive: no password question from the session manager
  const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
  if (reply.type() == QDBusMessage::ErrorMessage) {
    error = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    return false;
  }
  return true;
}

std::unique_ptr<TPowerOff> MakeSystemPowerOff() { return std::make_unique<TLogindPowerOff>(); }
