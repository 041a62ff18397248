#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "net/MessageQueue.h"

namespace relaybox {

// A fixture with a window on the test thread, for services that post to one.
class PostedMessageTest : public ::testing::Test {
protected:
  void SetUp() override { FWindow = TWindowRef{FQueue, FQueue->CreateWindow(nullptr)}; }
  void TearDown() override { FQueue->DestroyWindow(FWindow.Window); }

  // The next message posted to this thread, waiting at most `limit`.
  std::optional<TMessage> Next(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (auto message = FQueue->Take()) return message;
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      FQueue->WaitMessage(deadline);
    }
  }

  std::shared_ptr<TMessageQueue> FQueue = TMessageQueue::ForCurrentThread();
  TWindowRef FWindow;
};

} // namespace relaybox
