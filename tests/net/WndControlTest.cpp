#include "net/WndControl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "net/WndControlException.h"

namespace relaybox {
namespace {

constexpr auto Patience = std::chrono::seconds(5);

// A component with a given number of message numbers that records what it receives.
class TProbe : public TWndControl {
public:
  explicit TProbe(std::uint32_t own = 0) : FOwn(own) { AllocateWindow(); }
  ~TProbe() override {
    if (Destroyed) *Destroyed = true;
    DeallocateWindow();
  }

  std::uint32_t MsgHandlersCount() const override { return FOwn + TWndControl::MsgHandlersCount(); }
  const std::vector<TMsgNumber>& Numbers() const { return FNumbers; }
  void Post(std::intptr_t value) const { PostToSelf(FNumbers.at(0), value); }

  void WndProc(TMessage& message) override {
    if (!FNumbers.empty() && message.Msg == FNumbers[0].Msg) {
      Received.push_back(message.WParam);
      if (OnMessage) OnMessage();
      return;
    }
    TWndControl::WndProc(message);
  }

  std::vector<std::intptr_t> Received;
  std::function<void()> OnMessage;
  bool* Destroyed = nullptr;

protected:
  void AllocateMsgHandlers() override {
    TWndControl::AllocateMsgHandlers();
    for (std::uint32_t i = 0; i < FOwn; ++i) FNumbers.push_back(AllocateNumber());
  }
  void FreeMsgHandlers() override {
    for (auto& number : FNumbers) FreeNumber(number);
    TWndControl::FreeMsgHandlers();
  }

private:
  std::uint32_t FOwn;
  std::vector<TMsgNumber> FNumbers;
};

TEST(WndControlTest, ComponentsShareAWindowUntilItsHundredNumbersAreTaken) {
  const TWindowClassState before = WindowClassState();
  {
    TProbe client(3);  // four numbers, as the HTTP client takes
    TProbe socket(6);  // seven, as its socket takes
    EXPECT_EQ(client.MsgRelease().Msg, WM_USER + 1);
    EXPECT_EQ(client.Numbers().back().Msg, WM_USER + 4);
    EXPECT_EQ(socket.MsgRelease().Msg, WM_USER + 5);
    EXPECT_EQ(socket.Numbers().back().Msg, WM_USER + 11);
    EXPECT_EQ(client.WndHandler(), socket.WndHandler());
    EXPECT_EQ(client.WndHandler()->MsgCount(), 11u);
    EXPECT_EQ(WindowClassState().WindowCount, before.WindowCount + 1);
  }
  std::vector<std::unique_ptr<TProbe>> sockets;
  for (int i = 0; i < 15; ++i) sockets.push_back(std::make_unique<TProbe>(6));
  EXPECT_EQ(sockets[13]->WndHandler(), sockets[0]->WndHandler());  // 98 numbers
  EXPECT_NE(sockets[14]->WndHandler(), sockets[0]->WndHandler());
  EXPECT_EQ(sockets[14]->MsgRelease().Msg, WM_USER + 1);
  EXPECT_EQ(WindowClassState().WindowCount, before.WindowCount + 2);
  sockets.clear();
  EXPECT_EQ(WindowClassState().WindowCount, before.WindowCount);
  EXPECT_EQ(WindowClassState().Registered, before.WindowCount > 0);
}

TEST(WndControlTest, PostsFromSeveralThreadsArriveInPostingOrderOnTheOwnerThread) {
  TProbe probe(1);
  constexpr int Threads = 4;
  constexpr int PerThread = 500;
  std::vector<std::thread> posters;
  for (int t = 0; t < Threads; ++t) {
    posters.emplace_back([&probe, t] {
      for (int i = 0; i < PerThread; ++i) probe.Post(t * PerThread + i);
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(ProcessMessagesUntil([&] { return probe.Received.size() == Threads * PerThread; }, Patience));
  std::vector<int> next(Threads, 0);
  for (const std::intptr_t value : probe.Received) {
    const int thread = static_cast<int>(value / PerThread);
    EXPECT_EQ(value % PerThread, next[thread]++) << "from thread " << thread;
  }
}

TEST(WndControlTest, AHandlersPostIsDeliveredLaterNotInsideThePost) {
  TProbe probe(1);
  int depth = 0;
  probe.OnMessage = [&] {
    ++depth;
    if (probe.Received.size() == 1) probe.Post(2);
    EXPECT_EQ(depth, 1);
    --depth;
  };
  probe.Post(1);
  EXPECT_TRUE(probe.Received.empty());
  ASSERT_TRUE(ProcessMessagesUntil([&] { return probe.Received.size() == 2; }, Patience));
}

TEST(WndControlTest, ReleaseInsideAHandlerDestroysTheComponentAtTheNextDispatch) {
  bool destroyed = false;
  auto owned = std::make_unique<TProbe>(1);
  TProbe& probe = *owned;
  probe.Destroyed = &destroyed;
  probe.OnMessage = [&] {
    TWndControl::Release(std::move(owned));
    EXPECT_FALSE(destroyed);
  };
  probe.Post(1);
  ASSERT_TRUE(ProcessMessagesUntil([&] { return destroyed; }, Patience));
}

TEST(WndControlTest, AMessageForAFreedNumberReachesNobody) {
  TProbe keeper(1);
  auto gone = std::make_unique<TProbe>(1);
  const TMsgNumber number = gone->Numbers()[0];
  const TWindowRef window = gone->Handle();
  gone.reset();
  TProbe successor(1);  // takes the freed slot again
  ASSERT_EQ(successor.Numbers()[0].Msg, number.Msg);
  window.Post(number.Msg, 7, 0, number.Generation);
  successor.Post(8);
  ASSERT_TRUE(ProcessMessagesUntil([&] { return !successor.Received.empty(); }, Patience));
  EXPECT_EQ(successor.Received, std::vector<std::intptr_t>{8});
}

TEST(WndControlTest, DetachIsRefusedFromAnotherThreadAndAttachNeedsADetachedComponent) {
  TProbe probe(1);
  std::string refusal;
  std::thread([&] {
    try {
      probe.DetachFromThread();
    } catch (const EWndControlException& error) {
      refusal = error.what();
    }
  }).join();
  EXPECT_EQ(refusal, "Cannot detach from another thread");
  EXPECT_TRUE(probe.Handle());
  EXPECT_THROW(probe.AttachToThread(), EWndControlException);

  probe.DetachFromThread();
  EXPECT_FALSE(probe.Handle());
  std::thread([&] { probe.AttachToThread(); }).join();
  EXPECT_TRUE(probe.Handle());
  EXPECT_NE(probe.ThreadId(), CurrentThreadId());
}

TEST(WndControlTest, ASynchronousCallRunsOnTheOwnerThreadAndCarriesItsExceptionBack) {
  const auto owner = TMessageQueue::ForCurrentThread();
  std::atomic<bool> finished{false};
  TThreadId ranOn = 0;
  std::string caught;
  std::thread caller([&] {
    owner->Invoke([&] { ranOn = CurrentThreadId(); });
    try {
      owner->Invoke([] { throw EWndControlException("boom"); });
    } catch (const EWndControlException& error) {
      caught = error.what();
    }
    owner->Invoke([&] { finished = true; });
  });
  const bool done = ProcessMessagesUntil([&] { return finished.load(); }, Patience);
  caller.join();
  ASSERT_TRUE(done);
  EXPECT_EQ(ranOn, CurrentThreadId());
  EXPECT_EQ(caught, "boom");
}

TEST(WndControlTest, AMessageThatThrowsLeavesTheLaterOnesTheirWakeUp) {
  // A queue drained by a foreign event loop, whose wake-ups are counted here.
  TMessageQueue queue(CurrentThreadId());
  int wakeUps = 0;
  queue.SetWakeHook([&wakeUps] { ++wakeUps; });
  const auto post = [&queue](std::function<void()> call) {
    TMessage message;
    message.Call = std::move(call);
    queue.Post(std::move(message));
  };
  post([] { throw std::runtime_error("handler failed"); });
  post([] {});
  EXPECT_EQ(wakeUps, 1);
  const auto dispatch = [](TMessage& message) { message.Call(); };
  EXPECT_THROW(queue.Drain(dispatch), std::runtime_error);
  EXPECT_EQ(wakeUps, 2) << "the message left behind was not announced";
  bool delivered = false;
  queue.Drain(dispatch);
  post([&delivered] { delivered = true; });
  EXPECT_EQ(wakeUps, 3);
  queue.Drain(dispatch);
  EXPECT_TRUE(delivered);
}

TEST(WndControlTest, MessageLoopEndsAtTheQuitMessage) {
  TProbe probe(1);
  probe.OnMessage = [] { TMessageQueue::ForCurrentThread()->PostQuit(); };
  std::thread([&] { probe.Post(1); }).join();
  probe.MessageLoop();
  EXPECT_TRUE(probe.Terminated());
  EXPECT_EQ(probe.Received.size(), 1u);
}

} // namespace
} // namespace relaybox
