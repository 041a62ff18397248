#pragma once

#include "net/MessageQueue.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace relaybox {

inline constexpr int FD_READ = 1, FD_WRITE = 2, FD_OOB = 4, FD_ACCEPT = 8, FD_CONNECT = 16,
                     FD_CLOSE = 32;

// Where a socket's notifications go: posted as Msg with WParam = the registration serial and
// LParam = event bits | (socket error code << 16).
struct TSelectTarget {
  TWindowRef Window;
  std::uint32_t Msg = 0;
  std::uint64_t Generation = 0;
};

// The process-wide readiness watcher: one epoll thread that turns socket readiness into
// posted notifications with one-shot re-enabling (read again only after a receive, write
// only after a send that would block, connect and close once), and that runs the
// message-posting timers.
class TSocketPoller {
public:
  static TSocketPoller& Instance();

  TSocketPoller(const TSocketPoller&) = delete;
  TSocketPoller& operator=(const TSocketPoller&) = delete;
  ~TSocketPoller();

  // Starts watching fd (non-blocking). `connecting`: a non-blocking connect was issued and its
  // completion is reported once with FD_CONNECT. Returns a serial, never 0, unique for the
  // process run.
  std::uint64_t Register(int fd, TSelectTarget target, int mask, bool connecting);
  // Before the fd is closed; no post after it returns, except one already being made (the
  // receiver checks the serial).
  void Unregister(std::uint64_t serial);
  void ReenableRead(std::uint64_t serial);   // after a receive
  void ReenableWrite(std::uint64_t serial);  // after a send that would block

  // Posts WM_TIMER with WParam = id to `window` every `interval` until KillTimer(id). At most
  // one tick of a timer waits in the queue: the next is posted once TimerTickTaken(id) says
  // the owner has taken it, so a busy owner finds one tick, not a pile.
  void SetTimer(std::uint64_t id, TWindowRef window, std::chrono::milliseconds interval);
  void KillTimer(std::uint64_t id);
  void TimerTickTaken(std::uint64_t id);

private:
  using TClock = std::chrono::steady_clock;

  struct TEntry {
    int Fd = -1;
    TSelectTarget Target;
    int Mask = 0;
    bool Connecting = false;
    bool ReadArmed = false;
    bool WriteArmed = false;
    bool CloseSeen = false;
    bool Finished = false;  // the connect failed: nothing more is reported
  };

  struct TTimer {
    TWindowRef Window;
    std::chrono::milliseconds Interval{};
    TClock::time_point Due;
    bool TickQueued = false;
  };

  TSocketPoller();
  void Run();
  void HandleEvent(std::uint64_t serial, std::uint32_t events);
  // Posts the due timers; returns the epoll_wait timeout until the next one (-1: none).
  int RunTimers();
  // The epoll events the entry waits for now.
  static std::uint32_t Interest(const TEntry& entry);
  // Applies the entry's current interest to epoll (nothing armed leaves it disarmed).
  void Rearm(std::uint64_t serial, const TEntry& entry);
  void Wake();

  int FEpoll = -1;
  int FWakeFd = -1;
  std::mutex FLock;
  bool FStop = false;
  std::uint64_t FNextSerial = 1;
  std::unordered_map<std::uint64_t, TEntry> FEntries;
  std::map<std::uint64_t, TTimer> FTimers;
  std::thread FThread;
};

} // namespace relaybox
