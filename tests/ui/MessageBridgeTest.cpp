#include "ui/MessageBridge.h"

#include <gtest/gtest.h>

#include <QTest>

#include <atomic>
#include <thread>

#include "net/WndControl.h"

namespace relaybox {
namespace {

TEST(MessageBridgeTest, QtsEventLoopDispatchesWhatOtherThreadsPostInOrder) {
  InstallMessageBridge();
  const auto main = TMessageQueue::ForCurrentThread();
  std::vector<int> order;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i) main->Invoke([&order, i] { order.push_back(i); });
    done = true;
  });
  const bool finished = QTest::qWaitFor([&] { return done.load(); }, 5000);
  worker.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

} // namespace
} // namespace relaybox
