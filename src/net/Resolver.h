#pragma once

#include "net/SocketPoller.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace relaybox {

// Host-name lookups on a small pool of worker threads, each completion posted to the thread
// that asked. The workers are never waited for: a lookup stuck in the system resolver does
// not hold up the end of the resolver or of the process.
class TResolver {
public:
  // A blocking lookup: fills the addresses as numeric texts ("127.0.0.1", "::1"), returns 0 or
  // the socket error code of the failure.
  using TLookup = std::function<int(const std::string& host, std::vector<std::string>& addresses)>;

  // The process-wide resolver, with the system's lookup.
  static TResolver& Instance();

  explicit TResolver(TLookup lookup);
  TResolver(const TResolver&) = delete;
  TResolver& operator=(const TResolver&) = delete;
  // Returns at once; lookups under way finish (unreported) on their own.
  ~TResolver();

  // Starts resolving `host` on a resolver thread; when done posts target.Msg with WParam = the
  // returned handle and LParam = error << 16. Returns a handle, never 0.
  std::uint64_t Start(const std::string& host, TSelectTarget target);
  // True when the lookup was still outstanding: its completion is then never posted.
  bool Cancel(std::uint64_t handle);
  // The addresses (in the order the lookup gave them, duplicates removed) of a completed
  // lookup; removes them.
  std::vector<std::string> TakeResult(std::uint64_t handle);

private:
  struct TJob {
    std::uint64_t Handle = 0;
    std::string Host;
  };

  // What the workers share with the resolver; it lives as long as the last of them.
  struct TShared {
    explicit TShared(TLookup lookup) : Lookup(std::move(lookup)) {}
    const TLookup Lookup;
    std::mutex Lock;
    std::condition_variable Queued;
    bool Stop = false;
    std::uint64_t NextHandle = 1;
    std::deque<TJob> Jobs;
    // Queued or running lookups; a completion is posted only while its handle is still here.
    std::unordered_map<std::uint64_t, TSelectTarget> Outstanding;
    // Completed, untaken results by handle; the oldest go beyond the cap.
    std::map<std::uint64_t, std::vector<std::string>> Results;
    std::size_t Idle = 0;
    std::size_t Workers = 0;
    std::size_t Abandoned = 0;  // workers still inside a lookup that was cancelled
  };

  static void Work(const std::shared_ptr<TShared>& shared);

  const std::shared_ptr<TShared> FShared;
};

} // namespace relaybox
