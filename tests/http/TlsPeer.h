#pragma once

#include <stdio.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "TestAuthority.h"

namespace relaybox {

// tls_peer.py (RELAYBOX_TLS_PEER) in one of its modes, started as a child; it ends by itself
// once its connections are done or none came.
class TTlsPeer {
public:
  TTlsPeer(const std::string& mode, const TTestAuthority& authority, const std::string& certificate, int connections = 1) {
    const std::string command = "python3 '" RELAYBOX_TLS_PEER "' " + mode + " '" + authority.Path(certificate) + "' '" +
                                authority.Path("server.key") + "' " + std::to_string(connections);
    FPipe = ::popen(command.c_str(), "r");
    char line[32] = {};
    if (FPipe != nullptr && std::fgets(line, sizeof line, FPipe) != nullptr) FPort.assign(line, std::strcspn(line, "\n"));
  }
  ~TTlsPeer() {
    if (FPipe != nullptr) ::pclose(FPipe);
  }
  TTlsPeer(const TTlsPeer&) = delete;
  TTlsPeer& operator=(const TTlsPeer&) = delete;

  const std::string& Port() const { return FPort; }

private:
  FILE* FPipe = nullptr;
  std::string FPort;
};

} // namespace relaybox
