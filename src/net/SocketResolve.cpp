#include "net/SocketResolve.h"

#include "net/HostLookup.h"
#include "net/SocketErrors.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <memory>

namespace relaybox {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The decimal number at the start of the text, saturated at INT_MAX.
int LeadingNumber(std::string_view s) {
  int value = 0;
  for (const char c : s) {
    if (!IsDigit(c)) break;
    const int digit = c - '0';
    value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
  }
  return value;
}

} // namespace

bool IsDottedIPv4(std::string_view s) {
  std::size_t i = s.find_first_not_of(' ');
  if (i == std::string_view::npos || s[i] == '.') return false;
  int dots = 0;
  int octet = 0;  // saturates at 256: anything above 255 fails alike
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (IsDigit(c)) {
      octet = std::min(octet * 10 + (c - '0'), 256);
    } else if (c == '.') {
      if (++dots > 3 || octet > 255 || i + 1 == s.size() || !IsDigit(s[i + 1])) return false;
      octet = 0;
    } else {
      if (s.find_first_not_of(' ', i) != std::string_view::npos) return false;
      break;
    }
  }
  return dots == 3 && octet <= 255;
}

bool IsIPv6Literal(std::string_view s) {
  if (s.empty() || s.size() >= INET6_ADDRSTRLEN || s.find(':') == std::string_view::npos) return false;
  in6_addr address{};
  return ::inet_pton(AF_INET6, std::string(s).c_str(), &address) == 1;
}

std::uint16_t TSocketAddress::Port() const {
  if (Family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&Storage)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&Storage)->sin_port);
}

void TSocketAddress::SetPort(std::uint16_t port) {
  if (Family() == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&Storage)->sin6_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in*>(&Storage)->sin_port = htons(port);
  }
}

TSocketAddress ResolveAddress(const std::string& s) {
  std::string text = s;
  if (!IsIPv6Literal(s) && !IsDottedIPv4(s) && !s.empty()) {
    std::vector<std::string> addresses;
    const int error = LookupAddresses(s, addresses);
    if (error != 0 || addresses.empty()) {
      throw ESocketException("Winsock Resolve Host: Cannot convert host address '" + s + "' - " +
                             SocketErrorMessage(error != 0 ? error : WSANO_DATA));
    }
    text = addresses.front();
  }
  TSocketAddress result;
  if (IsIPv6Literal(text)) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&result.Storage);
    in6->sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr);
    result.Length = sizeof(sockaddr_in6);
    return result;
  }
  auto* in = reinterpret_cast<sockaddr_in*>(&result.Storage);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = ResolveHost(text);
  result.Length = sizeof(sockaddr_in);
  return result;
}

std::uint32_t ResolveHost(const std::string& s) {
  if (s.empty()) throw ESocketException("Winsock Resolve Host: '" + s + "' Invalid Hostname.");
  if (IsDottedIPv4(s)) {
    // inet_addr takes no leading blanks, which the dotted form allows.
    const in_addr_t addr = ::inet_addr(s.c_str() + s.find_first_not_of(' '));
    if (addr != INADDR_NONE) return addr;
    if (s == "255.255.255.255") return htonl(INADDR_BROADCAST);
    throw ESocketException("Winsock Resolve Host: '" + s + "' Invalid IP address.");
  }
  std::vector<std::uint32_t> addresses;
  const int error = LookupIPv4(s, addresses);
  if (error == 0 && !addresses.empty()) return addresses.front();
  const int code = error != 0 ? error : WSANO_DATA;
  throw ESocketException("Winsock Resolve Host: Cannot convert host address '" + s + "' - " +
                         SocketErrorMessage(code));
}

std::uint16_t ResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty()) throw ESocketException("Winsock Resolve Port: Invalid Port.");
  if (proto.empty()) throw ESocketException("Winsock Resolve Port: Invalid Proto.");
  if (IsDigit(port[0])) {
    // Digits up to the first non-digit; a number above 65535 keeps its low 16 bits.
    std::uint16_t value = 0;
    for (const char c : port) {
      if (!IsDigit(c)) break;
      value = static_cast<std::uint16_t>(value * 10 + (c - '0'));
    }
    return value;
  }
  servent entry{};
  servent* result = nullptr;
  std::array<char, 4096> scratch{};
  ::getservbyname_r(port.c_str(), proto.c_str(), &entry, scratch.data(), scratch.size(), &result);
  if (result != nullptr) return ntohs(static_cast<std::uint16_t>(result->s_port));
  // The service database gives no reason for a miss; report it as "no data".
  throw ESocketException("Winsock Resolve Port: Cannot convert port '" + port + "' - " +
                         SocketErrorMessage(WSANO_DATA));
}

int ResolveProto(const std::string& proto) {
  if (proto.empty()) throw ESocketException("Winsock Resolve Proto: Invalid Protocol.");
  if (IsDigit(proto[0])) return LeadingNumber(proto);
  const auto isText = [](char c) { return static_cast<unsigned char>(c) >= 33; };
  const auto first = std::find_if(proto.begin(), proto.end(), isText);
  const auto last = std::find_if(proto.rbegin(), proto.rend(), isText).base();
  std::string name;
  for (auto it = first; it < last; ++it) name += (*it >= 'A' && *it <= 'Z') ? char(*it + 32) : *it;
  if (name == "tcp") return IPPROTO_TCP;
  if (name == "udp") return IPPROTO_UDP;
  if (name == "raw") return IPPROTO_RAW;
  protoent entry{};
  protoent* result = nullptr;
  std::array<char, 4096> scratch{};
  ::getprotobyname_r(name.c_str(), &entry, scratch.data(), scratch.size(), &result);
  if (result != nullptr) return result->p_proto;
  // As for services, a miss carries no reason.
  throw ESocketException("Winsock Resolve Proto: Cannot convert protocol '" + proto + "' - " +
                         SocketErrorMessage(WSANO_DATA));
}

} // namespace relaybox
