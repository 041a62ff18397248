#include "net/LocalAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <memory>

namespace relaybox {

std::string LastIPv4Address(const addrinfo* list) {
  std::string result;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
    std::array<char, INET_ADDRSTRLEN> dotted{};
    const auto* in = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
    if (::inet_ntop(AF_INET, &in->sin_addr, dotted.data(), dotted.size())) result = dotted.data();
  }
  return result;
}

std::string LocalAddress() {
  std::array<char, 128> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) return {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.data(), nullptr, &hints, &found) != 0) return {};
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
  return LastIPv4Address(list.get());
}

} // namespace relaybox
