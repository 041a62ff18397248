#include "net/WndTimer.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "net/SocketPoller.h"
#include "net/WndControl.h"
#include "net/WndControlException.h"

namespace relaybox {
namespace {

std::atomic<std::uint64_t> NextIdentity{1};
std::mutex LiveLock;
std::unordered_map<std::uint64_t, TWndTimer*> LiveTimers;

TWndControl& RequireOwner(TWndControl* owner) {
  if (owner == nullptr) throw EWndTimerException("Owner not assigned");
  return *owner;
}

} // namespace

TWndTimer::TWndTimer(TWndControl* owner)
    : FOwner(RequireOwner(owner)), FIdentity(NextIdentity.fetch_add(1, std::memory_order_relaxed)) {
  const std::lock_guard lock(LiveLock);
  LiveTimers.emplace(FIdentity, this);
}

TWndTimer::~TWndTimer() {
  if (FArmed) TSocketPoller::Instance().KillTimer(FIdentity);
  const std::lock_guard lock(LiveLock);
  LiveTimers.erase(FIdentity);
}

void TWndTimer::SetInterval(std::uint32_t interval) {
  FInterval = interval;
  Update();
}

void TWndTimer::SetEnabled(bool enabled) {
  FEnabled = enabled;
  Update();
}

void TWndTimer::SetOnTimer(std::function<void(TWndTimer&)> handler) {
  FOnTimer = std::move(handler);
  Update();
}

void TWndTimer::Update() {
  if (!FOwner.Handle()) throw EWndTimerException("No window available");
  TSocketPoller& poller = TSocketPoller::Instance();
  if (FArmed) poller.KillTimer(FIdentity);
  FArmed = false;
  if (FInterval == 0 || !FEnabled || !FOnTimer) return;
  FLastTick = std::chrono::steady_clock::now();
  try {
    poller.SetTimer(FIdentity, FOwner.Handle(), std::chrono::milliseconds(FInterval));
  } catch (...) {
    FEnabled = false;
    throw EWndTimerException("No more timers");
  }
  FArmed = true;
}

void TWndTimer::DispatchTick(std::uint64_t identity) {
  TSocketPoller::Instance().TimerTickTaken(identity);
  TWndTimer* timer = nullptr;
  {
    const std::lock_guard lock(LiveLock);
    const auto it = LiveTimers.find(identity);
    if (it != LiveTimers.end()) timer = it->second;
  }
  if (timer != nullptr) timer->Tick();
}

void TWndTimer::Tick() {
  const auto now = std::chrono::steady_clock::now();
  const bool due = now - FLastTick >= std::chrono::milliseconds(FInterval);
  FLastTick = now;
  if (due && FArmed && FOnTimer) FOnTimer(*this);
}

} // namespace relaybox
