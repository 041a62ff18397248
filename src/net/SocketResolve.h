#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace relaybox {

// Whether the text is an IPv4 address in dotted form: four decimal octets of at most 255,
// leading and trailing blanks allowed.
bool IsDottedIPv4(std::string_view s);

// The IPv4 address of a dotted text or host name, in network byte order. A host name is
// looked up at once and blocks. Throws ESocketException.
std::uint32_t ResolveHost(const std::string& s);

// The port number of a decimal text or service name for the protocol, in host byte order.
// Throws ESocketException.
std::uint16_t ResolvePort(const std::string& port, const std::string& proto);

// The protocol number of a decimal text or protocol name. Throws ESocketException.
int ResolveProto(const std::string& proto);

} // namespace relaybox
