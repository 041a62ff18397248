#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace relaybox {

// Blocking lookup of a host's IPv4 addresses (network byte order, in the resolver's order,
// duplicates removed). Returns 0 or the socket error code of the failure.
int LookupIPv4(const std::string& host, std::vector<std::uint32_t>& addresses);

} // namespace relaybox
