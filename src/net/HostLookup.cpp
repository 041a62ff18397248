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

namespace {

// Runs getaddrinfo for `host` with `family` and `flags` and hands each address found to
// `take`, in the resolver's order. Returns 0 or the socket error code of the failure.
template <typename TTake>
int Lookup(const std::string& host, int family, int flags, TTake take) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  const int savedErrno = errno;
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
  if (result != 0) return GaiToSocketError(result, savedErrno);
  for (const addrinfo* info = list.get(); info != nullptr; info = info->ai_next) {
    if (info->ai_addr != nullptr) take(*info);
  }
  return 0;
}

template <typename T>
void AddOnce(std::vector<T>& into, const T& value) {
  if (std::find(into.begin(), into.end(), value) == into.end()) into.push_back(value);
}

} // namespace

int LookupIPv4(const std::string& host, std::vector<std::uint32_t>& addresses) {
  return Lookup(host, AF_INET, 0, [&](const addrinfo& info) {
    if (info.ai_family == AF_INET) AddOnce(addresses, reinterpret_cast<const sockaddr_in*>(info.ai_addr)->sin_addr.s_addr);
  });
}

// Without a configured address of a family its addresses could only fail, one by one.
int LookupAddresses(const std::string& host, std::vector<std::string>& addresses) {
  return Lookup(host, AF_UNSPEC, AI_ADDRCONFIG, [&](const addrinfo& info) {
    const void* address = nullptr;
    if (info.ai_family == AF_INET) {
      address = &reinterpret_cast<const sockaddr_in*>(info.ai_addr)->sin_addr;
    } else if (info.ai_family == AF_INET6) {
      // A scoped (link-local) address needs its interface, which the text would lose.
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(info.ai_addr);
      if (in6->sin6_scope_id != 0) return;
      address = &in6->sin6_addr;
    } else {
      return;
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(info.ai_family, address, text, sizeof text) != nullptr) AddOnce(addresses, std::string(text));
  });
}

} // namespace relaybox
