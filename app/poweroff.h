// Powering the computer off after a run: the session manager (logind) is asked over the
// system bus. The run controller holds the interface; tests put a fake in its place.
#pragma once

#include <QString>
#include <memory>

class TPowerOff {
public:
  virtual ~TPowerOff() = default;
  // Asks for the power-off; false with the reason when it was refused or could not be asked.
  virtual bool PowerOff(QString& error) = 0;
};

// org.freedesktop.login1.Manager.PowerOff (interactive false) on the system bus. Refuses
// without asking when ORVANE_NO_POWEROFF is set (the test suite sets it, so that no test can
// power the machine off even through the real interface).
class TLogindPowerOff : public TPowerOff {
public:
  bool PowerOff(QString& error) override;
};

std::unique_ptr<TPowerOff> MakeSystemPowerOff();
