#include "net/SocketPoller.h"

#include "net/SocketErrors.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <optional>
#include <utility>
#include <vector>

namespace relaybox {
namespace {

// epoll_event.data of the wake-up eventfd; registration serials start at 1.
constexpr std::uint64_t WakeKey = 0;

[[noreturn]] void ThrowErrno(int err, std::string_view operation) {
  throw ESocketException(SocketErrorReport(ErrnoToSocketError(err), operation));
}

int PendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

int BytesReadable(int fd) {
  int count = 0;
  return ::ioctl(fd, FIONREAD, &count) == 0 ? count : 0;
}

} // namespace

TSocketPoller& TSocketPoller::Instance() {
  static TSocketPoller instance;
  return instance;
}

TSocketPoller::TSocketPoller() {
  FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (FEpoll < 0) ThrowErrno(errno, "epoll_create1");
  FWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FWakeFd < 0) {
    const int err = errno;
    ::close(FEpoll);
    ThrowErrno(err, "eventfd");
  }
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.u64 = WakeKey;
  if (::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWakeFd, &wake) != 0) {
    const int err = errno;
    ::close(FWakeFd);
    ::close(FEpoll);
    ThrowErrno(err, "epoll_ctl");
  }
  FThread = std::thread([this] { Run(); });
}

TSocketPoller::~TSocketPoller() {
  {
    const std::lock_guard lock(FLock);
    FStop = true;
  }
  Wake();
  FThread.join();
  ::close(FWakeFd);
  ::close(FEpoll);
}

void TSocketPoller::Wake() {
  const std::uint64_t one = 1;
  // A full counter already guarantees a pending wake-up, so a failed write loses nothing.
  [[maybe_unused]] const auto written = ::write(FWakeFd, &one, sizeof(one));
}

std::uint64_t TSocketPoller::Register(int fd, TSelectTarget target, int mask, bool connecting) {
  const std::lock_guard lock(FLock);
  const std::uint64_t serial = FNextSerial++;
  TEntry entry;
  entry.Fd = fd;
  entry.Target = std::move(target);
  entry.Mask = mask;
  entry.Connecting = connecting;
  entry.ReadArmed = (mask & FD_READ) != 0;
  epoll_event event{};
  event.events = Interest(entry) | EPOLLONESHOT;
  event.data.u64 = serial;
  FEntries.emplace(serial, std::move(entry));
  if (::epoll_ctl(FEpoll, EPOLL_CTL_ADD, fd, &event) != 0) {
    const int err = errno;
    FEntries.erase(serial);
    ThrowErrno(err, "epoll_ctl");
  }
  return serial;
}

void TSocketPoller::Unregister(std::uint64_t serial) {
  const std::lock_guard lock(FLock);
  const auto it = FEntries.find(serial);
  if (it == FEntries.end()) return;
  ::epoll_ctl(FEpoll, EPOLL_CTL_DEL, it->second.Fd, nullptr);
  FEntries.erase(it);
}

void TSocketPoller::ReenableRead(std::uint64_t serial) {
  const std::lock_guard lock(FLock);
  const auto it = FEntries.find(serial);
  if (it == FEntries.end()) return;
  TEntry& entry = it->second;
  if (entry.ReadArmed || entry.CloseSeen || entry.Finished || (entry.Mask & FD_READ) == 0) return;
  entry.ReadArmed = true;
  Rearm(serial, entry);
}

void TSocketPoller::ReenableWrite(std::uint64_t serial) {
  const std::lock_guard lock(FLock);
  const auto it = FEntries.find(serial);
  if (it == FEntries.end()) return;
  TEntry& entry = it->second;
  // While connecting, the connect report carries the write bit anyway.
  if (entry.WriteArmed || entry.Connecting || entry.Finished || (entry.Mask & FD_WRITE) == 0) return;
  entry.WriteArmed = true;
  Rearm(serial, entry);
}

std::uint32_t TSocketPoller::Interest(const TEntry& entry) {
  if (entry.Finished) return 0;
  if (entry.Connecting) return EPOLLOUT;
  std::uint32_t interest = 0;
  if (!entry.CloseSeen) interest |= EPOLLRDHUP | (entry.ReadArmed ? EPOLLIN : 0u);
  if (entry.WriteArmed) interest |= EPOLLOUT;
  return interest;
}

void TSocketPoller::Rearm(std::uint64_t serial, const TEntry& entry) {
  const std::uint32_t interest = Interest(entry);
  // The one-shot registration stays disabled after its last event when nothing is wanted.
  if (interest == 0) return;
  epoll_event event{};
  event.events = interest | EPOLLONESHOT;
  event.data.u64 = serial;
  ::epoll_ctl(FEpoll, EPOLL_CTL_MOD, entry.Fd, &event);
}

void TSocketPoller::HandleEvent(std::uint64_t serial, std::uint32_t events) {
  int bits = 0;
  int error = 0;
  TSelectTarget target;
  {
    const std::lock_guard lock(FLock);
    const auto it = FEntries.find(serial);
    if (it == FEntries.end()) return;  // unregistered after epoll reported it
    TEntry& entry = it->second;
    if (entry.Finished) return;
    if (entry.Connecting) {
      entry.Connecting = false;
      error = ErrnoToSocketError(PendingError(entry.Fd));
      if (error != 0) {
        entry.Finished = true;
        bits = FD_CONNECT;
      } else {
        // Writing is possible as soon as the connection is established.
        bits = FD_CONNECT | FD_WRITE;
      }
    } else {
      if (!entry.CloseSeen && (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        entry.CloseSeen = true;
        error = ErrnoToSocketError(PendingError(entry.Fd));
        bits |= FD_CLOSE;
        // Data still queued is announced with the close, ahead of it in handling order.
        if (entry.ReadArmed && BytesReadable(entry.Fd) > 0) bits |= FD_READ;
        entry.ReadArmed = false;
      } else if (entry.ReadArmed && (events & EPOLLIN) != 0) {
        entry.ReadArmed = false;
        bits |= FD_READ;
      }
      // A hung-up socket counts as writable: the send then reports the failure.
      if (entry.WriteArmed && (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0) {
        entry.WriteArmed = false;
        bits |= FD_WRITE;
      }
    }
    bits &= entry.Mask;
    if (bits != 0) target = entry.Target;
    Rearm(serial, entry);
  }
  if (bits != 0) {
    target.Window.Post(target.Msg, static_cast<std::intptr_t>(serial), bits | (error << 16),
                       target.Generation);
  }
}

void TSocketPoller::SetTimer(std::uint64_t id, TWindowRef window,
                             std::chrono::milliseconds interval) {
  // A zero interval would keep the thread from ever sleeping.
  interval = std::max(interval, std::chrono::milliseconds(1));
  {
    const std::lock_guard lock(FLock);
    FTimers[id] = TTimer{std::move(window), interval, TClock::now() + interval};
  }
  Wake();
}

void TSocketPoller::KillTimer(std::uint64_t id) {
  const std::lock_guard lock(FLock);
  FTimers.erase(id);
}

void TSocketPoller::TimerTickTaken(std::uint64_t id) {
  const std::lock_guard lock(FLock);
  const auto it = FTimers.find(id);
  if (it != FTimers.end()) it->second.TickQueued = false;
}

int TSocketPoller::RunTimers() {
  std::vector<std::pair<TWindowRef, std::uint64_t>> due;
  std::optional<TClock::time_point> next;
  {
    const std::lock_guard lock(FLock);
    const auto now = TClock::now();
    for (auto& [id, timer] : FTimers) {
      if (timer.Due <= now) {
        if (!timer.TickQueued) due.emplace_back(timer.Window, id);
        timer.TickQueued = true;
        timer.Due = now + timer.Interval;  // no catch-up after a late wake-up
      }
      if (!next || timer.Due < *next) next = timer.Due;
    }
  }
  for (const auto& [window, id] : due) {
    // A tick the window refuses (it is gone) is not waiting anywhere.
    if (!window.Post(WM_TIMER, static_cast<std::intptr_t>(id), 0)) TimerTickTaken(id);
  }
  if (!next) return -1;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - TClock::now()).count();
  return static_cast<int>(std::clamp<decltype(wait)>(wait, 0, INT_MAX));
}

void TSocketPoller::Run() {
  std::array<epoll_event, 64> events{};
  for (;;) {
    {
      const std::lock_guard lock(FLock);
      if (FStop) return;
    }
    const int timeout = RunTimers();
    const int count = ::epoll_wait(FEpoll, events.data(), static_cast<int>(events.size()), timeout);
    for (int i = 0; i < count; ++i) {
      if (events[i].data.u64 == WakeKey) {
        std::uint64_t value = 0;
        [[maybe_unused]] const auto read = ::read(FWakeFd, &value, sizeof(value));
      } else {
        HandleEvent(events[i].data.u64, events[i].events);
      }
    }
  }
}

} // namespace relaybox
