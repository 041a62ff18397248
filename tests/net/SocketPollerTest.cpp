#include "net/SocketPoller.h"

#include "net/SocketErrors.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "PostedMessageTest.h"

#include <array>
#include <cerrno>
#include <optional>
#include <set>

namespace relaybox {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr std::uint32_t SelectMsg = 0x0400 + 11;
constexpr std::uint64_t Generation = 7;

class TFd {
public:
  explicit TFd(int fd = -1) : FFd(fd) {}
  TFd(TFd&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
  TFd& operator=(TFd&& other) noexcept {
    Reset(std::exchange(other.FFd, -1));
    return *this;
  }
  ~TFd() { Reset(); }
  int Get() const { return FFd; }
  void Reset(int fd = -1) {
    if (FFd >= 0) ::close(FFd);
    FFd = fd;
  }

private:
  int FFd;
};

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A socket bound to a free loopback port; listening when asked.
TFd BoundSocket(bool listening, std::uint16_t& port) {
  TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = Loopback(0);
  EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  if (listening) {
    EXPECT_EQ(::listen(fd.Get(), 4), 0);
  }
  socklen_t len = sizeof(address);
  EXPECT_EQ(::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &len), 0);
  port = ntohs(address.sin_port);
  return fd;
}

TFd StartConnect(std::uint16_t port) {
  TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const sockaddr_in address = Loopback(port);
  const int result = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  EXPECT_TRUE(result == 0 || errno == EINPROGRESS);
  return fd;
}

void SendAll(int fd, std::string_view data) {
  ASSERT_EQ(::send(fd, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(data.size()));
}

class SocketPollerTest : public PostedMessageTest {
protected:

  TSelectTarget Target() const { return TSelectTarget{FWindow, SelectMsg, Generation}; }


  // The next socket notification for `serial`, checking how it was addressed.
  int NextSelect(std::uint64_t serial, std::chrono::milliseconds limit = 5000ms) {
    const auto message = Next(limit);
    if (!message) return -1;
    EXPECT_EQ(message->Window, FWindow.Window);
    EXPECT_EQ(message->Msg, SelectMsg);
    EXPECT_EQ(message->Generation, Generation);
    EXPECT_EQ(static_cast<std::uint64_t>(message->WParam), serial);
    return static_cast<int>(message->LParam);
  }

  void ExpectQuiet() { EXPECT_FALSE(Next(300ms)) << "unexpected notification"; }

  // A connected pair: the client side (non-blocking, registered as connected) and the peer.
  std::uint64_t Connected(TFd& client, TFd& peer, int mask = FD_READ | FD_WRITE | FD_CLOSE) {
    std::uint16_t port = 0;
    const TFd listener = BoundSocket(true, port);
    client = StartConnect(port);
    peer = TFd(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_GE(peer.Get(), 0);
    return TSocketPoller::Instance().Register(client.Get(), Target(), mask, false);
  }

  TSocketPoller& FPoller = TSocketPoller::Instance();
};

TEST_F(SocketPollerTest, RefusedConnectReportsOnceAndNothingMore) {
  std::uint16_t port = 0;
  const TFd closedPort = BoundSocket(false, port);  // bound, never listening: refuses
  const TFd client = StartConnect(port);
  const std::uint64_t serial = FPoller.Register(client.Get(), Target(), FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE, true);
  EXPECT_NE(serial, 0u);
  EXPECT_EQ(NextSelect(serial), FD_CONNECT | (WSAECONNREFUSED << 16));
  FPoller.ReenableRead(serial);
  FPoller.ReenableWrite(serial);
  ExpectQuiet();
  FPoller.Unregister(serial);
}

TEST_F(SocketPollerTest, ConnectReportsConnectAndWriteTogetherThenReads) {
  std::uint16_t port = 0;
  const TFd listener = BoundSocket(true, port);
  const TFd client = StartConnect(port);
  const std::uint64_t serial = FPoller.Register(client.Get(), Target(), FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE, true);
  EXPECT_EQ(NextSelect(serial), FD_CONNECT | FD_WRITE);
  const TFd peer(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  SendAll(peer.Get(), "hi");
  EXPECT_EQ(NextSelect(serial), FD_READ);
  FPoller.Unregister(serial);
}

TEST_F(SocketPollerTest, SerialsAreDistinct) {
  TFd first, firstPeer, second, secondPeer;
  const std::uint64_t a = Connected(first, firstPeer);
  const std::uint64_t b = Connected(second, secondPeer);
  EXPECT_NE(a, 0u);
  EXPECT_NE(a, b);
  FPoller.Unregister(a);
  FPoller.Unregister(b);
}

TEST_F(SocketPollerTest, ReadIsSignalledAgainOnlyAfterReenable) {
  TFd client, peer;
  const std::uint64_t serial = Connected(client, peer);
  SendAll(peer.Get(), "abcdef");
  EXPECT_EQ(NextSelect(serial), FD_READ);
  ExpectQuiet();  // bytes are pending, but read is disarmed

  std::array<char, 3> buffer{};
  ASSERT_EQ(::recv(client.Get(), buffer.data(), buffer.size(), 0), 3);
  FPoller.ReenableRead(serial);
  EXPECT_EQ(NextSelect(serial), FD_READ);  // the rest is still pending

  ASSERT_EQ(::recv(client.Get(), buffer.data(), buffer.size(), 0), 3);
  FPoller.ReenableRead(serial);
  ExpectQuiet();  // armed, nothing pending
  SendAll(peer.Get(), "g");
  EXPECT_EQ(NextSelect(serial), FD_READ);
  FPoller.Unregister(serial);
}

TEST_F(SocketPollerTest, DataBeforeOrderlyCloseStaysReadableAndCloseComesOnce) {
  TFd client, peer;
  const std::uint64_t serial = Connected(client, peer);
  SendAll(peer.Get(), "0123456789");
  peer.Reset();

  int seen = 0;
  for (int i = 0; i < 2 && (seen & FD_CLOSE) == 0; ++i) {
    const int lParam = NextSelect(serial);
    ASSERT_NE(lParam, -1);
    EXPECT_EQ(lParam >> 16, 0);
    EXPECT_EQ(seen & (lParam & 0xFFFF), 0) << "bit reported twice";
    seen |= lParam & 0xFFFF;
  }
  EXPECT_EQ(seen, FD_READ | FD_CLOSE);

  std::array<char, 32> buffer{};
  EXPECT_EQ(::recv(client.Get(), buffer.data(), buffer.size(), 0), 10);
  EXPECT_EQ(::recv(client.Get(), buffer.data(), buffer.size(), 0), 0);
  FPoller.ReenableRead(serial);  // at end of file nothing is pending: no read, no second close
  ExpectQuiet();
  FPoller.Unregister(serial);
}

TEST_F(SocketPollerTest, ResetIsReportedAsCloseWithError) {
  TFd client, peer;
  const std::uint64_t serial = Connected(client, peer);
  const linger abortive{1, 0};
  ASSERT_EQ(::setsockopt(peer.Get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive)), 0);
  peer.Reset();
  EXPECT_EQ(NextSelect(serial), FD_CLOSE | (WSAECONNRESET << 16));
  ExpectQuiet();
  FPoller.Unregister(serial);
}

TEST_F(SocketPollerTest, WriteIsSignalledOnceWhenTheSendBufferDrains) {
  TFd client, peer;
  const std::uint64_t serial = Connected(client, peer);
  const std::string block(64 * 1024, 'x');
  bool full = false;
  for (int i = 0; i < 4096 && !full; ++i) {
    full = ::send(client.Get(), block.data(), block.size(), MSG_NOSIGNAL) < 0 && errno == EAGAIN;
  }
  ASSERT_TRUE(full);
  FPoller.ReenableWrite(serial);
  ExpectQuiet();  // still full: the peer has not read

  std::array<char, 64 * 1024> sink{};
  int lParam = -1;
  const auto deadline = TClock::now() + 5s;
  while (lParam == -1 && TClock::now() < deadline) {
    while (::recv(peer.Get(), sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
    }
    lParam = NextSelect(serial, 50ms);
  }
  EXPECT_EQ(lParam, FD_WRITE);
  ExpectQuiet();
  FPoller.Unregister(serial);
}

TEST_F(SocketPollerTest, OnlyMaskedBitsArePosted) {
  TFd client, peer;
  const std::uint64_t serial = Connected(client, peer, FD_CLOSE);
  SendAll(peer.Get(), "data");
  FPoller.ReenableRead(serial);
  FPoller.ReenableWrite(serial);
  peer.Reset();
  EXPECT_EQ(NextSelect(serial), FD_CLOSE);
  FPoller.Unregister(serial);
}

TEST_F(SocketPollerTest, UnregisterStopsNotifications) {
  TFd client, peer;
  const std::uint64_t serial = Connected(client, peer);
  FPoller.Unregister(serial);
  FPoller.ReenableWrite(serial);
  SendAll(peer.Get(), "late");
  peer.Reset();
  ExpectQuiet();
}

TEST_F(SocketPollerTest, TimersTickIndependentlyUntilKilled) {
  constexpr std::uint64_t Fast = 0x7100, Slow = 0x7101;
  FPoller.SetTimer(Fast, FWindow, 10ms);
  FPoller.SetTimer(Slow, FWindow, 30ms);
  std::set<std::uint64_t> ticked;
  int fastTicks = 0;
  for (int i = 0; i < 200 && (fastTicks < 3 || !ticked.contains(Slow)); ++i) {
    const auto message = Next();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->Msg, WM_TIMER);
    EXPECT_EQ(message->Window, FWindow.Window);
    ticked.insert(static_cast<std::uint64_t>(message->WParam));
    fastTicks += message->WParam == static_cast<std::intptr_t>(Fast);
    FPoller.TimerTickTaken(static_cast<std::uint64_t>(message->WParam));
  }
  EXPECT_GE(fastTicks, 3);
  EXPECT_EQ(ticked, (std::set<std::uint64_t>{Fast, Slow}));

  FPoller.KillTimer(Fast);
  // Only a tick already being posted when the timer was killed may still land, and first.
  for (int i = 0; i < 4; ++i) {
    const auto message = Next();
    ASSERT_TRUE(message);
    FPoller.TimerTickTaken(static_cast<std::uint64_t>(message->WParam));
    if (i > 0 || message->WParam != static_cast<std::intptr_t>(Fast)) {
      EXPECT_EQ(message->WParam, static_cast<std::intptr_t>(Slow));
    }
  }
  FPoller.KillTimer(Slow);
  for (int i = 0; i < 2 && Next(50ms); ++i) {
  }
  EXPECT_FALSE(Next(300ms));
}

} // namespace
} // namespace relaybox
