#include "http/HttpClient.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <atomic>
#include <optional>
#include <thread>

#include "LoopbackPeer.h"
#include "RunElsewhere.h"
#include "net/Resolver.h"
#include "net/WndTimer.h"

namespace relaybox {
namespace {

constexpr auto Patience = std::chrono::seconds(5);

const std::string StandardLines =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
    "Connection: Keep-Alive\r\n"
    "User-Agent: Mozilla/4.0 (compatible; Relaybox)\r\n";

std::string FirstLine(const std::string& request) { return request.substr(0, request.find("\r\n")); }

// Sends `bytes` in pieces of `piece` bytes (all at once for 0), pausing after each so that
// they arrive as separate segments.
void SendInPieces(int connection, const std::string& bytes, std::size_t piece) {
  if (piece == 0) return TLoopbackPeer::WriteBytes(connection, bytes);
  const int on = 1;
  ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  for (std::size_t i = 0; i < bytes.size(); i += piece) {
    TLoopbackPeer::WriteBytes(connection, bytes.substr(i, piece));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// A client as the relay sets it up, with its events written down and its body kept.
class HttpClientTest : public testing::Test {
protected:
  HttpClientTest() {
    Watchdog.SetEnabled(false);
    Client.Name = u"HttpClient1";
    Client.Connection = u"Keep-Alive";
    Client.SetMultiThreaded(true);
    // The stream stays attached, so that the body of a followed redirect is taken back.
    Client.BodyStream = &Body;
    Client.OnDocBegin = [this](THttpClient&) { Log("DocBegin"); };
    Client.OnDocEnd = [this](THttpClient&) { Log("DocEnd"); };
    Client.OnLocationChange = [this](THttpClient&) { Log("LocationChange"); };
    Client.OnRequestDone = [this](THttpClient&, THttpRequest, std::uint16_t error) {
      Log("RequestDone " + std::to_string(error));
    };
    // A hung exchange ends in an abort instead of hanging the test.
    Watchdog.SetInterval(5000);
    Watchdog.SetOnTimer([this](TWndTimer& timer) {
      timer.SetEnabled(false);
      Client.Abort();
    });
  }

  void Fetch(const std::string& url) {
    Client.URL = Utf8ToText(url);
    Watchdog.SetEnabled(true);
    Client.Get();
    Watchdog.SetEnabled(false);
  }
  static std::string Url(const TLoopbackPeer& peer, const std::string& path = "/") {
    return "http://127.0.0.1:" + peer.Port() + path;
  }
  void Log(std::string event) { Events.push_back(std::move(event)); }
  long Count(const std::string& event) const { return std::count(Events.begin(), Events.end(), event); }
  std::string Reason() const { return TextToUtf8(Client.ReasonText()); }

  std::vector<std::string> Events;  // outlives the client, whose destructor may still report
  TMemoryStream Body;
  THttpClient Client;
  TWndTimer Watchdog{&Client};
};

TEST_F(HttpClientTest, TheRequestLeavesAsOneBlockOfTheseLines) {
  struct {
    std::string Path, RequestLine, DocumentName;
  } const cases[] = {
      {"", "GET / HTTP/1.0", "document.htm"},
      {"?a=1", "GET /?a=1 HTTP/1.0", "document.htm"},
      {"/dir/run.exe?x=%20y#f", "GET /dir/run.exe?x=%20y HTTP/1.0", "run.htm"},
      {"/dir/page", "GET /dir/page HTTP/1.0", "page.htm"},
      // A line break in an address cannot end the request line early, nor can a blank.
      {"/a\r\nX-Injected: 1", "GET /a%0D%0AX-Injected:%201 HTTP/1.0", "a\r\nX-Injected: 1.htm"},
      // Beyond ASCII: the code page's bytes, or UTF-8 for a character it lacks.
      {"/a b/\u00e9\u20ac.php?q=\u00fc \u2713\U0001F600", "GET /a%20b/%E9%80.php?q=%FC%20%E2%9C%93%F0%9F%98%80 HTTP/1.0",
       "\u00e9\u20ac.php"},
  };
  for (const auto& c : cases) {
    std::string request, port;
    {
      TLoopbackPeer peer([&request](int connection) {
        request = TLoopbackPeer::ReadHeader(connection);
        TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nx");
      });
      port = peer.Port();
      Fetch("http://127.0.0.1:" + port + c.Path);
    }
    EXPECT_EQ(request, c.RequestLine + "\r\n" + StandardLines + "Host: 127.0.0.1:" + port + "\r\n\r\n") << c.Path;
    EXPECT_EQ(TextToUtf8(Client.DocumentName()), c.DocumentName) << c.Path;
  }
}

TEST_F(HttpClientTest, OptionalLinesComeInTheirOrderAndHandlersMayEditThem) {
  Client.Sender = u"J\u00e9r\u00f4me";
  Client.Reference = u"http://ref.example/";
  Client.AcceptLanguage = u"de";
  Client.Agent.clear();
  Client.NoCache = true;
  Client.ProxyConnection = u"x";
  Client.ModifiedSince = 45000.75;
  Client.Cookie = u"a=b";
  Client.ContentRangeBegin = u"10";
  Client.OnBeforeHeaderSend = [](THttpClient&, const Text& method, std::vector<Text>& lines) {
    lines.push_back(u"X-Method: " + method);
  };
  Client.OnCommand = [](THttpClient&, Text& line) {
    if (line.starts_with(u"Cookie")) line = u"Cookie: c=d";
  };
  std::string request, port;
  {
    TLoopbackPeer peer([&request](int connection) {
      request = TLoopbackPeer::ReadHeader(connection);
      TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 204 No Content\r\n\r\n");
    });
    port = peer.Port();
    Fetch(Url(peer));
  }
  EXPECT_EQ(request,
            "GET / HTTP/1.0\r\nFrom: J\xe9r\xf4me\r\n"
            "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
            "Referer: http://ref.example/\r\nConnection: Keep-Alive\r\nAccept-Language: de\r\n"
            "Host: 127.0.0.1:" + port + "\r\nPragma: no-cache\r\nProxy-Connection: x\r\n"
            "If-Modified-Since: Wed, 15 Mar 2023 18:00:00 GMT\r\nCookie: c=d\r\nRange: bytes=10-\r\n"
            "X-Method: GET\r\n\r\n");
  EXPECT_TRUE(Client.ContentRangeBegin.empty());
  EXPECT_EQ(Client.StatusCode(), 204);
}

TEST_F(HttpClientTest, EventsOfASimpleExchangeComeInOrder) {
  for (auto* event : {&Client.OnStateChange, &Client.OnSessionConnected, &Client.OnRequestHeaderBegin,
                      &Client.OnRequestHeaderEnd, &Client.OnHeaderBegin, &Client.OnHeaderData, &Client.OnHeaderEnd,
                      &Client.OnSessionClosed}) {
    *event = [this, event](THttpClient& sender) {
      if (event == &sender.OnStateChange) return Log("State " + std::to_string(sender.State()));
      if (event == &sender.OnSessionConnected) return Log("SessionConnected");
      if (event == &sender.OnRequestHeaderBegin) return Log("RequestHeaderBegin");
      if (event == &sender.OnRequestHeaderEnd) return Log("RequestHeaderEnd");
      if (event == &sender.OnHeaderBegin) return Log("HeaderBegin");
      if (event == &sender.OnHeaderData) return Log("HeaderData");
      if (event == &sender.OnHeaderEnd) return Log("HeaderEnd");
      Log("SessionClosed");
    };
  }
  Client.OnCommand = [this](THttpClient&, Text&) { Log("Command"); };
  Client.OnDocData = [this](THttpClient&, const char*, std::int64_t len) { Log("DocData " + std::to_string(len)); };
  {
    TLoopbackPeer peer([](int connection) {
      TLoopbackPeer::ReadHeader(connection);
      TLoopbackPeer::WriteBytes(connection, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
      TLoopbackPeer::AwaitClose(connection);
    });
    Fetch(Url(peer));
  }
  ASSERT_TRUE(ProcessMessagesUntil([this] { return Count("RequestDone 0") == 1; }, Patience));
  const std::vector<std::string> expected{
      "State 1", "State 3", "State 4", "State 2", "SessionConnected", "State 5", "RequestHeaderBegin",
      "Command", "Command", "Command", "Command", "Command", "RequestHeaderEnd", "Command",
      "HeaderBegin", "HeaderData", "HeaderData", "HeaderEnd", "State 6", "DocBegin", "DocData 5",
      "State 7", "DocEnd", "SessionClosed", "State 0", "RequestDone 0"};
  EXPECT_EQ(Events, expected);
  EXPECT_EQ(Body.Bytes(), "hello");
  EXPECT_EQ(Client.StatusCode(), 200);
  EXPECT_EQ(Reason(), "OK");
}

struct TReplyCase {
  const char* Name;
  std::string Reply;
  int Status;
  const char* Reason;
  const char* Body;
  long DocBegins;
  THttpFailure Failure = hfNone;
};
void PrintTo(const TReplyCase& c, std::ostream* out) { *out << c.Name; }

const TReplyCase ReplyCases[] = {
    {"Length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 200, "OK", "hello", 1},
    {"Chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 200, "OK", "hello", 1},
    {"ChunkExtensions", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nA;x=y\r\n0123456789\r\n3\r\nabc\r\n0\r\n\r\n",
     200, "OK", "0123456789abc", 1},
    {"UntilClose", "HTTP/1.0 200 OK\r\n\r\nuntil the end\r\n", 200, "OK", "until the end\r\n", 1},
    {"Interim100", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 Fine\r\nContent-Length: 2\r\n\r\nok", 200, "Fine", "ok", 1},
    // Every 1xx is interim, and nothing of its header counts.
    {"Interim1xx", "HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\nLocation: /x\r\n\r\n"
     "HTTP/1.0 100 Continue\r\nContent-Length: 0\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 200, "OK", "ok", 1},
    {"EmptyBody", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 200, "OK", "", 0},
    {"ErrorStatus", "HTTP/1.0 404 Not Found\r\nContent-Length: 4\r\n\r\ngone", 404, "Not Found", "gone", 1},
    {"EmptyFirstLine", "\r\nHTTP/1.0 200 OK\r\n\r\nlate", 0, "No status line", "", 0, hfBadResponse},
    {"NoHeader", "<HTML>hi\r\n</html>", 0, "No status line", "<HTML>hi\r\n</html>", 1, hfBadResponse},
    {"BytesAfterTheDocument", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokHTTP/1.1 500 No\r\n\r\n", 200, "OK", "ok", 1},
    {"CutShort", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nshort", 200, "OK", "short", 1, hfClosed},
    {"CutShortChunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel", 200, "OK", "hel", 1, hfClosed},
    {"CutShortHeader", "HTTP/1.0 200 OK\r\nContent-Le", 200, "OK", "", 0, hfClosed},
    {"NoReply", "", 0, "", "", 0, hfClosed},
    // The chunks frame the body; a Content-Length beside them is ignored.
    {"ChunkedWithLength", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n",
     200, "OK", "hello world", 1},
    {"ChunkedWithZeroLength", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n",
     200, "OK", "ok", 1},
    // Transfer-Encoding is a list; chunked when its last coding is, and the close ends any other.
    {"CodingList", "HTTP/1.1 200 OK\r\nTransfer-Encoding: identity, Chunked \r\n\r\n2\r\nok\r\n0\r\nX-Trailer: 1\r\n\r\n",
     200, "OK", "ok", 1},
    {"OtherCoding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 2\r\n\r\nabcdef", 200, "OK", "abcdef", 1},
    // A Location to elsewhere than http or https is not followed: the redirect is the result,
    // its body running until the close as any other's.
    {"RedirectToFtp", "HTTP/1.0 302 Found\r\nLocation: ftp://127.0.0.1/\r\n\r\nmoved", 302, "Found", "moved", 1},
    {"UnauthorizedUntilClose", "HTTP/1.0 401 Unauthorized\r\n\r\nsecret", 401, "Unauthorized", "secret", 1},
    // A 304 has no body, whatever its header says.
    {"NotModifiedWithLength", "HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\nConnection: keep-alive\r\n\r\n", 304,
     "Not Modified", "", 0},
};

// Each reply whole, in one-byte segments and in odd-sized ones.
class HttpReplyTest : public HttpClientTest, public testing::WithParamInterface<std::tuple<TReplyCase, std::size_t>> {};

TEST_P(HttpReplyTest, IsReceivedTheSameWhateverItsSegments) {
  const auto& [c, piece] = GetParam();
  {
    TLoopbackPeer peer([&c = c, piece = piece](int connection) {
      TLoopbackPeer::ReadHeader(connection);
      SendInPieces(connection, c.Reply, piece);
    });
    Fetch(Url(peer));
  }
  EXPECT_EQ(Client.StatusCode(), c.Status);
  EXPECT_EQ(Reason(), c.Reason);
  EXPECT_EQ(Body.Bytes(), c.Body);
  EXPECT_EQ(Count("DocBegin"), c.DocBegins);
  EXPECT_EQ(Count("DocEnd"), c.DocBegins);
  EXPECT_EQ(Client.RequestError(), c.Failure == hfBadResponse ? RequestErrorBadResponse : 0);
  EXPECT_EQ(Client.Failure(), c.Failure);
  EXPECT_EQ(Client.State(), httpReady);
}

INSTANTIATE_TEST_SUITE_P(Replies, HttpReplyTest, testing::Combine(testing::ValuesIn(ReplyCases), testing::Values(0, 1, 7)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).Name) + "_" + std::to_string(std::get<1>(info.param));
                         });

TEST_F(HttpClientTest, AReplyToA10RequestClosesTheConnectionUnlessTheServerKeepsItAlive) {
  struct {
    std::string ConnectionLines;
    bool Kept;
  } const cases[] = {
      {"", false},
      {"Connection:  KEEP-ALIVE \r\n", true},
      {"Proxy-Connection: keep-alive\r\nConnection: close\r\n", false},
  };
  for (const auto& c : cases) {
    Events.clear();
    TLoopbackPeer peer([&c](int connection) {
      TLoopbackPeer::ReadHeader(connection);
      TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\n" + c.ConnectionLines + "Content-Length: 2\r\n\r\nok");
      TLoopbackPeer::AwaitClose(connection);
    });
    Fetch(Url(peer));
    EXPECT_EQ(Client.Socket().State() == wsConnected, c.Kept) << c.ConnectionLines;
    EXPECT_EQ(Body.Bytes(), "ok");
    Body.SetSize(0);
    ASSERT_TRUE(ProcessMessagesUntil([this] { return Count("RequestDone 0") == 1; }, Patience));

    // An abort on the idle client drops the kept connection and reports at once.
    Client.Abort();
    EXPECT_EQ(Client.Socket().State(), wsClosed);
    EXPECT_EQ(Count("RequestDone 0"), 2);
    EXPECT_EQ(Client.StatusCode(), 200);
    EXPECT_EQ(Reason(), "OK");
  }
}

TEST_F(HttpClientTest, ASecondGetGoesOutOnTheKeptConnection) {
  std::vector<std::string> requestLines;
  {
    TLoopbackPeer peer([&requestLines](int connection) {
      for (const char* body : {"one", "two"}) {
        requestLines.push_back(FirstLine(TLoopbackPeer::ReadHeader(connection)));
        // Bytes beyond the document, without a line end, must not reach the next reply.
        TLoopbackPeer::WriteBytes(connection, std::string("HTTP/1.0 200 OK\r\nConnection: keep-alive\r\n"
                                                          "Content-Length: 3\r\n\r\n") + body + "junk");
      }
      TLoopbackPeer::AwaitClose(connection);
    });
    Fetch(Url(peer, "/1"));
    Client.SetMultiThreaded(false);  // the other wait loop
    Fetch(Url(peer, "/2"));
    EXPECT_EQ(Client.Socket().State(), wsConnected);
    Client.Abort();
  }
  EXPECT_EQ(requestLines, (std::vector<std::string>{"GET /1 HTTP/1.0", "GET /2 HTTP/1.0"}));
  EXPECT_EQ(Body.Bytes(), "onetwo");
  EXPECT_EQ(Client.StatusCode(), 200);
}

TEST_F(HttpClientTest, AKeptConnectionThatBringsWhatNobodyAskedForIsClosed) {
  std::atomic<bool> closedByClient{false};
  {
    TLoopbackPeer peer([&closedByClient](int connection) {
      TLoopbackPeer::ReadHeader(connection);
      TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nok");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      closedByClient = TLoopbackPeer::Flood(connection, std::string(4096, '\n'));
    });
    Fetch(Url(peer));
    EXPECT_EQ(Body.Bytes(), "ok");
    ASSERT_TRUE(ProcessMessagesUntil([this] { return Client.Socket().State() == wsClosed; }, Patience));
  }
  EXPECT_TRUE(closedByClient);
  EXPECT_EQ(Client.StatusCode(), 200);
}

TEST_F(HttpClientTest, AnAbortOfAFreshClientReportsSuccessOnceAndAtOnce) {
  int stateChanges = 0;
  Client.OnStateChange = [&stateChanges](THttpClient&) { ++stateChanges; };
  Client.Abort();
  EXPECT_EQ(Events, std::vector<std::string>{"RequestDone 0"});
  EXPECT_EQ(stateChanges, 1);
  EXPECT_EQ(Client.State(), httpReady);
  EXPECT_EQ(Client.StatusCode(), 200);
  EXPECT_EQ(Reason(), "OK");
  ProcessMessagesUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(Count("RequestDone 0"), 1);
}

TEST_F(HttpClientTest, RequestVerTakesOnly10And11) {
  Client.SetRequestVer(u"1.1");
  Client.SetRequestVer(u"1.1");
  for (const char16_t* bad : {u"2.0", u"1.0 ", u""}) {
    try {
      Client.SetRequestVer(bad);
      ADD_FAILURE() << "no exception";
    } catch (const EHttpException& error) {
      EXPECT_EQ(error.ErrorCode, 5);
      EXPECT_STREQ(error.what(), "Insupported HTTP version");
    }
  }
  EXPECT_EQ(Client.RequestVer(), u"1.1");
}

TEST_F(HttpClientTest, FailuresOfTheExchangeEndTheRequestWithTheirStatus) {
  const std::string closed = ClosedPort();
  struct {
    std::string Url;
    int Status;
    std::string Reason;
    int RequestError;
    THttpFailure Failure;
  } const cases[] = {
      {"http:///nohost", 404, "can't resolve hostname to IP address", 10022, hfLookup},
      {"ftp://127.0.0.1:" + closed + "/", 501, "Protocol \"ftp\" not implemented", 0, hfProtocol},
      {"https://127.0.0.1:" + closed + "/", 404, "Connection refused (Error #10061)", 10061, hfConnect},
      {"http://127.0.0.1:" + closed + "/", 404, "Connection refused (Error #10061)", 10061, hfConnect},
      // A port is a number from 1 to 65535, or the address is refused before any connection.
      {"http://127.0.0.1:99999/", 0, "invalid port \"99999\"", RequestErrorBadAddress, hfBadAddress},
      {"http://127.0.0.1:0/", 0, "invalid port \"0\"", RequestErrorBadAddress, hfBadAddress},
      {"http://127.0.0.1:80x/", 0, "invalid port \"80x\"", RequestErrorBadAddress, hfBadAddress},
      {"http://127.0.0.1: 80/", 0, "invalid port \" 80\"", RequestErrorBadAddress, hfBadAddress},
      {"http://127.0.0.1 :80/", 0, "invalid host \"127.0.0.1 \"", RequestErrorBadAddress, hfBadAddress},
      // Brackets hold an IPv6 address, whole, and a port follows them after ":" only.
      {"http://[::1/x", 0, "invalid host \"[::1\"", RequestErrorBadAddress, hfBadAddress},
      {"http://[::g]/", 0, "invalid host \"[::g]\"", RequestErrorBadAddress, hfBadAddress},
      {"http://[127.0.0.1]/", 0, "invalid host \"[127.0.0.1]\"", RequestErrorBadAddress, hfBadAddress},
      {"http://[]/", 0, "invalid host \"[]\"", RequestErrorBadAddress, hfBadAddress},
      {"http://[::1]80/", 0, "invalid host \"[::1]80\"", RequestErrorBadAddress, hfBadAddress},
      {"http://::1/", 0, "invalid host \":\"", RequestErrorBadAddress, hfBadAddress},
      {"http://[::1]:0/", 0, "invalid port \"0\"", RequestErrorBadAddress, hfBadAddress},
      {"http://[::1]:65536/", 0, "invalid port \"65536\"", RequestErrorBadAddress, hfBadAddress},
  };
  for (const auto& c : cases) {
    Events.clear();
    Fetch(c.Url);
    EXPECT_EQ(Client.StatusCode(), c.Status) << c.Url;
    EXPECT_EQ(Reason(), c.Reason) << c.Url;
    EXPECT_EQ(Client.RequestError(), c.RequestError) << c.Url;
    EXPECT_EQ(Client.Failure(), c.Failure) << c.Url;
    ASSERT_TRUE(ProcessMessagesUntil([this] { return !Events.empty(); }, Patience));
    EXPECT_EQ(Events, std::vector<std::string>{"RequestDone " + std::to_string(c.RequestError)}) << c.Url;
  }
}

TEST_F(HttpClientTest, AResetBeforeTheReplyIsCompleteEndsTheRequestAsFailed) {
  for (const std::string reply : {"HTTP/1.0 200 OK\r\nContent-", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nshort",
                                  "HTTP/1.0 200 OK\r\n\r\nuntil the close, which is a reset"}) {
    {
      TLoopbackPeer peer([&reply](int connection) {
        TLoopbackPeer::ReadHeader(connection);
        TLoopbackPeer::WriteBytes(connection, reply);
        const linger reset{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      });
      Fetch(Url(peer));
    }
    EXPECT_EQ(Client.Failure(), hfClosed) << reply;
    EXPECT_EQ(Client.RequestError(), 10054) << reply;
  }
}

TEST_F(HttpClientTest, AGetFromAnotherThreadRunsOnTheOwnerAndAnAbortThereReleasesIt) {
  TLoopbackPeer peer([](int connection) {
    TLoopbackPeer::ReadHeader(connection);
    TLoopbackPeer::AwaitClose(connection);  // silent
  });
  Client.URL = Utf8ToText(Url(peer));
  std::atomic<bool> done{false};
  std::thread worker = RunElsewhere([this] { Client.Get(); }, done);
  ASSERT_TRUE(ProcessMessagesUntil([this] { return Client.State() == httpWaitingHeader; }, Patience));
  try {
    Client.Get();
    ADD_FAILURE() << "no exception";
  } catch (const EHttpException& error) {
    EXPECT_EQ(error.ErrorCode, 1);
    EXPECT_STREQ(error.what(), "HTTP component HttpClient1 is busy");
  }
  Client.Abort();
  ASSERT_TRUE(ProcessMessagesUntil([&done] { return done.load(); }, Patience));
  worker.join();
  EXPECT_EQ(Client.StatusCode(), 404);
  EXPECT_EQ(Reason(), "Connection aborted on request");
  EXPECT_EQ(Client.RequestError(), RequestErrorAborted);
}

TEST_F(HttpClientTest, AGetFromAnotherThreadDeliversTheReply) {
  TLoopbackPeer peer([](int connection) {
    TLoopbackPeer::ReadHeader(connection);
    TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\n\r\nfrom afar");
  });
  Client.URL = Utf8ToText(Url(peer));
  std::atomic<bool> done{false};
  std::thread worker = RunElsewhere(
      [this] {
        Client.Abort();
        Client.Get();
      },
      done);
  ASSERT_TRUE(ProcessMessagesUntil([&done] { return done.load(); }, Patience));
  worker.join();
  EXPECT_EQ(Client.StatusCode(), 200);
  EXPECT_EQ(Body.Bytes(), "from afar");
}

struct TRelocationCase {
  const char* Name;
  std::vector<std::vector<std::string>> Replies;  // per connection, one per request
  std::vector<std::string> RequestLines;
  int Status;
  std::string Body;
  int Count;
  long Exceeded;
  std::string Location;
  THttpFailure Failure = hfNone;
};

TEST_F(HttpClientTest, RelocationsAreFollowedAndCounted) {
  const std::string redirect = "HTTP/1.0 302 Found\r\nLocation: ";
  const TRelocationCase cases[] = {
      {"to a new connection",
       {{redirect + "/next\r\n\r\n"}, {"HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\ndone"}},
       {"GET /dir/start HTTP/1.0", "GET /next HTTP/1.0"}, 200, "done", 1, 0, "http://127.0.0.1/next"},
      // Each redirect status, without body or length, over closed connections: each counts
      // once, and the sixth is one too many.
      {"six without body, the sixth fails",
       {{"HTTP/1.0 301 Moved\r\nLocation: /r1\r\n\r\n"}, {"HTTP/1.0 303 See Other\r\nLocation: /r2\r\n\r\n"},
        {"HTTP/1.0 307 Temporary\r\nLocation: /r3\r\n\r\n"}, {"HTTP/1.0 308 Permanent\r\nLocation: /r4\r\n\r\n"},
        {redirect + "/r5\r\n\r\n"}, {redirect + "/r6\r\n\r\n"}},
       {"GET /dir/start HTTP/1.0", "GET /r1 HTTP/1.0", "GET /r2 HTTP/1.0", "GET /r3 HTTP/1.0", "GET /r4 HTTP/1.0",
        "GET /r5 HTTP/1.0"},
       302, "", 6, 1, "http://127.0.0.1/r6", hfTooManyRedirects},
      {"with a body on a kept connection",
       {{redirect + "next\r\nConnection: keep-alive\r\nContent-Length: 5\r\n\r\nmoved",
         "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 4\r\n\r\ndone"}},
       {"GET /dir/start HTTP/1.0", "GET /dir/next HTTP/1.0"}, 200, "done", 1, 0, "http://127.0.0.1/dir/next"},
      {"without body on a kept connection",
       {{redirect + "/next\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n",
         "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 4\r\n\r\ndone"}},
       {"GET /dir/start HTTP/1.0", "GET /next HTTP/1.0"}, 200, "done", 1, 0, "http://127.0.0.1/next"},
      // A relative Location resolves as RFC 3986 says; its blanks and fragment are dropped.
      {"delimited by the close",
       {{"HTTP/1.0 303 See Other\r\nLocation:  ../next?x#frag \r\n\r\n<p>moved</p>"},
        {"HTTP/1.0 200 OK\r\n\r\ndone"}},
       {"GET /dir/start HTTP/1.0", "GET /next?x HTTP/1.0"}, 200, "done", 1, 0, "http://127.0.0.1/next?x"},
      // Nothing of the redirect's reply may frame the target's: a short body, a long one, one cut short.
      {"delimited by the close, then a length",
       {{"HTTP/1.0 303 See Other\r\nLocation: /b\r\n\r\nabc"}, {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfinal"}},
       {"GET /dir/start HTTP/1.0", "GET /b HTTP/1.0"}, 200, "final", 1, 0, "http://127.0.0.1/b"},
      {"a long body delimited by the close, then a length",
       {{"HTTP/1.0 303 See Other\r\nLocation: /b\r\n\r\n" + std::string(300000, 'x')},
        {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfinal"}},
       {"GET /dir/start HTTP/1.0", "GET /b HTTP/1.0"}, 200, "final", 1, 0, "http://127.0.0.1/b"},
      // What else the connection brings after the redirect's reply is dropped.
      {"more replies behind a redirect",
       {{redirect + "/b\r\n\r\n" + redirect + "/c\r\n\r\n" + redirect + "/d\r\n\r\n"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\ndone"}},
       {"GET /dir/start HTTP/1.0", "GET /b HTTP/1.0"}, 200, "done", 1, 0, "http://127.0.0.1/b"},
      {"a reply before the relocated request on a kept connection",
       {{redirect + "/next\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\nHTTP/1.0 200 OK\r\n"
                    "Connection: keep-alive\r\nContent-Length: 5\r\n\r\nstale",
         "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 4\r\n\r\ndone"}},
       {"GET /dir/start HTTP/1.0", "GET /next HTTP/1.0"}, 200, "done", 1, 0, "http://127.0.0.1/next"},
      // The server closed the kept connection without answering the relocated request: it
      // goes out again on a new connection.
      {"on a kept connection the server closes",
       {{redirect + "/next\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n", ""},
        {"HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\ndone"}},
       {"GET /dir/start HTTP/1.0", "GET /next HTTP/1.0", "GET /next HTTP/1.0"}, 200, "done", 1, 0,
       "http://127.0.0.1/next"},
      {"to a reply without a status line",
       {{redirect + "/next\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n", "\r\n"}},
       {"GET /dir/start HTTP/1.0", "GET /next HTTP/1.0"}, 0, "", 1, 0, "http://127.0.0.1/next", hfBadResponse},
      {"cut short, then a length",
       {{redirect + "?q=2\r\nContent-Length: 100\r\n\r\nshort"}, {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfinal"}},
       {"GET /dir/start HTTP/1.0", "GET /dir/start?q=2 HTTP/1.0"}, 200, "final", 1, 0, "http://127.0.0.1/dir/start?q=2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Events.clear();
    Body.SetSize(0);
    long exceeded = 0;
    Client.OnLocationChangeExceeded = [&exceeded](THttpClient&, int count, bool& allowMore) {
      EXPECT_FALSE(allowMore);
      EXPECT_EQ(count, 6);
      ++exceeded;
    };
    std::vector<std::string> requestLines;
    {
      std::size_t index = 0;
      TLoopbackPeer peer(
          [&](int connection) {
            for (const std::string& reply : c.Replies[index]) {
              requestLines.push_back(FirstLine(TLoopbackPeer::ReadHeader(connection)));
              TLoopbackPeer::WriteBytes(connection, reply);
            }
            ++index;  // and close
          },
          static_cast<int>(c.Replies.size()));
      Fetch(Url(peer, "/dir/start"));
      EXPECT_EQ(Client.StatusCode(), c.Status);
      EXPECT_EQ(Body.Bytes(), c.Body);
      EXPECT_EQ(Client.LocationChangeCurCount(), c.Count);
      EXPECT_EQ(TextToUtf8(Client.LocationURL()), c.Location);
      EXPECT_EQ(Client.Failure(), c.Failure);
      if (c.Status == 200) {
        EXPECT_EQ(Reason(), "OK");
      }
      Client.Abort();
    }
    EXPECT_EQ(requestLines, c.RequestLines);
    EXPECT_EQ(exceeded, c.Exceeded);
  }
}

TEST_F(HttpClientTest, AnAbsoluteLocationLeadsToItsServer) {
  std::string request, targetPort;
  {
    TLoopbackPeer target([&request](int connection) {
      request = TLoopbackPeer::ReadHeader(connection);
      TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    });
    targetPort = target.Port();
    TLoopbackPeer origin([location = Url(target, "/there?q=1")](int connection) {
      TLoopbackPeer::ReadHeader(connection);
      TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 302 Found\r\nLocation: " + location + "\r\n\r\n");
    });
    Fetch(Url(origin));
  }
  // The Host line names the server the request goes to.
  EXPECT_EQ(FirstLine(request), "GET /there?q=1 HTTP/1.0");
  EXPECT_NE(request.find("\r\nHost: 127.0.0.1:" + targetPort + "\r\n"), std::string::npos) << request;
  EXPECT_EQ(Body.Bytes(), "ok");
  EXPECT_EQ(Client.LocationChangeCurCount(), 1);
  EXPECT_EQ(TextToUtf8(Client.LocationURL()), "http://127.0.0.1/there?q=1");
}

TEST_F(HttpClientTest, AnIPv6AddressIsReachedAndNamedInBracketsInTheHostLine) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  std::string first, second, targetPort;
  {
    TLoopbackPeer target([&second](int connection) {
      second = TLoopbackPeer::ReadHeader(connection);
      TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    }, 1, AF_INET6);
    targetPort = target.Port();
    TLoopbackPeer origin([&first, location = "http://[0::1]:" + targetPort + "/there"](int connection) {
      first = TLoopbackPeer::ReadHeader(connection);
      TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 302 Found\r\nLocation: " + location + "\r\n\r\n");
    }, 1, AF_INET6);
    Fetch("http://[::1]:" + origin.Port() + "/x");
  }
  EXPECT_NE(first.find("\r\nHost: [::1]:"), std::string::npos) << first;
  EXPECT_EQ(FirstLine(second), "GET /there HTTP/1.0");
  EXPECT_NE(second.find("\r\nHost: [0::1]:" + targetPort + "\r\n"), std::string::npos) << second;
  EXPECT_EQ(Client.StatusCode(), 200);
  EXPECT_EQ(Body.Bytes(), "ok");
  EXPECT_EQ(TextToUtf8(Client.LocationURL()), "http://[0::1]/there");
}

TEST_F(HttpClientTest, ANamesAddressesAreTriedInTurnUntilOneConnects) {
  // 127.0.0.1 serves; the same port on ::1 refuses, or fails at once without IPv6.
  const std::vector<std::string> both{"::1", "127.0.0.1"};
  std::vector<std::string> given;
  TResolver resolver([&given](const std::string&, std::vector<std::string>& addresses) {
    addresses = given;
    return 0;
  });
  Client.Socket().SetResolver(&resolver);
  const std::string closed = ClosedPort();
  struct {
    std::vector<std::string> Addresses;
    bool Serving;
    int Status;
    std::string Reason;
    std::string Scheme = "http";
    bool FirstStalls = false;  // the first address drops the connect's packets
  } const cases[] = {
      {both, true, 200, "OK"},
      {{"127.0.0.1", "::1"}, true, 200, "OK"},
      {{"127.0.0.1", "127.0.0.1"}, false, 404, "Connection refused (Error #10061)"},
      {{"127.0.0.1"}, false, 404, "Connection refused (Error #10061)"},
      // Over https too: an address that refuses fails no handshake.
      {both, false, 404, "Connection refused (Error #10061)", "https"},
      // A connect that stalls gives way to the next address inside the time limit.
      {{"127.0.0.2", "127.0.0.1"}, true, 200, "OK", "http", true},
  };
  for (const auto& c : cases) {
    given = c.Addresses;
    Events.clear();
    std::string request, port = closed;
    {
      std::optional<TLoopbackPeer> peer;
      if (c.Serving) {
        peer.emplace([&request](int connection) {
          request = TLoopbackPeer::ReadHeader(connection);
          TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\n\r\nhere");
        });
        port = peer->Port();
      }
      std::optional<TStalledListener> staller;
      if (c.FirstStalls) {
        ASSERT_TRUE(staller.emplace(static_cast<unsigned short>(std::stoi(port))).Ok);
      }
      Fetch(c.Scheme + "://dual.test:" + port + "/");
    }
    const std::string row = c.Addresses.front() + "," + c.Addresses.back();
    EXPECT_EQ(Client.StatusCode(), c.Status) << row;
    EXPECT_EQ(Reason(), c.Reason) << row;
    if (c.Serving) {
      EXPECT_NE(request.find("\r\nHost: dual.test:" + port + "\r\n"), std::string::npos) << request;
    }
    const std::string done = "RequestDone " + std::to_string(Client.RequestError());
    ASSERT_TRUE(ProcessMessagesUntil([&] { return Count(done) > 0; }, Patience)) << row;
    ProcessMessagesUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(Count(done), 1) << row;
  }
}

TEST_F(HttpClientTest, EndlessInterimRepliesEndTheRequestWhileTheServerStillSends) {
  std::atomic<bool> clientLeft{false};
  {
    TLoopbackPeer peer([&clientLeft](int connection) { clientLeft = TLoopbackPeer::FloodInterimReplies(connection); });
    Fetch(Url(peer));
  }
  EXPECT_TRUE(clientLeft);
  EXPECT_EQ(Reason(), "Response header too large");
  EXPECT_EQ(Client.Failure(), hfBadResponse);
}

TEST_F(HttpClientTest, RepliesThatBreakTheProtocolEndAsAFailedRequest) {
  std::string hugeHeader = "HTTP/1.0 200 OK\r\n";
  while (hugeHeader.size() <= 1024 * 1024) hugeHeader += "X-Filler: " + std::string(100, 'f') + "\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {"HTTP/1.0 200 OK\r\nX-Long: " + std::string(70000, 'a'), "Header line too long"},
      {"HTTP/1.0 200 OK\r\nX-Long: " + std::string(70000, 'a') + "\r\n\r\n", "Header line too long"},
      {hugeHeader, "Response header too large"},
      {"HTTP/1.0 abc OK\r\n\r\n", "Invalid status code"},
      {"HTTP/1.0\r\n\r\n", "Invalid status code"},
      {"HTTP/1.1 099 Low\r\n\r\n", "Invalid status code"},
      {"HTTP/1.1 -200 OK\r\n\r\n", "Invalid status code"},
      {"HTTP/1.10 200 OK\r\n\r\n", "Invalid status code"},
      {"HTTP/1.1\t200 OK\r\n\r\n", "Invalid status code"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFF\r\n", "Invalid chunk size"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n\r\nhello\r\n0\r\n\r\n", "Invalid chunk size"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0x10\r\n0123456789abcdef\r\n0\r\n\r\n",
       "Invalid chunk size"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nhello\r\n0\r\n\r\n", "Invalid chunk end"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\nhello", "Invalid Content-Length"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", "Invalid Content-Length"},
  };
  for (const auto& [reply, reason] : cases) {
    {
      TLoopbackPeer peer([&reply = reply](int connection) {
        TLoopbackPeer::ReadHeader(connection);
        TLoopbackPeer::WriteBytes(connection, reply);
        TLoopbackPeer::AwaitClose(connection);
      });
      Fetch(Url(peer));
    }
    EXPECT_EQ(Client.StatusCode(), 0) << reason;
    EXPECT_EQ(Reason(), reason);
    EXPECT_EQ(Client.RequestError(), RequestErrorBadResponse) << reason;
    EXPECT_EQ(Client.Socket().State(), wsClosed) << reason;
  }
}

} // namespace
} // namespace relaybox
