// lighttpd, nginx and apache2, each started with a configuration of ours on free loopback
// ports, against relaybox-fetch and the relay: their access logs record what was requested.
#include "ServerCases.h"

namespace relaybox {
namespace {

class ReferenceServerTest : public ::testing::TestWithParam<TServerKind> {
protected:
  void SetUp() override {
    const std::vector<int> free = FreePorts(3);
    Ports = {free[0], free[1]};
    WriteDocuments(Server);
    const std::vector<std::string> argv = GetParam().Configure(Server, Ports, free[2]);
    std::string error;
    ASSERT_TRUE(Server.Start(argv, {Ports.Kept, Ports.Closed}, error)) << error;
  }

  std::vector<TServerCase> Cases() const {
    std::vector<TServerCase> cases = SharedCases();
    const std::vector<TServerCase> own = GetParam().Cases();
    cases.insert(cases.end(), own.begin(), own.end());
    return cases;
  }

  TServerProcess Server;
  TPorts Ports;
};

TEST_P(ReferenceServerTest, CompressesWhenOffered) { ExpectCompressionWhenOffered(Ports.Kept); }

TEST_P(ReferenceServerTest, FetchGetsEachReplyAsTheRulesSay) { ExpectFetchResults(Server, Ports, Cases()); }

TEST_P(ReferenceServerTest, RelayDeliversEveryUpdateInOrder) { ExpectRelayDelivers(Server, Ports, Cases()); }

INSTANTIATE_TEST_SUITE_P(Servers, ReferenceServerTest,
                         ::testing::Values(LighttpdServer(), NginxServer(), ApacheServer()),
                         [](const ::testing::TestParamInfo<TServerKind>& info) { return info.param.Name; });

} // namespace
} // namespace relaybox
