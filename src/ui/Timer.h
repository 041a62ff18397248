#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

namespace relaybox {

// A window timer: fires OnTimer repeatedly at Interval while enabled; enabling a stopped
// timer or changing the interval restarts the countdown from zero.
class TTimer {
public:
  TTimer(int interval, bool enabled);

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool enabled);
  int Interval() const { return FTimer.interval(); }
  void SetInterval(int interval);

  std::function<void()> OnTimer;

private:
  void Update();

  QTimer FTimer;
  bool FEnabled = false;
};

} // namespace relaybox
