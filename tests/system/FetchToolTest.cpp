// relaybox-fetch as a script uses it: what each kind of outcome does to the exit status and
// stderr, against scripted loopback servers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>

#include "LoopbackPeer.h"
#include "RelayRun.h"
#include "TlsPeer.h"

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

// Runs `client` with the port of a server that answers each connection with the next reply
// ("{port}" stands for its own port) and closes it; returns the request lines the server saw.
std::vector<std::string> Serve(const std::vector<std::string>& replies,
                               const std::function<void(const std::string& port)>& client) {
  std::vector<std::string> requests;
  {
    TLoopbackPeer peer(
        [&](int connection) {
          const std::string header = TLoopbackPeer::ReadHeader(connection);
          requests.push_back(header.substr(0, header.find("\r\n")));
          std::string reply = replies[requests.size() - 1];
          for (std::size_t at; (at = reply.find("{port}")) != std::string::npos;) reply.replace(at, 6, peer.Port());
          TLoopbackPeer::WriteBytes(connection, reply);
        },
        static_cast<int>(replies.size()));
    client(peer.Port());
  }
  return requests;
}

TEST(FetchToolTest, RepliesRedirectsAndAddressesAsCurlTakesThem) {
  const std::string to = "HTTP/1.0 302 Found\r\nLocation: ";
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\ndone";
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: ";
  struct {
    const char* Name;
    std::string Path;  // after "http://127.0.0.1:{port}"
    std::vector<std::string> Replies, Requests;
    int Exit;
    std::string Out, Err;
    bool Curl = true;  // curl gets the same requests, body and outcome
  } const cases[] = {
      // A Location leads on from a redirect status only.
      {"200 with Location", "/p", {"HTTP/1.0 200 OK\r\nLocation: /p\r\nContent-Length: 2\r\n\r\nok"}, {"/p"}, 0, "ok",
       "200 OK\n"},
      {"201 with Location", "/p", {"HTTP/1.0 201 Created\r\nLocation: /n\r\n\r\nmade"}, {"/p"}, 0, "made", "201 Created\n"},
      {"500 with Location", "/p", {"HTTP/1.0 500 Oops\r\nLocation: /n\r\n\r\nerr"}, {"/p"}, 1, "err", "500 Oops\n"},
      // Each hop over a closed connection counts once; the sixth redirect is one too many.
      {"five redirects", "/p", {to + "/1\r\n\r\n", to + "/2\r\n\r\n", to + "/3\r\n\r\n", to + "/4\r\n\r\n", to + "/5\r\n\r\n", ok},
       {"/p", "/1", "/2", "/3", "/4", "/5"}, 0, "done", "200 OK\n"},
      {"six redirects", "/p", {to + "/1\r\n\r\n", to + "/2\r\n\r\n", to + "/3\r\n\r\n", to + "/4\r\n\r\n", to + "/5\r\n\r\n", to + "/6\r\n\r\n"},
       {"/p", "/1", "/2", "/3", "/4", "/5"}, 3, "", "relaybox-fetch: too many redirects\n"},
      // Every 1xx is interim.
      {"103 and 1.0 100", "/p",
       {"HTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\nHTTP/1.0 100 Go\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"},
       {"/p"}, 0, "ok", "200 OK\n"},
      // Broken framing is a bad reply, never a success.
      {"chunk size zz", "/p", {chunked + "chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n"}, {"/p"}, 3, "",
       "relaybox-fetch: bad reply (Invalid chunk size)\n"},
      {"chunk size -5", "/p", {chunked + "chunked\r\n\r\n-5\r\nhello\r\n0\r\n\r\n"}, {"/p"}, 3, "",
       "relaybox-fetch: bad reply (Invalid chunk size)\n"},
      {"status 2000", "/p", {"HTTP/1.1 2000 OK\r\nContent-Length: 2\r\n\r\nok"}, {"/p"}, 3, "",
       "relaybox-fetch: bad reply (Invalid status code)\n"},
      {"negative length", "/p", {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nok"}, {"/p"}, 3, "",
       "relaybox-fetch: bad reply (Invalid Content-Length)\n"},
      // Transfer-Encoding is a list of codings.
      {"coding list", "/p", {chunked + "identity, Chunked \r\n\r\n5\r\nhello\r\n0\r\n\r\n"}, {"/p"}, 0, "hello", "200 OK\n"},
      // The request target: no fragment, "/" before a query, blanks encoded.
      {"target", "?n=23#top", {ok}, {"/?n=23"}, 0, "done", "200 OK\n"},
      {"blanks", "/a b?c d", {ok}, {"/a%20b?c%20d"}, 0, "done", "200 OK\n", false},
      // Relative Locations resolve as RFC 3986 says.
      {"relative forms", "/d/e/p",
       {to + "?q=2\r\n\r\n", to + "../up\r\n\r\n", to + "./here\r\n\r\n", to + " //127.0.0.1:{port}/x/../y \r\n\r\n", ok},
       {"/d/e/p", "/d/e/p?q=2", "/d/up", "/d/here", "/y"}, 0, "done", "200 OK\n"},
      // curl speaks ftp and follows; relaybox-fetch does not.
      // A Location's bytes go out as they came (curl writes the hex digits in lower case).
      {"non-ASCII Location", "/p", {to + "/\xE2\x82\xAC\x80\r\n\r\n", ok}, {"/p", "/%E2%82%AC%80"}, 0, "done", "200 OK\n", false},
      {"other scheme", "/p", {to + "ftp://127.0.0.1/x\r\nContent-Length: 5\r\n\r\nmoved"}, {"/p"}, 0, "moved", "302 Found\n",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::string> expected;
    for (const std::string& path : c.Requests) expected.push_back("GET " + path + " HTTP/1.0");
    for (const bool curl : {false, true}) {
      if (curl && !c.Curl) break;
      TRunResult run;
      const std::vector<std::string> seen = Serve(c.Replies, [&](const std::string& port) {
        const std::string url = "http://127.0.0.1:" + port + c.Path;
        run = curl ? RunToEnd({"/usr/bin/curl", "-sS", "--http1.0", "-L", "--max-redirs", "5", "-m", "10", url},
                              std::chrono::seconds(30))
                   : RunFetch(url);
      });
      EXPECT_EQ(seen, expected) << (curl ? "curl" : "relaybox-fetch");
      // curl without --fail succeeds on any complete reply; relaybox-fetch tells 4xx and 5xx apart.
      EXPECT_EQ(curl ? run.ExitCode == 0 : run.ExitCode, curl ? c.Exit <= 1 : c.Exit) << curl << " " << run.Err;
      EXPECT_EQ(run.Out, c.Out) << curl;
      if (!curl) {
        EXPECT_EQ(run.Err, c.Err);
      }
    }
  }

  // A port that is no number from 1 to 65535 is refused before any connection: 65536 above the
  // listening port would reach it.
  Serve({}, [](const std::string& port) {
    for (const std::string& bad : {std::to_string(std::stoi(port) + 65536), port + "abc"}) {
      const TRunResult run = RunFetch("http://127.0.0.1:" + bad + "/");
      EXPECT_EQ(run.ExitCode, 3);
      EXPECT_EQ(run.Err, "relaybox-fetch: bad address (invalid port \"" + bad + "\")\n");
    }
  });
}

TEST(FetchToolTest, IPv6AddressesInBracketsAsCurlTakesThem) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  for (const bool curl : {false, true}) {
    std::vector<std::string> requests;
    std::string host;
    TRunResult run;
    {
      TLoopbackPeer peer(
          [&requests](int connection) {
            const std::string header = TLoopbackPeer::ReadHeader(connection);
            const std::size_t host = header.find("\r\nHost: ");
            requests.push_back(header.substr(0, header.find("\r\n")) + " | " +
                               header.substr(host + 2, header.find("\r\n", host + 2) - host - 2));
            TLoopbackPeer::WriteBytes(connection, requests.size() == 1
                                                      ? "HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n"
                                                      : "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\ndone");
          },
          2, AF_INET6);
      host = "Host: [::1]:" + peer.Port();
      const std::string url = "http://[::1]:" + peer.Port() + "/p";
      run = curl ? RunToEnd({"/usr/bin/curl", "-sS", "--http1.0", "-L", "-m", "10", url}, std::chrono::seconds(30))
                 : RunFetch(url);
    }
    // The peer's thread has ended: what it saw can be read.
    EXPECT_EQ(requests, (std::vector<std::string>{"GET /p HTTP/1.0 | " + host, "GET /next HTTP/1.0 | " + host}))
        << curl;
    EXPECT_EQ(run.ExitCode, 0) << curl << " " << run.Err;
    EXPECT_EQ(run.Out, "done") << curl;
  }
  // Without its "]" the host runs on to the path.
  for (const std::string host : {"[::1:80", "[::1]x:80", "[localhost]"}) {
    const TRunResult run = RunFetch("http://" + host + "/");
    EXPECT_EQ(run.ExitCode, 3) << host;
    EXPECT_EQ(run.Err, "relaybox-fetch: bad address (invalid host \"" + host + "\")\n") << host;
  }
}

// https trusts the authorities SSL_CERT_FILE names, as curl trusts those of --cacert; a
// certificate they do not vouch for ends the request with the reason.
TEST(FetchToolTest, HttpsTrustsTheGivenAuthorityAsCurlDoes) {
  const TTestAuthority authority;
  ASSERT_TRUE(authority.Ok);
  const struct {
    std::string Certificate;
    int Exit;
    std::string Out, Err;
    int CurlExit;
  } cases[] = {
      {"ip.pem", 0, "secure", "200 OK\n", 0},
      {"stranger.pem", 3, "", "relaybox-fetch: certificate not trusted (unknown authority)\n", 60},
      {"localhost.pem", 3, "", "relaybox-fetch: certificate does not match host 127.0.0.1\n", 60},
  };
  for (const auto& c : cases) {
    for (const bool curl : {false, true}) {
      TTlsPeer peer("serve", authority, c.Certificate);
      const std::string url = "https://127.0.0.1:" + peer.Port() + "/";
      const TRunResult run =
          curl ? RunToEnd({"/usr/bin/curl", "-sS", "--http1.0", "-m", "10", "--cacert", authority.Path("ca.pem"), url},
                          std::chrono::seconds(30))
               : RunFetch(url, {"SSL_CERT_FILE=" + authority.Path("ca.pem")});
      EXPECT_EQ(run.ExitCode, curl ? c.CurlExit : c.Exit) << c.Certificate << " " << curl << " " << run.Err;
      EXPECT_EQ(run.Out, c.Out) << c.Certificate << " " << curl;
      if (!curl) {
        EXPECT_EQ(run.Err, c.Err) << c.Certificate;
      }
    }
  }
}

// Runs relaybox-fetch with its standard output into a pipe that nobody reads.
TRunResult RunIntoStalledPipe(const std::vector<std::string>& argv, std::chrono::seconds limit) {
  const TTempFolder home;
  const std::string pipe = home.Path() + "out";
  ::mkfifo(pipe.c_str(), 0600);
  const int held = ::open(pipe.c_str(), O_RDWR | O_CLOEXEC);  // so that the program's open does not wait
  TChildProcess process;
  TRunResult result;
  if (process.Start(argv, TChildProcess::InheritedEnvironment(), home.Path(), pipe, home.Path() + "err", result.Err)) {
    if (!process.Wait(limit)) process.Stop(std::chrono::seconds(1));
    result.ExitCode = process.ExitCode();
    result.Err = ReadFile(home.Path() + "err");
  }
  ::close(held);
  return result;
}

TEST(FetchToolTest, TheTimeLimitHoldsWhateverTheServerDoes) {
  enum { Silent, Flood, FloodIntoStalledPipe };
  for (const int kind : {Silent, Flood, FloodIntoStalledPipe}) {
    std::atomic<bool> clientLeft{false};
    TLoopbackPeer peer([&](int connection) {
      TLoopbackPeer::ReadHeader(connection);
      if (kind == Silent) return TLoopbackPeer::AwaitClose(connection);
      std::string interim;
      for (int i = 0; i < 1000; ++i) interim += "HTTP/1.0 200 OK\r\nX: y\r\n";  // header lines without end
      TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\n\r\n");
      clientLeft = TLoopbackPeer::Flood(connection, interim);
    });
    const std::vector<std::string> argv{RELAYBOX_FETCH, "--timeout=0.5", "http://127.0.0.1:" + peer.Port() + "/"};
    const TRunResult run = kind == FloodIntoStalledPipe ? RunIntoStalledPipe(argv, std::chrono::seconds(30))
                                                        : RunToEnd(argv, std::chrono::seconds(30));
    EXPECT_EQ(run.ExitCode, 3) << kind;
    EXPECT_EQ(run.Err, "relaybox-fetch: timed out after 0.5 s\n") << kind;
    if (kind != Silent) {
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
      {{""}, 2, "", "relaybox-fetch: the URL is empty\nTry"},
      {{" "}, 2, "", "relaybox-fetch: the URL is empty\nTry"},
      {{"/path"}, 2, "", "relaybox-fetch: '/path' is not an absolute http address (http://host/path)\nTry"},
      {{"example.org/x"}, 2, "", "relaybox-fetch: 'example.org/x' is not an absolute http address"},
      {{"localhost:8080"}, 2, "", "relaybox-fetch: 'localhost:8080' is not an absolute http address"},
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
