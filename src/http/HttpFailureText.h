#pragma once

#include <string>

#include "http/HttpClient.h"

namespace relaybox {

// A short phrase for how the client's latest request failed ("refused", "unresolvable (Host
// not found)", "reset", "cut short", ...), or "" when its reply arrived whole. An abort reads
// "aborted"; a caller that aborts for a time limit says so itself.
std::string HttpFailureText(const THttpClient& client);

} // namespace relaybox
