#include "net/Resolver.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "PostedMessageTest.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <optional>
#include <set>

namespace relaybox {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr std::uint32_t LookupMsg = 0x0400 + 12;

class ResolverTest : public PostedMessageTest {
protected:

  TSelectTarget Target() const { return TSelectTarget{FWindow, LookupMsg, 3}; }


  TResolver& FResolver = TResolver::Instance();
};

TEST_F(ResolverTest, LocalhostResolvesToLoopbackOnce) {
  const std::uint64_t handle = FResolver.Start("localhost", Target());
  EXPECT_NE(handle, 0u);
  const auto message = Next();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->Window, FWindow.Window);
  EXPECT_EQ(message->Msg, LookupMsg);
  EXPECT_EQ(message->Generation, 3u);
  EXPECT_EQ(static_cast<std::uint64_t>(message->WParam), handle);
  EXPECT_EQ(message->LParam, 0);

  const std::vector<std::string> addresses = FResolver.TakeResult(handle);
  EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
  EXPECT_EQ(std::set<std::string>(addresses.begin(), addresses.end()).size(), addresses.size());
  EXPECT_TRUE(FResolver.TakeResult(handle).empty());
  EXPECT_FALSE(FResolver.Cancel(handle));
}

TEST_F(ResolverTest, MalformedNameFailsWithoutResult) {
  // An empty label cannot be put into a query, so the lookup fails locally.
  const std::uint64_t handle = FResolver.Start("bad..name", Target());
  const auto message = Next();
  ASSERT_TRUE(message);
  EXPECT_EQ(static_cast<std::uint64_t>(message->WParam), handle);
  EXPECT_EQ(message->LParam & 0xFFFF, 0);
  EXPECT_NE(message->LParam >> 16, 0);
  EXPECT_TRUE(FResolver.TakeResult(handle).empty());
}

TEST_F(ResolverTest, CancelledLookupsNeverComplete) {
  // Whichever way each race goes, a lookup is either cancelled or completed, never both.
  std::set<std::uint64_t> cancelled, completing;
  for (int i = 0; i < 20; ++i) {
    const std::uint64_t handle = FResolver.Start("localhost", Target());
    (FResolver.Cancel(handle) ? cancelled : completing).insert(handle);
    EXPECT_FALSE(FResolver.Cancel(handle));
  }
  std::set<std::uint64_t> posted;
  for (std::size_t i = 0; i < completing.size(); ++i) {
    const auto message = Next();
    ASSERT_TRUE(message);
    posted.insert(static_cast<std::uint64_t>(message->WParam));
  }
  EXPECT_EQ(posted, completing);
  EXPECT_FALSE(Next(300ms));
  for (const std::uint64_t handle : cancelled) EXPECT_TRUE(FResolver.TakeResult(handle).empty());
}

TEST_F(ResolverTest, UntakenResultsAreCappedOldestFirst) {
  constexpr int Count = 70;
  std::vector<std::uint64_t> handles;
  for (int i = 0; i < Count; ++i) handles.push_back(FResolver.Start("localhost", Target()));
  for (int i = 0; i < Count; ++i) {
    const auto message = Next();
    ASSERT_TRUE(message);
    ASSERT_EQ(message->LParam, 0);
  }
  int kept = 0;
  for (const std::uint64_t handle : handles) kept += !FResolver.TakeResult(handle).empty();
  EXPECT_EQ(kept, 64);
  EXPECT_TRUE(FResolver.TakeResult(handles.front()).empty());
}

TEST_F(ResolverTest, ItsEndDoesNotWaitForALookupStuckInTheSystem) {
  std::mutex lock;
  std::condition_variable changed;
  bool started = false, released = false, returned = false;
  auto resolver = std::make_unique<TResolver>([&](const std::string&, std::vector<std::string>&) {
    std::unique_lock guard(lock);
    started = true;
    changed.notify_all();
    changed.wait(guard, [&] { return released; });
    returned = true;
    changed.notify_all();
    return 0;
  });
  resolver->Start("stuck.example", Target());
  std::unique_lock guard(lock);
  ASSERT_TRUE(changed.wait_for(guard, 5s, [&] { return started; }));
  guard.unlock();

  std::atomic<bool> ended{false};
  std::thread ending([&] {
    resolver.reset();
    ended = true;
  });
  for (int i = 0; i < 500 && !ended; ++i) std::this_thread::sleep_for(10ms);
  const bool endedWhileStuck = ended;
  guard.lock();
  released = true;
  changed.notify_all();
  changed.wait_for(guard, 5s, [&] { return returned; });
  guard.unlock();
  ending.join();
  EXPECT_TRUE(endedWhileStuck);
  EXPECT_FALSE(Next(100ms)) << "a lookup that outlived its resolver was reported";
}

TEST_F(ResolverTest, LookupsStuckInTheSystemAfterTheirCancelHoldUpNoOthers) {
  std::mutex lock;
  std::condition_variable changed;
  int stuck = 0, returned = 0;
  bool released = false;
  auto resolver = std::make_unique<TResolver>([&](const std::string& host, std::vector<std::string>& addresses) {
    if (host == "stuck") {
      std::unique_lock guard(lock);
      ++stuck;
      changed.notify_all();
      changed.wait(guard, [&] { return released; });
      ++returned;
      changed.notify_all();
    }
    addresses.push_back("127.0.0.1");
    return 0;
  });
  for (int i = 0; i < 6; ++i) {
    const std::uint64_t handle = resolver->Start("stuck", Target());
    std::unique_lock guard(lock);
    changed.wait_for(guard, 5s, [&] { return stuck == i + 1 || i >= 4; });
    guard.unlock();
    resolver->Cancel(handle);
  }
  const std::uint64_t quick = resolver->Start("quick", Target());
  const auto message = Next();
  {
    std::unique_lock guard(lock);
    released = true;
    changed.notify_all();
    changed.wait_for(guard, 5s, [&] { return returned == stuck; });
  }
  ASSERT_TRUE(message) << "the lookup waited behind cancelled ones";
  EXPECT_EQ(static_cast<std::uint64_t>(message->WParam), quick);
}

} // namespace
} // namespace relaybox
