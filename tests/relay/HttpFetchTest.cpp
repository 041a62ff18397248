#include "relay/HttpFetch.h"

#include <gtest/gtest.h>

#include <atomic>

#include "LoopbackPeer.h"
#include "RunElsewhere.h"

namespace relaybox {
namespace {

using namespace std::string_literals;

// The form belongs to the test thread, which dispatches while a worker fetches.
class HttpFetchTest : public testing::Test {
protected:
  Text Fetch(const std::string& url, std::int32_t timeoutMs = 5000) {
    Text response = u"untouched";
    std::atomic<bool> done{false};
    std::thread worker = RunElsewhere([&] { Form.FetchPage(Utf8ToText(url), timeoutMs, response); }, done);
    EXPECT_TRUE(ProcessMessagesUntil([&done] { return done.load(); }, std::chrono::seconds(15)));
    worker.join();
    return response;
  }
  static std::string Url(const TLoopbackPeer& peer) { return "http://127.0.0.1:" + peer.Port() + "/u?id=1"; }

  THttpFetchForm Form;
};

TEST_F(HttpFetchTest, TheReplyBodyBecomesTheResponseText) {
  // A body beyond the limit, cut inside its last character: still UTF-8.
  const std::string filler(THttpFetchForm::BodyLimit - 3, 'a');
  const std::pair<std::string, Text> cases[] = {
      {"HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<h1>Not here</h1>\n", u"<h1>Not here</h1>\r\n"},
      {"HTTP/1.0 200 OK\r\n\r\none\ntwo\nthree", u"one\r\ntwo\r\nthree"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\ncut short", u"cut short"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", u"untouched"},
      {"HTTP/1.0 200 OK\r\n\r\n\xEF\xBB\xBF", u"untouched"},
      {"HTTP/1.0 200 OK\r\n\r\nCaf\xC3\xA9 \xE2\x9C\x93\nline 2\0end"s, u"Caf\u00e9 \u2713\r\nline 2 end"},
      {"HTTP/1.0 200 OK\r\nContent-Type: Text/Plain; Charset=\"UTF-8\"\r\n\r\ncaf\xE9", u"caf\uFFFD"},
      {"HTTP/1.0 200 OK\r\n\r\n\xC3\xA9" + filler + "\xC3\xA9", u"\u00e9" + Text(filler.begin(), filler.end())},
  };
  for (const auto& [reply, response] : cases) {
    TLoopbackPeer peer([&reply = reply](int connection) {
      TLoopbackPeer::ReadHeader(connection);
      TLoopbackPeer::WriteBytes(connection, reply);
    });
    const Text text = Fetch(Url(peer));
    // Compared without printing megabytes.
    EXPECT_TRUE(text == response) << reply.substr(0, 200) << "\ngot: " << TextToUtf8(text.substr(0, 200));
  }
}

TEST_F(HttpFetchTest, FailedFetchesLeaveTheResponseAloneAndSayWhy) {
  const std::string closed = "http://127.0.0.1:" + ClosedPort() + "/";
  EXPECT_EQ(Fetch(closed), u"untouched");
  EXPECT_EQ(Form.LastOutcome().Failure, "refused");
  EXPECT_TRUE(Form.LastOutcome().NoReply);
  // A server that closes during the handshake may be restarting: no reply, as a refusal.
  {
    TLoopbackPeer peer([](int) {});
    EXPECT_EQ(Fetch("https://127.0.0.1:" + peer.Port() + "/"), u"untouched");
  }
  EXPECT_EQ(Form.LastOutcome().Failure, "TLS handshake failed (the server closed the connection)");
  EXPECT_TRUE(Form.LastOutcome().NoReply);
  // An error that ends a fetch is its reason too.
  Form.HttpClient1.OnStateChange = [](THttpClient& client) {
    if (client.State() == httpNotConnected) throw EException("handler failed");
  };
  EXPECT_EQ(Fetch(closed), u"untouched");
  EXPECT_EQ(Form.LastOutcome().Failure, "error (handler failed)");
  Form.HttpClient1.OnStateChange = nullptr;
  EXPECT_EQ(Fetch("http:///nohost"), u"untouched");
  EXPECT_EQ(Form.HttpClient1.State(), httpReady);

  // An address that names no server is not tried at all; one with a scheme is the client's.
  int requests = 0;
  Form.HttpClient1.OnStateChange = [&requests](THttpClient& client) { requests += client.State() != httpReady; };
  const std::pair<std::string, std::string> addresses[] = {
      {"", "no address"},
      {" \t ", "no address"},
      {"/path?a=1", "not an absolute http address"},
      {"example.org/x", "not an absolute http address"},
      {"?q", "not an absolute http address"},
      {"127.0.0.1:" + ClosedPort() + "/x", "not an absolute http address"},
      {"//127.0.0.1/x", "not an absolute http address"},
  };
  for (const auto& [url, failure] : addresses) {
    EXPECT_EQ(Fetch(url), u"untouched") << url;
    EXPECT_EQ(Form.LastOutcome().Failure, failure) << url;
    EXPECT_FALSE(Form.Timer1.Enabled()) << url;
  }
  EXPECT_EQ(requests, 0);
  EXPECT_EQ(Fetch("ftp://127.0.0.1/x"), u"untouched");
  EXPECT_EQ(Form.LastOutcome().Failure, "protocol not supported (ftp)");
}

TEST_F(HttpFetchTest, ASilentServerIsAbandonedWhenTheTimeRunsOut) {
  bool clientClosed = false;
  {
    // What came of a reply that ran out of time is no response.
    TLoopbackPeer peer([&clientClosed](int connection) {
      TLoopbackPeer::ReadHeader(connection);
      TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\n\r\npartial");
      clientClosed = TLoopbackPeer::ReadBytes(connection, 1).empty();  // until the abort closes
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Fetch(Url(peer), 300), u"untouched");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(Form.HttpClient1.StatusCode(), 404);
  }
  EXPECT_TRUE(clientClosed);
  // The time-out is stopped with the fetch and never fires afterwards.
  EXPECT_FALSE(Form.Timer1.Enabled());
}

TEST_F(HttpFetchTest, EachFetchOpensItsOwnConnectionEvenWhenTheServerKeepsIt) {
  int connections = 0;
  {
    TLoopbackPeer peer(
        [&connections](int connection) {
          ++connections;
          TLoopbackPeer::ReadHeader(connection);
          TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nok");
          TLoopbackPeer::AwaitClose(connection);
        },
        2);
    EXPECT_EQ(Fetch(Url(peer)), u"ok");
    EXPECT_EQ(Fetch(Url(peer)), u"ok");
    Form.HttpClient1.Abort();
  }
  EXPECT_EQ(connections, 2);
}

// An abort ends the fetch with no response, whatever part of a reply had come.
TEST_F(HttpFetchTest, ASecondCallWhileOneRunsReturnsAtOnce) {
  TLoopbackPeer peer([](int connection) {
    TLoopbackPeer::ReadHeader(connection);
    TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\n\r\npartial");
    TLoopbackPeer::AwaitClose(connection);
  });
  Text first = u"untouched";
  std::atomic<bool> done{false};
  std::thread worker = RunElsewhere([&] { Form.FetchPage(Utf8ToText(Url(peer)), 2000, first); }, done);
  ASSERT_TRUE(ProcessMessagesUntil([this] { return Form.HttpClient1.State() == httpWaitingBody; }, std::chrono::seconds(5)));
  Text second = u"untouched";
  Form.FetchPage(u"http://127.0.0.1:1/", 10, second);
  EXPECT_EQ(second, u"untouched");
  Form.HttpClient1.Abort();
  ASSERT_TRUE(ProcessMessagesUntil([&done] { return done.load(); }, std::chrono::seconds(5)));
  worker.join();
  EXPECT_EQ(first, u"untouched");
}

} // namespace
} // namespace relaybox
