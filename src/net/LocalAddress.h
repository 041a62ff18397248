#pragma once

#include <netdb.h>

#include <string>

namespace relaybox {

// The dotted form of the last IPv4 address in a resolver result; empty when it has none.
std::string LastIPv4Address(const addrinfo* list);

// This computer's address: the last IPv4 address its host name resolves to, or empty when
// the name cannot be resolved.
std::string LocalAddress();

} // namespace relaybox
