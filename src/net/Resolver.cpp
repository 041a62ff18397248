#include "net/Resolver.h"

#include "net/HostLookup.h"
#include "net/SocketErrors.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

namespace relaybox {
namespace {

// Workers for lookups someone waits for; those stuck in a cancelled lookup do not count, up
// to a bound on all threads together.
constexpr std::size_t MaxWorkers = 4;
constexpr std::size_t MaxThreads = 32;
constexpr std::size_t MaxStoredResults = 64;

} // namespace

TResolver& TResolver::Instance() {
  static TResolver instance(LookupAddresses);
  return instance;
}

TResolver::TResolver(TLookup lookup) : FShared(std::make_shared<TShared>(std::move(lookup))) {}

TResolver::~TResolver() {
  {
    const std::lock_guard lock(FShared->Lock);
    FShared->Stop = true;
    FShared->Outstanding.clear();
  }
  FShared->Queued.notify_all();
}

std::uint64_t TResolver::Start(const std::string& host, TSelectTarget target) {
  TShared& shared = *FShared;
  const std::lock_guard lock(shared.Lock);
  const std::uint64_t handle = shared.NextHandle++;
  shared.Outstanding.emplace(handle, std::move(target));
  shared.Jobs.push_back(TJob{handle, host});
  shared.Queued.notify_one();
  if (shared.Jobs.size() <= shared.Idle || shared.Workers - shared.Abandoned >= MaxWorkers ||
      shared.Workers >= MaxThreads) {
    return handle;
  }
  try {
    std::thread([worker = FShared] { Work(worker); }).detach();
    ++shared.Workers;
  } catch (const std::system_error& e) {
    // Without any worker the lookup would never run; with one it just waits its turn.
    if (shared.Workers == 0) {
      shared.Outstanding.erase(handle);
      shared.Jobs.pop_back();
      throw ESocketException(SocketErrorReport(ErrnoToSocketError(e.code().value()), "pthread_create"));
    }
  }
  return handle;
}

bool TResolver::Cancel(std::uint64_t handle) {
  TShared& shared = *FShared;
  const std::lock_guard lock(shared.Lock);
  shared.Results.erase(handle);
  if (shared.Outstanding.erase(handle) == 0) return false;
  const auto job = std::find_if(shared.Jobs.begin(), shared.Jobs.end(),
                                [handle](const TJob& queued) { return queued.Handle == handle; });
  if (job != shared.Jobs.end()) {
    shared.Jobs.erase(job);
  } else {
    ++shared.Abandoned;  // a worker is inside it and stays there until the system gives up
  }
  return true;
}

std::vector<std::string> TResolver::TakeResult(std::uint64_t handle) {
  TShared& shared = *FShared;
  const std::lock_guard lock(shared.Lock);
  const auto it = shared.Results.find(handle);
  if (it == shared.Results.end()) return {};
  std::vector<std::string> addresses = std::move(it->second);
  shared.Results.erase(it);
  return addresses;
}

void TResolver::Work(const std::shared_ptr<TShared>& worker) {
  TShared& shared = *worker;
  std::unique_lock lock(shared.Lock);
  for (;;) {
    ++shared.Idle;
    shared.Queued.wait(lock, [&shared] { return shared.Stop || !shared.Jobs.empty(); });
    --shared.Idle;
    if (shared.Stop) break;
    TJob job = std::move(shared.Jobs.front());
    shared.Jobs.pop_front();
    lock.unlock();
    std::vector<std::string> addresses;
    const int error = shared.Lookup(job.Host, addresses);
    lock.lock();
    // Deciding under the lock makes a Cancel either win (no post) or see the lookup done.
    const auto outstanding = shared.Outstanding.find(job.Handle);
    if (outstanding == shared.Outstanding.end()) {
      if (shared.Abandoned > 0) --shared.Abandoned;
      continue;
    }
    const TSelectTarget target = std::move(outstanding->second);
    shared.Outstanding.erase(outstanding);
    if (error == 0) {
      shared.Results[job.Handle] = std::move(addresses);
      if (shared.Results.size() > MaxStoredResults) shared.Results.erase(shared.Results.begin());
    }
    lock.unlock();
    target.Window.Post(target.Msg, static_cast<std::intptr_t>(job.Handle), error << 16, target.Generation);
    lock.lock();
  }
  --shared.Workers;
}

} // namespace relaybox
