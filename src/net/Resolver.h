#pragma once

#include "net/SocketPoller.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace relaybox {

// Process-wide host-name lookups on a small pool of worker threads, each completion posted
// to the thread that asked.
class TResolver {
public:
  static TResolver& Instance();

  TResolver(const TResolver&) = delete;
  TResolver& operator=(const TResolver&) = delete;
  ~TResolver();

  // Starts resolving `host` to IPv4 addresses (getaddrinfo, AF_INET, SOCK_STREAM) on a resolver
  // thread; when done posts target.Msg with WParam = the returned handle and LParam = error << 16
  // (0 or GaiToSocketError). Returns a handle, never 0.
  std::uint64_t Start(const std::string& host, TSelectTarget target);
  // True when the lookup was still outstanding: its completion is then never posted.
  bool Cancel(std::uint64_t handle);
  // The addresses (network byte order, in the order getaddrinfo gave them, duplicates
  // removed) of a completed lookup; removes them.
  std::vector<std::uint32_t> TakeResult(std::uint64_t handle);

private:
  struct TJob {
    std::uint64_t Handle = 0;
    std::string Host;
  };

  TResolver() = default;
  void Work();

  std::mutex FLock;
  std::condition_variable FQueued;
  bool FStop = false;
  std::uint64_t FNextHandle = 1;
  std::deque<TJob> FJobs;
  // Queued or running lookups; a completion is posted only while its handle is still here.
  std::unordered_map<std::uint64_t, TSelectTarget> FOutstanding;
  // Completed, untaken results by handle; the oldest go beyond the cap.
  std::map<std::uint64_t, std::vector<std::uint32_t>> FResults;
  std::size_t FIdle = 0;
  std::vector<std::thread> FWorkers;
};

} // namespace relaybox
