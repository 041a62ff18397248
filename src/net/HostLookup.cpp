#include "net/HostLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "net/SocketErrors.h"

namespace relaybox {

int LookupIPv4(const std::string& host, std::vector<std::uint32_t>& addresses) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  const int savedErrno = errno;
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
  if (result != 0) return GaiToSocketError(result, savedErrno);
  for (const addrinfo* info = list.get(); info != nullptr; info = info->ai_next) {
    if (info->ai_family != AF_INET || info->ai_addr == nullptr) continue;
    const std::uint32_t value = reinterpret_cast<const sockaddr_in*>(info->ai_addr)->sin_addr.s_addr;
    if (std::find(addresses.begin(), addresses.end(), value) == addresses.end()) addresses.push_back(value);
  }
  return 0;
}

int LookupAddresses(const std::string& host, std::vector<std::string>& addresses) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  // Without a configured address of a family its addresses could only fail, one by one.
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  const int savedErrno = errno;
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
  if (result != 0) return GaiToSocketError(result, savedErrno);
  for (const addrinfo* info = list.get(); info != nullptr; info = info->ai_next) {
    if (info->ai_addr == nullptr) continue;
    char text[INET6_ADDRSTRLEN] = {};
    const void* address = nullptr;
    if (info->ai_family == AF_INET) {
      address = &reinterpret_cast<const sockaddr_in*>(info->ai_addr)->sin_addr;
    } else if (info->ai_family == AF_INET6) {
      // A scoped (link-local) address needs its interface, which the text would lose.
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(info->ai_addr);
      if (in6->sin6_scope_id != 0) continue;
      address = &in6->sin6_addr;
    } else {
      continue;
    }
    if (::inet_ntop(info->ai_family, address, text, sizeof text) == nullptr) continue;
    if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.emplace_back(text);
  }
  return 0;
}

} // namespace relaybox
