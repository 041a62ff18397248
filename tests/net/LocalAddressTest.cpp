#include "net/LocalAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <vector>

namespace relaybox {
namespace {

// A resolver result built by hand, one entry per address in the given order.
class TAddressChain {
public:
  explicit TAddressChain(std::initializer_list<const char*> addresses)
      : FAddresses(addresses.size()), FEntries(addresses.size()) {
    std::size_t i = 0;
    for (const char* text : addresses) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&FAddresses[i]);
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&FAddresses[i]);
      const bool isV4 = ::inet_pton(AF_INET, text, &v4->sin_addr) == 1;
      if (!isV4) ::inet_pton(AF_INET6, text, &v6->sin6_addr);
      FAddresses[i].ss_family = isV4 ? AF_INET : AF_INET6;
      FEntries[i].ai_family = FAddresses[i].ss_family;
      FEntries[i].ai_addr = reinterpret_cast<sockaddr*>(&FAddresses[i]);
      if (i > 0) FEntries[i - 1].ai_next = &FEntries[i];
      ++i;
    }
  }
  const addrinfo* Head() const { return FEntries.empty() ? nullptr : FEntries.data(); }

private:
  std::vector<sockaddr_storage> FAddresses;
  std::vector<addrinfo> FEntries;
};

TEST(LocalAddressTest, LastIPv4AddressOfTheList) {
  EXPECT_EQ(LastIPv4Address(nullptr), "");
  EXPECT_EQ(LastIPv4Address(TAddressChain({"::1"}).Head()), "");
  EXPECT_EQ(LastIPv4Address(TAddressChain({"127.0.0.1"}).Head()), "127.0.0.1");
  EXPECT_EQ(LastIPv4Address(TAddressChain({"10.0.0.1", "192.168.17.254", "fe80::1"}).Head()),
            "192.168.17.254");
}

} // namespace
} // namespace relaybox
