#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "net/MessageQueue.h"
#include "relay/HttpFetch.h"

namespace relaybox {

// The time limit of one delivery.
inline constexpr std::int32_t FetchTimeoutMs = 10000;

// The worker of one delivery, running from construction: fetches FetchURL with the fetch
// form, stores FetchResponse and clears FetchBusy, on every path. Then `done` runs on the
// thread that started the worker, so that a loop waiting there wakes up. Destruction joins.
class HTTPThread {
public:
  HTTPThread(THttpFetchForm& form, std::function<void()> done);
  ~HTTPThread();
  HTTPThread(const HTTPThread&) = delete;
  HTTPThread& operator=(const HTTPThread&) = delete;

private:
  void Execute();

  THttpFetchForm& FForm;
  std::shared_ptr<TMessageQueue> FStarter;
  std::function<void()> FDone;
  std::thread FThread;
};

} // namespace relaybox
