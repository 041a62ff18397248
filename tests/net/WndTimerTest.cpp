#include "net/WndTimer.h"

#include <gtest/gtest.h>

#include <thread>

#include "net/WndControl.h"
#include "net/WndControlException.h"

namespace relaybox {
namespace {

class TOwner : public TWndControl {
public:
  TOwner() { AllocateWindow(); }
  ~TOwner() override { DeallocateWindow(); }
};

TEST(WndTimerTest, NeedsAnOwnerWithAWindow) {
  EXPECT_THROW(TWndTimer(nullptr), EWndTimerException);
  TOwner owner;
  owner.DetachFromThread();
  TWndTimer timer(&owner);
  try {
    timer.SetInterval(10);
    FAIL() << "no exception";
  } catch (const EWndTimerException& error) {
    EXPECT_STREQ(error.what(), "No window available");
  }
}

TEST(WndTimerTest, TicksOnTheOwnerThreadWhileEnabledAndStopsWhenDisabled) {
  TOwner owner;
  TWndTimer timer(&owner);
  int ticks = 0;
  timer.SetInterval(10);
  timer.SetOnTimer([&](TWndTimer&) { ++ticks; });
  ASSERT_TRUE(ProcessMessagesUntil([&] { return ticks >= 3; }, std::chrono::seconds(5)));
  timer.SetEnabled(false);
  const int stopped = ticks;
  ProcessMessagesUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(ticks, stopped);
}

TEST(WndTimerTest, ABusyOwnerFindsOneTickNotAPile) {
  TOwner owner;
  TWndTimer timer(&owner);
  timer.SetInterval(1);
  timer.SetOnTimer([](TWndTimer&) {});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // busy: nothing is dispatched
  timer.SetEnabled(false);
  int queuedTicks = 0;
  while (const std::optional<TMessage> message = TMessageQueue::ForCurrentThread()->Take()) {
    queuedTicks += message->Msg == WM_TIMER;
  }
  EXPECT_EQ(queuedTicks, 1);
}

} // namespace
} // namespace relaybox
