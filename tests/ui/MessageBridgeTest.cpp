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

// A loop nested inside a message that Qt's loop is draining (a synchronous request started
// from a network event, a modal box) still gets the messages posted meanwhile.
TEST(MessageBridgeTest, ALoopNestedInADrainedMessageGetsTheLaterMessages) {
  InstallMessageBridge();
  const auto main = TMessageQueue::ForCurrentThread();
  bool arrived = false, nestedDone = false;
  TMessage outer;
  outer.Call = [&] {
    TMessage later;
    later.Call = [&arrived] { arrived = true; };
    main->Post(std::move(later));
    for (int i = 0; i < 100 && !arrived; ++i) {
      main->WaitMessage(std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
      ApplicationMessagePump();
    }
    nestedDone = true;
  };
  main->Post(std::move(outer));
  ASSERT_TRUE(QTest::qWaitFor([&] { return nestedDone; }, 10000));
  EXPECT_TRUE(arrived);
}

} // namespace
} // namespace relaybox
