#include "ui/Timer.h"

#include <stdexcept>

#include "ui/ErrorReport.h"

namespace relaybox {

TTimer::TTimer(int interval, bool enabled) {
  FTimer.setTimerType(Qt::PreciseTimer);
  FTimer.setInterval(interval);
  QObject::connect(&FTimer, &QTimer::timeout, [this] {
    if (OnTimer) RunEventHandler(OnTimer);
  });
  SetEnabled(enabled);
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == FEnabled) return;
  FEnabled = enabled;
  Update();
}

void TTimer::SetInterval(int interval) {
  if (interval == FTimer.interval()) return;
  FTimer.setInterval(interval);
  Update();
}

void TTimer::Update() {
  if (!FEnabled || FTimer.interval() <= 0) {
    FTimer.stop();
    return;
  }
  FTimer.start();  // restarts a running countdown
  if (!FTimer.isActive()) throw std::runtime_error("Not enough timers available");
}

} // namespace relaybox
