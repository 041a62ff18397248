// lighttpd, nginx and apache2, each started with a configuration of ours on free loopback
// ports, against relaybox-fetch and the relay: their access logs record what was requested.
// lighttpd and nginx serve https too, with a certificate from an authority made for the test.
#include "ServerCases.h"
#include "TestAuthority.h"

namespace relaybox {
namespace {

class ReferenceServerTest : public ::testing::TestWithParam<TServerKind> {
protected:
  void SetUp() override {
    ASSERT_TRUE(Authority.Ok) << ReadFile(Authority.Path("openssl.log"));
    const std::vector<int> free = FreePorts(4);
    Ports = {free[0], free[1], GetParam().Secure ? free[2] : 0};
    WriteDocuments(Server);
    Server.Write(TlsCertificate, ReadFile(Authority.Path("ip.pem")));
    Server.Write(TlsKey, ReadFile(Authority.Path("server.key")));
    const std::vector<std::string> argv = GetParam().Configure(Server, Ports, free[3]);
    std::vector<int> listening = {Ports.Kept, Ports.Closed};
    if (GetParam().Secure) listening.push_back(Ports.Secure);
    std::string error;
    ASSERT_TRUE(Server.Start(argv, listening, error)) << error;
  }

  std::vector<TServerCase> Cases() const {
    std::vector<TServerCase> cases = SharedCases(GetParam().Secure);
    const std::vector<TServerCase> own = GetParam().Cases();
    cases.insert(cases.end(), own.begin(), own.end());
    return cases;
  }

  TTestAuthority Authority;
  TServerProcess Server;
  TPorts Ports;
};

TEST_P(ReferenceServerTest, CompressesWhenOffered) { ExpectCompressionWhenOffered(Ports.Kept); }

TEST_P(ReferenceServerTest, FetchGetsEachReplyAsTheRulesSay) { ExpectFetchResults(Server, Ports, Cases(), Authority.Path("ca.pem")); }

TEST_P(ReferenceServerTest, RelayDeliversEveryUpdateInOrder) { ExpectRelayDelivers(Server, Ports, Cases(), Authority.Path("ca.pem")); }

INSTANTIATE_TEST_SUITE_P(Servers, ReferenceServerTest,
                         ::testing::Values(LighttpdServer(), NginxServer(), ApacheServer()),
                         [](const ::testing::TestParamInfo<TServerKind>& info) { return info.param.Name; });

} // namespace
} // namespace relaybox
