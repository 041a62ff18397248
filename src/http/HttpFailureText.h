#pragma once

#include <chrono>
#include <string>

#include "http/HttpClient.h"

namespace relaybox {

// A short phrase for how the client's latest request failed ("refused", "unresolvable (Host
// not found)", "reset", "cut short", ...), or "" when its reply arrived whole. An abort reads
// "aborted"; a caller that aborts for a time limit says so itself.
std::string HttpFailureText(const THttpClient& client);

// What a TLS failure says: "certificate not trusted (self-signed)", "certificate expired",
// "certificate does not match host example.org", "TLS handshake failed (...)", ...
std::string TlsFailureText(const TTlsError& error);

// What an abort for a time limit of `limit` says: "timed out after 10 s", "... after 0.5 s".
std::string TimedOutText(std::chrono::milliseconds limit);

} // namespace relaybox
