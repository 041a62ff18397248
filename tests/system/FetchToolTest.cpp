// relaybox-fetch as a script uses it: what each kind of outcome does to the exit status and
// stderr, against scripted loopback servers.
#include <gtest/gtest.h>

#include <atomic>

#include "LoopbackPeer.h"
#include "RelayRun.h"

namespace relaybox {
namespace {

void Reply(int connection, const std::string& bytes, bool reset = false) {
  TLoopbackPeer::ReadHeader(connection);
  TLoopbackPeer::WriteBytes(connection, bytes);
  if (!reset) return;
  const linger abortive{1, 0};
  ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

TEST(FetchToolTest, TheExitStatusTellsAReplyFromAFailure) {
  struct {
    const char* Name;
    std::string Reply;
    bool Reset;
    int Exit;
    std::string Out, Err;
  } const cases[] = {
      {"complete", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", false, 0, "ok", "200 OK\n"},
      {"error status", "HTTP/1.0 404 Not Found\r\n\r\ngone", false, 1, "gone", "404 Not Found\n"},
      {"body cut short", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nshort", false, 3, "short",
       "relaybox-fetch: cut short\n"},
      {"reset in the header", "HTTP/1.0 200 OK\r\nContent-", true, 3, "", "relaybox-fetch: reset\n"},
      {"reset in the body", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nshort", true, 3, "", "relaybox-fetch: reset\n"},
      {"no reply", "", false, 3, "", "relaybox-fetch: cut short\n"},
  };
  for (const auto& c : cases) {
    TLoopbackPeer peer([&c](int connection) { Reply(connection, c.Reply, c.Reset); });
    const TRunResult run = RunFetch("http://127.0.0.1:" + peer.Port() + "/");
    EXPECT_EQ(run.ExitCode, c.Exit) << c.Name;
    // Bytes that arrived before a reset may be lost with it.
    if (!c.Reset) {
      EXPECT_EQ(run.Out, c.Out) << c.Name;
    }
    EXPECT_EQ(run.Err, c.Err) << c.Name;
  }
  const TRunResult refused = RunFetch("http://127.0.0.1:" + ClosedPort() + "/");
  EXPECT_EQ(refused.ExitCode, 3);
  EXPECT_EQ(refused.Err, "relaybox-fetch: refused\n");
}

TEST(FetchToolTest, TheTimeLimitHoldsWhateverTheServerDoes) {
  for (const bool flood : {false, true}) {
    std::atomic<bool> clientLeft{false};
    TLoopbackPeer peer([&](int connection) {
      TLoopbackPeer::ReadHeader(connection);
      if (!flood) return TLoopbackPeer::AwaitClose(connection);
      std::string interim;
      for (int i = 0; i < 1000; ++i) interim += "HTTP/1.0 200 OK\r\nX: y\r\n";  // header lines without end
      TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\n\r\n");
      clientLeft = TLoopbackPeer::Flood(connection, interim);
    });
    const TRunResult run = RunToEnd({RELAYBOX_FETCH, "--timeout=0.5", "http://127.0.0.1:" + peer.Port() + "/"},
                                    std::chrono::seconds(30));
    EXPECT_EQ(run.ExitCode, 3) << flood;
    EXPECT_EQ(run.Err, "relaybox-fetch: timed out after 0.5 s\n") << flood;
    if (flood) {
      EXPECT_TRUE(clientLeft) << "the time limit waited for the server to stop";
    }
  }
}

TEST(FetchToolTest, CommandLinesGetClearAnswers) {
  struct {
    std::vector<std::string> Args;
    int Exit;
    std::string Out, ErrStart;
  } const cases[] = {
      {{"--version"}, 0, "relaybox-fetch 1.01\n", ""},
      {{"http://a/", "http://b/"}, 2, "", "relaybox-fetch: only one URL"},
      {{"--timeout=x", "http://a/"}, 2, "", "relaybox-fetch: --timeout needs"},
      {{"--timeout", "0", "http://a/"}, 2, "", "relaybox-fetch: --timeout needs"},
      {{}, 2, "", "relaybox-fetch: a URL is needed"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{RELAYBOX_FETCH};
    argv.insert(argv.end(), c.Args.begin(), c.Args.end());
    const TRunResult run = RunToEnd(argv, std::chrono::seconds(10));
    EXPECT_EQ(run.ExitCode, c.Exit) << c.ErrStart;
    EXPECT_EQ(run.Out, c.Out) << c.ErrStart;
    EXPECT_TRUE(run.Err.starts_with(c.ErrStart)) << run.Err;
  }
}

} // namespace
} // namespace relaybox
