#include "http/FetchOutput.h"

#include <algorithm>
#include <cerrno>
#include <thread>

#include "base/StandardStreams.h"

namespace relaybox {
namespace {

constexpr std::size_t MaxPending = 1024 * 1024;
constexpr std::size_t WriteSlice = 64 * 1024;

} // namespace

TFetchOutput::TFetchOutput(int fd) {
  std::thread([fd, shared = FShared] { Run(fd, shared); }).detach();
}

TFetchOutput::~TFetchOutput() {
  const std::lock_guard lock(FShared->Lock);
  FShared->Stop = true;
  FShared->Changed.notify_all();
}

bool TFetchOutput::Write(const char* data, std::size_t count, TDeadline deadline) {
  std::unique_lock lock(FShared->Lock);
  while (count > 0) {
    if (!Wait(lock, deadline, 1)) return false;
    const std::size_t n = std::min(count, MaxPending - FShared->Pending.size());
    if (FShared->Pending.empty()) FShared->Changed.notify_all();
    FShared->Pending.append(data, n);
    data += n;
    count -= n;
  }
  return true;
}

bool TFetchOutput::Flush(TDeadline deadline) {
  std::unique_lock lock(FShared->Lock);
  return Wait(lock, deadline, MaxPending);
}

int TFetchOutput::Error() const {
  const std::lock_guard lock(FShared->Lock);
  return FShared->Error;
}

// Waits until `room` bytes are free and, for a flush, nothing is being written; false when a
// write failed or the deadline came first.
bool TFetchOutput::Wait(std::unique_lock<std::mutex>& lock, TDeadline deadline, std::size_t room) {
  TShared& shared = *FShared;
  const auto ready = [&shared, room] {
    return shared.Error != 0 ||
           (MaxPending - shared.Pending.size() >= room && (room < MaxPending || !shared.Writing));
  };
  if (deadline == TDeadline::max()) {
    shared.Changed.wait(lock, ready);
  } else if (!shared.Changed.wait_until(lock, deadline, ready)) {
    shared.Error = ETIMEDOUT;
  }
  return shared.Error == 0;
}

void TFetchOutput::Run(int fd, const std::shared_ptr<TShared>& shared) {
  std::unique_lock lock(shared->Lock);
  for (;;) {
    shared->Changed.wait(lock, [&shared] { return shared->Stop || !shared->Pending.empty(); });
    if (shared->Pending.empty() || shared->Error != 0) return;
    std::string bytes;
    bytes.swap(shared->Pending);
    shared->Writing = true;
    shared->Changed.notify_all();
    lock.unlock();
    // In slices, so that the program, when it ends, waits on no more than one of them.
    bool written = true;
    for (std::size_t at = 0; written && at < bytes.size(); at += WriteSlice) {
      written = WriteAll(fd, bytes.data() + at, std::min(WriteSlice, bytes.size() - at));
    }
    const int error = written ? 0 : (errno != 0 ? errno : EIO);
    lock.lock();
    shared->Writing = false;
    if (shared->Error == 0) shared->Error = error;
    shared->Changed.notify_all();
  }
}

} // namespace relaybox
