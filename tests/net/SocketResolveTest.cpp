#include "net/SocketResolve.h"

#include "net/SocketErrors.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <utility>

namespace relaybox {
namespace {

std::string FailureText(const std::function<void()>& call) {
  try {
    call();
  } catch (const ESocketException& e) {
    return e.what();
  }
  return "no exception";
}

TEST(SocketResolveTest, DottedIPv4Recognition) {
  const std::pair<const char*, bool> table[] = {
      {"10.1.2.3", true},
      {"0.0.0.0", true},
      {"255.255.255.255", true},
      {" 10.1.2.3  ", true},
      {"10.1.2", false},
      {"10.1.2.300", false},
      {"256.1.1.1", false},
      {"10.1.2.3x", false},
      {"10.1.2.3 x", false},
      {".1.2.3", false},
      {"  .1.2.3", false},
      {"1..2.3", false},
      {"1.2.3.", false},
      {"1.2.3.4.5", false},
      {"1.2. 3.4", false},
      {"1.2.3.99999999999999999999", false},
      {"99999999999999999999.1.2.3", false},
      {"", false},
      {"   ", false},
      {"localhost", false},
  };
  for (const auto& [text, dotted] : table) EXPECT_EQ(IsDottedIPv4(text), dotted) << text;
}

TEST(SocketResolveTest, HostAddresses) {
  EXPECT_EQ(ResolveHost("127.0.0.1"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(ResolveHost(" 10.1.2.3 "), htonl(0x0A010203));
  EXPECT_EQ(ResolveHost("255.255.255.255"), htonl(INADDR_BROADCAST));
  EXPECT_EQ(ResolveHost("localhost"), htonl(INADDR_LOOPBACK));
}

TEST(SocketResolveTest, HostFailures) {
  EXPECT_EQ(FailureText([] { ResolveHost(""); }), "Winsock Resolve Host: '' Invalid Hostname.");
  // Dotted, but a leading zero makes the octet octal and 9 is no octal digit.
  EXPECT_EQ(FailureText([] { ResolveHost("09.1.2.3"); }),
            "Winsock Resolve Host: '09.1.2.3' Invalid IP address.");
  EXPECT_EQ(FailureText([] { ResolveHost(" 255.255.255.255"); }),
            "Winsock Resolve Host: ' 255.255.255.255' Invalid IP address.");
}

TEST(SocketResolveTest, NumericPorts) {
  EXPECT_EQ(ResolvePort("80", "tcp"), 80);
  EXPECT_EQ(ResolvePort("8080abc", "tcp"), 8080);
  EXPECT_EQ(ResolvePort("0", "tcp"), 0);
  EXPECT_EQ(ResolvePort("65535", "tcp"), 65535);
  EXPECT_EQ(ResolvePort("65616", "tcp"), 80);  // 16 bits kept
}

TEST(SocketResolveTest, PortFailures) {
  EXPECT_EQ(FailureText([] { ResolvePort("", "tcp"); }), "Winsock Resolve Port: Invalid Port.");
  EXPECT_EQ(FailureText([] { ResolvePort("80", ""); }), "Winsock Resolve Port: Invalid Proto.");
  EXPECT_EQ(FailureText([] { ResolvePort("no-such-service", "tcp"); }),
            "Winsock Resolve Port: Cannot convert port 'no-such-service' - No Data (#11004)");
  EXPECT_EQ(FailureText([] { ResolvePort(" 80", "tcp"); }),
            "Winsock Resolve Port: Cannot convert port ' 80' - No Data (#11004)");
}

TEST(SocketResolveTest, NamedPorts) {
  if (!std::filesystem::exists("/etc/services")) GTEST_SKIP() << "no service database";
  EXPECT_EQ(ResolvePort("http", "tcp"), 80);
}

TEST(SocketResolveTest, Protocols) {
  const std::pair<const char*, int> table[] = {
      {"tcp", 6}, {" TCP ", 6}, {"\tUdp\n", 17}, {"raw", 255}, {"6", 6}, {"17x", 17},
  };
  for (const auto& [text, number] : table) EXPECT_EQ(ResolveProto(text), number) << text;
  if (std::filesystem::exists("/etc/protocols")) {
    EXPECT_EQ(ResolveProto(" ICMP"), 1);
  }
}

TEST(SocketResolveTest, ProtocolFailures) {
  EXPECT_EQ(FailureText([] { ResolveProto(""); }), "Winsock Resolve Proto: Invalid Protocol.");
  EXPECT_EQ(FailureText([] { ResolveProto("no-such-proto"); }),
            "Winsock Resolve Proto: Cannot convert protocol 'no-such-proto' - No Data (#11004)");
  EXPECT_EQ(FailureText([] { ResolveProto("t cp"); }),
            "Winsock Resolve Proto: Cannot convert protocol 't cp' - No Data (#11004)");
}

} // namespace
} // namespace relaybox
