#include "net/AsyncSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPeer.h"
#include "net/Resolver.h"
#include "net/SocketErrors.h"

namespace relaybox {
namespace {

constexpr auto Patience = std::chrono::seconds(5);

// A socket whose events are written down as one line each.
class AsyncSocketTest : public testing::Test {
protected:
  void SetUp() override {
    Socket.OnChangeState = [this](TAsyncSocket&, TSocketState from, TSocketState to) {
      Events.push_back("state " + std::to_string(from) + ">" + std::to_string(to));
    };
    Socket.OnSessionConnected = [this](TAsyncSocket&, std::uint16_t e) { Events.push_back("connected " + std::to_string(e)); };
    Socket.OnSessionClosed = [this](TAsyncSocket&, std::uint16_t e) { Events.push_back("closed " + std::to_string(e)); };
    Socket.OnDataSent = [this](TAsyncSocket&, std::uint16_t e) { Events.push_back("sent " + std::to_string(e)); };
    Socket.OnDnsLookupDone = [this](TAsyncSocket&, std::uint16_t e) { Events.push_back("dns " + std::to_string(e)); };
    Socket.OnError = [this](TAsyncSocket& s) { Events.push_back("error " + std::to_string(s.LastError())); };
  }

  void ConnectTo(const std::string& port) {
    Socket.SetAddr("127.0.0.1");
    Socket.SetPort(port);
    Socket.Connect();
  }
  bool WaitFor(const std::function<bool()>& done) { return ProcessMessagesUntil(done, Patience); }
  bool Seen(const std::string& event) const { return std::find(Events.begin(), Events.end(), event) != Events.end(); }

  std::vector<std::string> Events;  // outlives the socket, whose destructor may still report
  TAsyncSocket Socket;
};

TEST_F(AsyncSocketTest, ConnectWithoutAPortReportsItAndStaysClosed) {
  Socket.SetAddr("127.0.0.1");
  Socket.Connect();
  EXPECT_EQ(Events, std::vector<std::string>{"error 0"});
  EXPECT_EQ(Socket.State(), wsClosed);
  EXPECT_EQ(Socket.HSocket(), -1);

  Socket.OnError = nullptr;
  try {
    Socket.Connect();
    FAIL() << "no exception";
  } catch (const ESocketException& error) {
    EXPECT_STREQ(error.what(), "Connect: No Port Specified");
  }
}

TEST_F(AsyncSocketTest, LookupsOfNumericNamesEndInsideTheCall) {
  Socket.DnsLookup("10.1.2.3");
  EXPECT_EQ(Events, std::vector<std::string>{"dns 0"});
  EXPECT_EQ(Socket.DnsResult(), "10.1.2.3");

  Events.clear();
  Socket.DnsLookup("0:0::1");  // an IPv6 address, given in its shortest form
  EXPECT_EQ(Events, std::vector<std::string>{"dns 0"});
  EXPECT_EQ(Socket.DnsResultList(), std::vector<std::string>{"::1"});

  Events.clear();
  Socket.DnsLookup("");
  EXPECT_EQ(Events, (std::vector<std::string>{"error 0", "dns 10022"}));
}

TEST_F(AsyncSocketTest, ALookupGivesEveryAddressOfTheNameInTheResolversOrder) {
  TResolver resolver([](const std::string& host, std::vector<std::string>& addresses) {
    if (host == "dual.test") addresses = {"::1", "127.0.0.1"};
    return 0;
  });
  Socket.SetResolver(&resolver);
  Socket.DnsLookup("dual.test");
  ASSERT_TRUE(WaitFor([&] { return Seen("dns 0"); }));
  EXPECT_EQ(Socket.DnsResultList(), (std::vector<std::string>{"::1", "127.0.0.1"}));
  EXPECT_EQ(Socket.DnsResult(), "::1");
}

TEST_F(AsyncSocketTest, AnIPv6PeerIsConnectedToAndRefusesLikeAnIPv4One) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  std::string received;
  {
    TLoopbackPeer peer([&](int c) {
      received = TLoopbackPeer::ReadBytes(c, 2);
      TLoopbackPeer::WriteBytes(c, "v6");
    }, 1, AF_INET6);
    Socket.SetAddr("::1");
    Socket.SetPort(peer.Port());
    Socket.Connect();
    ASSERT_TRUE(WaitFor([&] { return Seen("connected 0"); }));
    Socket.SendText(std::string("hi"));
    ASSERT_TRUE(WaitFor([&] { return Seen("closed 0"); }));
  }
  EXPECT_EQ(received, "hi");
  EXPECT_EQ(Socket.State(), wsClosed);

  Events.clear();
  Socket.SetAddr("::1");
  Socket.SetPort(ClosedPort(AF_INET6));
  Socket.Connect();
  ASSERT_TRUE(WaitFor([&] { return Seen("closed 0"); }));
  EXPECT_TRUE(Seen("connected 10061"));
}

TEST_F(AsyncSocketTest, ANameIsLookedUpInTheBackgroundAndASecondLookupCancelsTheFirst) {
  Socket.DnsLookup("localhost");
  EXPECT_TRUE(Events.empty());
  Socket.DnsLookup("localhost");
  ASSERT_TRUE(WaitFor([&] { return !Events.empty(); }));
  ProcessMessagesUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(Events, std::vector<std::string>{"dns 0"});
  EXPECT_EQ(Socket.DnsResult(), "127.0.0.1");
}

TEST_F(AsyncSocketTest, ARefusedConnectionIsReportedAsConnectedWithTheErrorThenClosed) {
  ConnectTo(ClosedPort());
  ASSERT_TRUE(WaitFor([&] { return Seen("closed 0"); }));
  EXPECT_EQ(Events, (std::vector<std::string>{"state 8>1", "state 1>3", "state 3>5", "connected 10061",
                                              "state 5>8", "closed 0"}));
}

TEST_F(AsyncSocketTest, SendIsRefusedBeforeConnectAndReportsDataSentFromTheNextDispatch) {
  EXPECT_EQ(Socket.Send("x", 1), -1);
  EXPECT_EQ(Socket.LastError(), WSAENOTCONN);
  EXPECT_EQ(Events, std::vector<std::string>{"error 10057"});

  const std::string hundred(100, 'h');
  std::string received;
  {
    TLoopbackPeer peer([&](int c) {
      received = TLoopbackPeer::ReadBytes(c, 100);
      TLoopbackPeer::AwaitClose(c);  // a close right away could overtake the data-sent report
    });
    ConnectTo(peer.Port());
    ASSERT_TRUE(WaitFor([&] { return Seen("sent 0"); }));  // writable once connected
    Events.clear();
    EXPECT_EQ(Socket.Send(hundred.data(), 100), 100);
    EXPECT_TRUE(Events.empty());
    ASSERT_TRUE(WaitFor([&] { return Seen("sent 0"); }));
    Socket.Close();
  }
  EXPECT_EQ(received, hundred);
}

TEST_F(AsyncSocketTest, BufferedBytesGoOutInOrderInBlocksOfAtMost1460) {
  std::string data(5000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  std::string received;
  std::vector<int> chunks;
  Socket.OnSendData = [&](TAsyncSocket&, int n) { chunks.push_back(n); };
  {
    TLoopbackPeer peer([&](int c) { received = TLoopbackPeer::ReadBytes(c, data.size()); });
    ConnectTo(peer.Port());
    ASSERT_TRUE(WaitFor([&] { return Socket.State() == wsConnected; }));
    Socket.AppendToSendBuffer(data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(Socket.BufferedByteCount(), 5000);
    EXPECT_EQ(Socket.Send(nullptr, 0), 0);
    ASSERT_TRUE(WaitFor([&] { return Socket.AllSent() && Seen("sent 0"); }));
  }
  EXPECT_EQ(received, data);
  ASSERT_FALSE(chunks.empty());
  for (const int n : chunks) EXPECT_LE(n, 1460);
}

TEST_F(AsyncSocketTest, MoreThanThePlatformTakesAtOnceIsSentWhenThePeerCatchesUp) {
  const std::string data(8 << 20, 'z');
  std::size_t received = 0;
  {
    TLoopbackPeer peer([&](int c) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the buffers fill
      received = TLoopbackPeer::ReadBytes(c, data.size()).size();
    });
    ConnectTo(peer.Port());
    ASSERT_TRUE(WaitFor([&] { return Socket.State() == wsConnected; }));
    EXPECT_EQ(Socket.Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    EXPECT_TRUE(WaitFor([&] { return Socket.AllSent(); }));
  }
  EXPECT_EQ(received, data.size());
}

TEST_F(AsyncSocketTest, ThePeersBytesArriveBeforeItsCloseWhichIsReportedOnce) {
  TLoopbackPeer peer([](int c) { TLoopbackPeer::WriteBytes(c, "0123456789"); });
  std::string received;
  Socket.OnDataAvailable = [&](TAsyncSocket& s, std::uint16_t) {
    received += s.ReceiveText();
    Events.push_back("data " + std::to_string(received.size()));
  };
  ConnectTo(peer.Port());
  ASSERT_TRUE(WaitFor([&] { return Seen("closed 0"); }));
  Socket.Close();
  ProcessMessagesUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(received, "0123456789");
  EXPECT_EQ(std::count(Events.begin(), Events.end(), "closed 0"), 1);
  const auto data = std::find(Events.begin(), Events.end(), "data 10");
  ASSERT_NE(data, Events.end());
  EXPECT_LT(data - Events.begin(), std::find(Events.begin(), Events.end(), "closed 0") - Events.begin());
  EXPECT_EQ(Socket.State(), wsClosed);
}

TEST_F(AsyncSocketTest, ClosingAClosedSocketDoesNothingAndTheEndpointIsFixedWhileOpen) {
  Socket.Close();
  EXPECT_TRUE(Events.empty());

  TLoopbackPeer peer([](int c) { TLoopbackPeer::AwaitClose(c); });
  ConnectTo(peer.Port());
  ASSERT_TRUE(WaitFor([&] { return Socket.State() == wsConnected; }));
  Events.clear();
  Socket.SetAddr("127.0.0.1");
  EXPECT_TRUE(Events.empty());
  Socket.SetAddr("127.0.0.2");
  Socket.SetPort("1");
  EXPECT_EQ(Events, (std::vector<std::string>{"error 0", "error 0"}));
  EXPECT_EQ(Socket.Addr(), "127.0.0.1");
  Socket.Close();
  Socket.Close();
  EXPECT_EQ(std::count(Events.begin(), Events.end(), "closed 0"), 1);
}

TEST_F(AsyncSocketTest, AnExceptionFromAHandlerAbortsTheConnection) {
  TLoopbackPeer peer([](int c) { TLoopbackPeer::AwaitClose(c); });
  int offered = 0;
  Socket.OnBgException = [&](TWndControl&, const std::exception&, bool&) { ++offered; };
  Socket.OnSessionConnected = [](TAsyncSocket&, std::uint16_t) { throw ESocketException("handler failed"); };
  ConnectTo(peer.Port());
  ASSERT_TRUE(WaitFor([&] { return offered == 1 && Socket.State() == wsClosed; }));

  std::string message;
  Socket.OnBgException = [&](TWndControl&, const std::exception& error, bool&) { message = error.what(); };
  Socket.TriggerException();
  ASSERT_TRUE(WaitFor([&] { return !message.empty(); }));
  EXPECT_EQ(message, "Test exception in AsyncSocket");
}

TEST_F(AsyncSocketTest, AFloodOfDataLeavesRoomForOtherMessages) {
  std::atomic<bool> clientLeft{false};
  {
    TLoopbackPeer peer([&clientLeft](int c) { clientLeft = TLoopbackPeer::Flood(c, std::string(65536, 'x')); });
    bool ran = false;
    // A slow reader: the peer always has more waiting than one pass takes.
    Socket.OnDataAvailable = [&ran](TAsyncSocket& s, std::uint16_t) {
      char buffer[64];
      s.Receive(buffer, sizeof buffer);
      if (s.ReadCount() != sizeof buffer) return;
      TMessage note;
      note.Call = [&ran] { ran = true; };
      TMessageQueue::ForCurrentThread()->Post(std::move(note));
    };
    ConnectTo(peer.Port());
    ASSERT_TRUE(ProcessMessagesUntil([&] { return ran; }, std::chrono::seconds(20)));
    Socket.Close();
  }
  EXPECT_TRUE(clientLeft) << "the message waited until the peer gave up";
}

TEST_F(AsyncSocketTest, DataThatArrivesWithAResetIsDeliveredWithoutTheResetsError) {
  // Whether data and reset arrive in one wake-up of the poller is up to timing: try often.
  for (int attempt = 0; attempt < 20; ++attempt) {
    std::vector<std::uint16_t> dataErrors;
    Events.clear();
    Socket.OnDataAvailable = [&dataErrors](TAsyncSocket& s, std::uint16_t error) {
      dataErrors.push_back(error);
      s.ReceiveText();
    };
    TLoopbackPeer peer([](int c) {
      TLoopbackPeer::WriteBytes(c, "hello");
      const linger reset{1, 0};
      ::setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    });
    ConnectTo(peer.Port());
    ASSERT_TRUE(WaitFor([&] { return Socket.State() == wsClosed; }));
    for (const std::uint16_t error : dataErrors) EXPECT_EQ(error, 0) << "attempt " << attempt;
  }
}

TEST_F(AsyncSocketTest, SendingAfterOurOwnShutdownIsReportedAndKeepsTheSocket) {
  TLoopbackPeer peer([](int c) { TLoopbackPeer::AwaitClose(c); });
  ConnectTo(peer.Port());
  ASSERT_TRUE(WaitFor([&] { return Socket.State() == wsConnected; }));
  Events.clear();
  Socket.Shutdown(1);
  Socket.Send("x", 1);
  EXPECT_EQ(Events, std::vector<std::string>{"error 10058"});
  EXPECT_EQ(Socket.State(), wsConnected);
  Socket.Close();
}

TEST_F(AsyncSocketTest, SwitchingLineModeOffInsideALineKeepsWhatFollows) {
  TLoopbackPeer peer([](int c) {
    TLoopbackPeer::WriteBytes(c, "AB\r\nCDEF");
    TLoopbackPeer::AwaitClose(c);
  });
  Socket.SetLineMode(true);
  std::string received;
  Socket.OnDataAvailable = [&received](TAsyncSocket& s, std::uint16_t) {
    char buffer[2];
    const int n = s.Receive(buffer, s.LineMode() ? 1 : 2);
    if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    s.SetLineMode(false);
  };
  ConnectTo(peer.Port());
  ASSERT_TRUE(WaitFor([&] { return received.size() >= 8; }));
  EXPECT_EQ(received, "AB\r\nCDEF");
  Socket.Close();
}

struct LineCase {
  const char* Name;
  std::vector<std::string> Segments;
  int Limit;
  std::vector<std::string> Lines;
  std::vector<int> LimitEvents;
  friend void PrintTo(const LineCase& test, std::ostream* os) { *os << test.Name; }
};

class LineModeTest : public testing::TestWithParam<LineCase> {};

TEST_P(LineModeTest, LinesAreDeliveredWholeAcrossReads) {
  const LineCase& test = GetParam();
  TAsyncSocket socket;
  socket.SetLineMode(true);
  socket.LineLimit = test.Limit;
  std::vector<std::string> lines;
  std::vector<int> limits;
  socket.OnDataAvailable = [&](TAsyncSocket& s, std::uint16_t) { lines.push_back(s.ReceiveText()); };
  socket.OnLineLimitExceeded = [&](TAsyncSocket&, int length, bool& clear) {
    limits.push_back(length);
    EXPECT_TRUE(clear);
  };
  TLoopbackPeer peer([&](int c) {
    for (const std::string& segment : test.Segments) {
      TLoopbackPeer::WriteBytes(c, segment);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // separate reads
    }
    TLoopbackPeer::AwaitClose(c);
  });
  socket.SetAddr("127.0.0.1");
  socket.SetPort(peer.Port());
  socket.Connect();
  ProcessMessagesUntil([&] { return lines.size() >= test.Lines.size() && limits.size() >= test.LimitEvents.size(); },
                       Patience);
  ProcessMessagesUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(lines, test.Lines);
  EXPECT_EQ(limits, test.LimitEvents);
  socket.Close();
}

INSTANTIATE_TEST_SUITE_P(
    Segments, LineModeTest,
    testing::Values(LineCase{"SplitLineEnd", {"AB\r", "\nCD"}, 65536, {"AB\r\n"}, {}},
                    LineCase{"TwoLinesInOneRead", {"one\r\ntwo\r\n"}, 65536, {"one\r\n", "two\r\n"}, {}},
                    LineCase{"OverTheLimit", {"0123456789A"}, 10, {}, {11}}),
    [](const testing::TestParamInfo<LineCase>& info) { return info.param.Name; });

} // namespace
} // namespace relaybox
