#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace relaybox {

// Whether the text is an IPv4 address in dotted form: four decimal octets of at most 255,
// leading and trailing blanks allowed.
bool IsDottedIPv4(std::string_view s);

// Whether the text is an IPv6 address in its text form ("::1", "2001:db8::7", "::ffff:1.2.3.4"),
// without brackets, zone or blanks.
bool IsIPv6Literal(std::string_view s);

// An IPv4 or IPv6 address with its port, as connect and bind take it.
struct TSocketAddress {
  sockaddr_storage Storage{};
  socklen_t Length = 0;

  int Family() const { return Storage.ss_family; }
  const sockaddr* Data() const { return reinterpret_cast<const sockaddr*>(&Storage); }
  sockaddr* Data() { return reinterpret_cast<sockaddr*>(&Storage); }
  std::uint16_t Port() const;  // host byte order
  void SetPort(std::uint16_t port);
};

// The address of an IPv6 text, a dotted IPv4 text (as ResolveHost reads it) or a host name's
// first address in the resolver's order, with port 0. A host name is looked up at once and
// blocks. Throws ESocketException.
TSocketAddress ResolveAddress(const std::string& s);

// The IPv4 address of a dotted text or host name, in network byte order. A host name is
// looked up at once and blocks. Throws ESocketException.
std::uint32_t ResolveHost(const std::string& s);

// The port number of a decimal text or service name for the protocol, in host byte order.
// Throws ESocketException.
std::uint16_t ResolvePort(const std::string& port, const std::string& proto);

// The protocol number of a decimal text or protocol name. Throws ESocketException.
int ResolveProto(const std::string& proto);

} // namespace relaybox
