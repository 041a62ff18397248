// The client over TLS, against a scripted Python peer with certificates from a private
// authority the test makes at run time.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "LoopbackPeer.h"
#include "TestAuthority.h"
#include "TlsPeer.h"
#include "base/Stream.h"
#include "http/HttpClient.h"
#include "http/HttpFailureText.h"
#include "net/HostLookup.h"
#include "net/Resolver.h"
#include "net/WndTimer.h"

namespace relaybox {
namespace {

class HttpsTest : public testing::Test {
protected:
  HttpsTest() {
    // Only the test's authority is trusted.
    ::setenv("SSL_CERT_FILE", Authority.Path("ca.pem").c_str(), 1);
    ::setenv("SSL_CERT_DIR", Authority.Path("no-such-folder").c_str(), 1);
    Client.Connection = u"Keep-Alive";
    Client.SetMultiThreaded(true);
    Client.BodyStream = &Body;
    Watchdog.SetEnabled(false);
    Watchdog.SetInterval(5000);
    Watchdog.SetOnTimer([this](TWndTimer& timer) {
      timer.SetEnabled(false);
      Client.Abort();
    });
  }

  void Fetch(const std::string& url) {
    Body.SetSize(0);
    Client.URL = Utf8ToText(url);
    Watchdog.SetEnabled(true);
    Client.Get();
    Watchdog.SetEnabled(false);
  }
  std::string Header(const std::string& name) const {
    for (const Text& line : Client.ReceivedHeader()) {
      const std::string text = TextToUtf8(line);
      if (text.starts_with(name + ": ")) return text.substr(name.size() + 2);
    }
    return {};
  }
  std::string BodyText() const { return Body.Bytes(); }

  TTestAuthority Authority;
  TMemoryStream Body;
  THttpClient Client;
  TWndTimer Watchdog{&Client};
};

TEST_F(HttpsTest, AServerTheAuthorityVouchesForAnswersOverTls) {
  ASSERT_TRUE(Authority.Ok);
  // Names the table gives addresses to resolve as it says; the rest as the system does.
  std::vector<std::string> given;
  TResolver resolver([&given](const std::string& host, std::vector<std::string>& addresses) {
    if (given.empty()) return LookupAddresses(host, addresses);
    addresses = given;
    return 0;
  });
  Client.Socket().SetResolver(&resolver);
  const struct {
    std::string Certificate, Host;
    std::vector<std::string> Addresses;
  } cases[] = {
      {"ip.pem", "127.0.0.1", {}},
      {"localhost.pem", "localhost", {}},
      // A final dot names the same host; the certificate's name has none.
      {"localhost.pem", "localhost.", {"127.0.0.1"}},
      // The first address refuses (or fails without IPv6): the next one is tried.
      {"dual.pem", "dual.test", {"::1", "127.0.0.1"}},
  };
  for (const auto& c : cases) {
    given = c.Addresses;
    std::string port;
    {
      TTlsPeer peer("serve", Authority, c.Certificate);
      port = peer.Port();
      Fetch("https://" + c.Host + ":" + port + "/x?q=1");
    }
    EXPECT_EQ(Client.Failure(), hfNone) << c.Host << ": " << HttpFailureText(Client);
    EXPECT_EQ(Client.StatusCode(), 200) << c.Host;
    EXPECT_EQ(BodyText(), "secure") << c.Host;
    EXPECT_EQ(Header("X-Request"), "GET /x?q=1 HTTP/1.0") << c.Host;
    EXPECT_EQ(Header("X-Host"), c.Host + ":" + port) << c.Host;
  }
}

TEST_F(HttpsTest, ACertificateItCannotTrustFailsTheRequestWithTheReason) {
  ASSERT_TRUE(Authority.Ok);
  const struct {
    std::string Certificate, Host, Failure;
  } cases[] = {
      {"self.pem", "127.0.0.1", "certificate not trusted (self-signed)"},
      {"stranger.pem", "127.0.0.1", "certificate not trusted (unknown authority)"},
      {"expired.pem", "127.0.0.1", "certificate expired"},
      {"other.pem", "localhost", "certificate does not match host localhost"},
      // An address is matched against the certificate's addresses, not its names.
      {"localhost.pem", "127.0.0.1", "certificate does not match host 127.0.0.1"},
  };
  for (const auto& c : cases) {
    {
      TTlsPeer peer("serve", Authority, c.Certificate);
      Fetch("https://" + c.Host + ":" + peer.Port() + "/");
    }
    EXPECT_EQ(Client.Failure(), hfTls) << c.Certificate;
    EXPECT_EQ(HttpFailureText(Client), c.Failure) << c.Certificate;
    EXPECT_EQ(Client.RequestError(), RequestErrorTls) << c.Certificate;
    EXPECT_EQ(Client.StatusCode(), 0) << c.Certificate;
    EXPECT_EQ(Body.Size(), 0) << c.Certificate;
  }
}

TEST_F(HttpsTest, APeerThatBreaksTheHandshakeFailsTheRequest) {
  ASSERT_TRUE(Authority.Ok);
  const struct {
    std::string Mode;
    TTlsFailure Kind;
    std::string Failure;  // empty: OpenSSL's words, whatever they are
  } cases[] = {
      {"close", TTlsFailure::Closed, "TLS handshake failed (the server closed the connection)"},
      {"plain", TTlsFailure::PlainHttp, "TLS handshake failed (the server answered in plain HTTP)"},
      {"garbage", TTlsFailure::Protocol, ""},
      // The chain's announced length alone fails it, long before 1 MiB is buffered.
      {"bigchain", TTlsFailure::Protocol, "TLS failed (excessive message size)"},
  };
  for (const auto& c : cases) {
    {
      TTlsPeer peer(c.Mode, Authority, "ip.pem");
      Fetch("https://127.0.0.1:" + peer.Port() + "/");
    }
    EXPECT_EQ(Client.Failure(), hfTls) << c.Mode;
    EXPECT_EQ(Client.TlsError().Kind, c.Kind) << c.Mode << ": " << HttpFailureText(Client);
    if (!c.Failure.empty()) {
      EXPECT_EQ(HttpFailureText(Client), c.Failure) << c.Mode;
    }
  }
}

// A server that never answers the ClientHello holds the request until the caller's time
// limit aborts it; the event loop keeps running meanwhile.
TEST_F(HttpsTest, AStalledHandshakeEndsWithTheCallersAbort) {
  ASSERT_TRUE(Authority.Ok);
  Watchdog.SetInterval(300);
  {
    TTlsPeer peer("stall", Authority, "ip.pem");
    Fetch("https://127.0.0.1:" + peer.Port() + "/");
  }
  EXPECT_EQ(Client.Failure(), hfAborted);
  EXPECT_EQ(Client.State(), httpReady);
}

// Every delivery after the first to the same server resumes a session, over TLS 1.3 tickets
// and TLS 1.2 alike, also when the previous connection was kept alive and then dropped, as the
// relay drops it before its next delivery; a server that issues no tickets gets a full
// handshake each time.
TEST_F(HttpsTest, LaterDeliveriesToTheSameServerResumeTheSession) {
  ASSERT_TRUE(Authority.Ok);
  const struct {
    std::string Mode;
    bool Resumed;
  } cases[] = {{"serve", true}, {"serve12", true}, {"keepalive", true}, {"fresh", false}};
  for (const auto& c : cases) {
    TTlsPeer peer(c.Mode, Authority, "ip.pem", 3);
    for (int round = 0; round < 3; ++round) {
      Client.Abort();
      Fetch("https://127.0.0.1:" + peer.Port() + "/");
      EXPECT_EQ(Client.Failure(), hfNone) << c.Mode << round << ": " << HttpFailureText(Client);
      EXPECT_EQ(BodyText(), "secure") << c.Mode << round;
      EXPECT_EQ(Client.TlsResumed(), c.Resumed && round > 0) << c.Mode << round;
    }
    Client.Abort();  // the kept connection would hold the peer until its own time-out
  }
}

// Without a length in the header only the server's close_notify ends the body, as soon as it
// comes: a bare TCP close may be someone cutting the reply short. Every record before it
// counts, however small, and nothing is written after it.
TEST_F(HttpsTest, TheServersCloseNotifyEndsWhatCameBefore) {
  ASSERT_TRUE(Authority.Ok);
  std::string many;
  for (int i = 0; i < 50; ++i) many += "secure";
  const struct {
    std::string Mode;
    THttpFailure Failure;
    std::string Body;
    int Connections = 1;
  } cases[] = {
      {"unframed", hfNone, "secure"},
      {"cut", hfClosed, "secure"},
      // A server that closes at once resets our answering close_notify: that cuts nothing.
      {"reset", hfNone, "secure"},
      {"records", hfNone, many},
      // A redirect on a connection kept alive that the server then ends: the next request goes
      // on a new connection.
      {"relocate", hfNone, "secure", 2},
  };
  for (const auto& c : cases) {
    {
      TTlsPeer peer(c.Mode, Authority, "ip.pem", c.Connections);
      Fetch("https://127.0.0.1:" + peer.Port() + "/");
    }
    EXPECT_EQ(Client.Failure(), c.Failure) << c.Mode << ": " << HttpFailureText(Client);
    EXPECT_EQ(Client.StatusCode(), 200) << c.Mode;
    EXPECT_EQ(BodyText(), c.Body) << c.Mode;
  }
}

TEST_F(HttpsTest, RedirectsLeadFromHttpToHttpsAndBack) {
  ASSERT_TRUE(Authority.Ok);
  std::vector<std::string> requests;
  TTlsPeer secure("redirect", Authority, "ip.pem");
  TLoopbackPeer plain(
      [&](int connection) {
        requests.push_back(TLoopbackPeer::ReadHeader(connection));
        TLoopbackPeer::WriteBytes(connection, requests.size() == 1
                                                  ? "HTTP/1.0 301 Moved\r\nLocation: https://127.0.0.1:" + secure.Port() +
                                                        "/s\r\nContent-Length: 0\r\n\r\n"
                                                  : "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nplain");
      },
      2);
  std::ofstream(Authority.Path("REDIRECT")) << "http://127.0.0.1:" << plain.Port() << "/back\n";
  Fetch("http://127.0.0.1:" + plain.Port() + "/start");
  EXPECT_EQ(Client.Failure(), hfNone) << HttpFailureText(Client);
  EXPECT_EQ(Client.StatusCode(), 200);
  EXPECT_EQ(BodyText(), "plain");
  EXPECT_EQ(Client.LocationChangeCurCount(), 2);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(requests[1].starts_with("GET /back HTTP/1.0\r\n")) << requests[1];
}

} // namespace
} // namespace relaybox
