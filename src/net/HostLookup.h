#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace relaybox {

// Blocking lookup of a host's IPv4 addresses (network byte order, in the resolver's order,
// duplicates removed). Returns 0 or the socket error code of the failure.
int LookupIPv4(const std::string& host, std::vector<std::uint32_t>& addresses);

// Blocking lookup of a host's IPv4 and IPv6 addresses as numeric texts ("192.0.2.1", "::1"),
// in the resolver's order, duplicates removed; a family the machine has no address of is
// left out. Returns 0 or the socket error code of the failure.
int LookupAddresses(const std::string& host, std::vector<std::string>& addresses);

} // namespace relaybox
