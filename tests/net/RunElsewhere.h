#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "net/MessageQueue.h"

namespace relaybox {

// Runs `body` on a thread of its own and posts a wake-up to the calling thread's queue when
// it is done, so that a message loop there notices at once.
inline std::thread RunElsewhere(std::function<void()> body, std::atomic<bool>& done) {
  return std::thread([queue = TMessageQueue::ForCurrentThread(), body = std::move(body), &done] {
    body();
    done = true;
    TMessage wake;
    wake.Call = [] {};
    queue->Post(std::move(wake));
  });
}

} // namespace relaybox
