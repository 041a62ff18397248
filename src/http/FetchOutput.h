#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace relaybox {

// relaybox-fetch's standard output, written by a thread of its own: the exchange never waits
// on a write, and a reader that stops reading holds the program up only until its deadline.
// At most 1 MiB waits to be written.
class TFetchOutput {
public:
  using TDeadline = std::chrono::steady_clock::time_point;

  explicit TFetchOutput(int fd);
  ~TFetchOutput();
  TFetchOutput(const TFetchOutput&) = delete;
  TFetchOutput& operator=(const TFetchOutput&) = delete;

  // Queues the bytes, waiting for room until `deadline`. False when the deadline passed first
  // (Error() is then ETIMEDOUT) or a write failed (Error() says why).
  bool Write(const char* data, std::size_t count, TDeadline deadline);
  // Waits until everything queued is written, or the deadline; as Write.
  bool Flush(TDeadline deadline);
  int Error() const;

private:
  struct TShared {
    std::mutex Lock;
    std::condition_variable Changed;
    std::string Pending;
    bool Writing = false, Stop = false;
    int Error = 0;
  };
  static void Run(int fd, const std::shared_ptr<TShared>& shared);
  bool Wait(std::unique_lock<std::mutex>& lock, TDeadline deadline, std::size_t room);

  // Shared with the writer, which may still be blocked in a write when the program ends.
  std::shared_ptr<TShared> FShared = std::make_shared<TShared>();
};

} // namespace relaybox
