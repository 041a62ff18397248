#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace relaybox {

class TWndControl;

// A timer that ticks through its owner component's hidden window: OnTimer fires on the
// owner thread once at least Interval ms have passed since the previous tick or the arming.
class TWndTimer {
public:
  explicit TWndTimer(TWndControl* owner);
  ~TWndTimer();
  TWndTimer(const TWndTimer&) = delete;
  TWndTimer& operator=(const TWndTimer&) = delete;

  std::uint32_t Interval() const { return FInterval; }
  void SetInterval(std::uint32_t interval);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool enabled);
  void SetOnTimer(std::function<void(TWndTimer&)> handler);

  // Runs the tick of the live timer with this identity; a tick that outlives its timer is
  // ignored.
  static void DispatchTick(std::uint64_t identity);

private:
  void Update();
  void Tick();

  TWndControl& FOwner;
  std::uint64_t FIdentity;
  std::uint32_t FInterval = 1000;
  bool FEnabled = true;
  bool FArmed = false;
  std::function<void(TWndTimer&)> FOnTimer;
  std::chrono::steady_clock::time_point FLastTick;
};

} // namespace relaybox
