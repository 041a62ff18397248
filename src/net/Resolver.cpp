#include "net/Resolver.h"

#include "net/HostLookup.h"
#include "net/SocketErrors.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>
#include <utility>

namespace relaybox {
namespace {

constexpr std::size_t MaxWorkers = 4;
constexpr std::size_t MaxStoredResults = 64;

} // namespace

TResolver& TResolver::Instance() {
  static TResolver instance;
  return instance;
}

TResolver::~TResolver() {
  {
    const std::lock_guard lock(FLock);
    FStop = true;
  }
  FQueued.notify_all();
  for (std::thread& worker : FWorkers) worker.join();
}

std::uint64_t TResolver::Start(const std::string& host, TSelectTarget target) {
  const std::lock_guard lock(FLock);
  const std::uint64_t handle = FNextHandle++;
  FOutstanding.emplace(handle, std::move(target));
  FJobs.push_back(TJob{handle, host});
  FQueued.notify_one();
  if (FJobs.size() <= FIdle || FWorkers.size() >= MaxWorkers) return handle;
  try {
    FWorkers.emplace_back([this] { Work(); });
  } catch (const std::system_error& e) {
    // Without any worker the lookup would never run; with one it just waits its turn.
    if (FWorkers.empty()) {
      FOutstanding.erase(handle);
      FJobs.pop_back();
      throw ESocketException(SocketErrorReport(ErrnoToSocketError(e.code().value()), "pthread_create"));
    }
  }
  return handle;
}

bool TResolver::Cancel(std::uint64_t handle) {
  const std::lock_guard lock(FLock);
  FResults.erase(handle);
  if (FOutstanding.erase(handle) == 0) return false;
  const auto job = std::find_if(FJobs.begin(), FJobs.end(),
                                [handle](const TJob& queued) { return queued.Handle == handle; });
  if (job != FJobs.end()) FJobs.erase(job);
  return true;
}

std::vector<std::uint32_t> TResolver::TakeResult(std::uint64_t handle) {
  const std::lock_guard lock(FLock);
  const auto it = FResults.find(handle);
  if (it == FResults.end()) return {};
  std::vector<std::uint32_t> addresses = std::move(it->second);
  FResults.erase(it);
  return addresses;
}

void TResolver::Work() {
  std::unique_lock lock(FLock);
  for (;;) {
    ++FIdle;
    FQueued.wait(lock, [this] { return FStop || !FJobs.empty(); });
    --FIdle;
    if (FStop) return;
    TJob job = std::move(FJobs.front());
    FJobs.pop_front();
    lock.unlock();
    std::vector<std::uint32_t> addresses;
    const int error = LookupIPv4(job.Host, addresses);
    lock.lock();
    // Deciding under the lock makes a Cancel either win (no post) or see the lookup done.
    const auto outstanding = FOutstanding.find(job.Handle);
    if (outstanding == FOutstanding.end()) continue;
    const TSelectTarget target = std::move(outstanding->second);
    FOutstanding.erase(outstanding);
    if (error == 0) {
      FResults[job.Handle] = std::move(addresses);
      if (FResults.size() > MaxStoredResults) FResults.erase(FResults.begin());
    }
    lock.unlock();
    target.Window.Post(target.Msg, static_cast<std::intptr_t>(job.Handle), error << 16,
                       target.Generation);
    lock.lock();
  }
}

} // namespace relaybox
