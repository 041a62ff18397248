// CPU per https delivery, full handshake against resumed session: one client fetches N times
// from the scripted TLS peer (tests/http/tls_peer.py, a child process whose CPU is not
// counted), from a peer that issues no session tickets (TLS 1.3), and from ones that do
// (TLS 1.3 and TLS 1.2). Each phase gives the client's user CPU (TLS and HTTP work) and its
// user and system CPU together; over loopback the system share also holds much of the peer's
// packet handling, which the kernel runs on the sender's account. Prints one "figure:" line
// per measurement; the exit status is 1 when a fetch fails or the resumption does not happen
// as the phase expects, 2 when the bench cannot set itself up.
//   relaybox_tls_bench [--fetches N]
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TestAuthority.h"
#include "base/Stream.h"
#include "http/HttpClient.h"
#include "http/HttpFailureText.h"

namespace relaybox {
namespace {

constexpr int MaxFetches = 10000;

struct TCpu {
  double User = 0, Total = 0;  // seconds
};

TCpu ProcessCpu() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return {seconds(usage.ru_utime), seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

struct TPhase {
  TCpu PerFetch;
  int Resumed = 0;
  bool Ok = false;
};

// One warm-up fetch (a full handshake that leaves a session behind), then `fetches` measured.
TPhase RunPhase(const TTestAuthority& authority, const char* mode, int fetches) {
  const std::string command = "python3 '" RELAYBOX_TLS_PEER "' " + std::string(mode) + " '" + authority.Path("ip.pem") +
                              "' '" + authority.Path("server.key") + "' " + std::to_string(fetches + 1);
  FILE* const pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  char line[32] = {};
  const std::string port = std::fgets(line, sizeof line, pipe) != nullptr ? std::string(line, std::strcspn(line, "\n")) : "";
  TPhase phase;
  phase.Ok = !port.empty();
  {
    TMemoryStream body;
    THttpClient client;
    client.BodyStream = &body;
    client.URL = Utf8ToText("https://127.0.0.1:" + port + "/");
    TCpu start;
    for (int i = 0; phase.Ok && i <= fetches; ++i) {
      if (i == 1) start = ProcessCpu();
      body.SetSize(0);
      client.Get();
      if (client.Failure() != hfNone || body.Bytes() != "secure") {
        std::fprintf(stderr, "%s: fetch %d failed: %s\n", mode, i, HttpFailureText(client).c_str());
        phase.Ok = false;
      }
      if (i > 0 && client.TlsResumed()) ++phase.Resumed;
    }
    const TCpu end = ProcessCpu();
    phase.PerFetch = {(end.User - start.User) / fetches, (end.Total - start.Total) / fetches};
  }
  ::pclose(pipe);
  return phase;
}

int Run(int fetches) {
  TTestAuthority authority;
  if (!authority.Ok) {
    std::fprintf(stderr, "cannot make the test authority with openssl\n");
    return 2;
  }
  ::setenv("SSL_CERT_FILE", authority.Path("ca.pem").c_str(), 1);
  ::setenv("SSL_CERT_DIR", authority.Path("no-such-folder").c_str(), 1);
  const TPhase full = RunPhase(authority, "fresh", fetches);
  const TPhase resumed = RunPhase(authority, "serve", fetches);
  const TPhase resumed12 = RunPhase(authority, "serve12", fetches);
  if (!full.Ok || !resumed.Ok || !resumed12.Ok) return 1;
  if (full.Resumed != 0 || resumed.Resumed != fetches || resumed12.Resumed != fetches) {
    std::fprintf(stderr, "resumed %d of %d without tickets, %d and %d of %d with\n", full.Resumed, fetches, resumed.Resumed,
                 resumed12.Resumed, fetches);
    return 1;
  }
  const auto report = [](const char* name, const TPhase& phase) {
    std::printf("figure: tls.%s_user_cpu_per_delivery = %.3f ms (target none)\n", name, phase.PerFetch.User * 1e3);
    std::printf("figure: tls.%s_cpu_per_delivery = %.3f ms (target none)\n", name, phase.PerFetch.Total * 1e3);
  };
  report("full", full);
  report("resumed", resumed);
  report("resumed12", resumed12);
  return 0;
}

} // namespace
} // namespace relaybox

int main(int argc, char** argv) {
  int fetches = 200;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fetches") == 0 && i + 1 < argc) {
      fetches = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: relaybox_tls_bench [--fetches N]\n");
      return 2;
    }
  }
  if (fetches < 1 || fetches > relaybox::MaxFetches) {
    std::fprintf(stderr, "--fetches takes 1 to %d\n", relaybox::MaxFetches);
    return 2;
  }
  return relaybox::Run(fetches);
}
