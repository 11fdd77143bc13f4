#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "framework/network/ZMQAddress.h"
#include "support/InterfaceEntry.h"

namespace velbor {
namespace {

template <typename T>
std::string bytesOf(const T& value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string address6(const char* text, uint16_t port) {
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(port);
  inet_pton(AF_INET6, text, &in6.sin6_addr);
  return bytesOf(in6);
}

TEST(ZMQAddressTest, SocketAddressesAsText) {
  ZMQAddress mapped(address6("::ffff:192.168.1.20", 8848));
  EXPECT_EQ(mapped.ipAddrV4, "192.168.1.20");
  EXPECT_EQ(mapped.port, "8848");

  ZMQAddress compatible(address6("::10.0.0.7", 1));
  EXPECT_EQ(compatible.ipAddrV4, "10.0.0.7");

  ZMQAddress loopback6(address6("::1", 9000));
  EXPECT_EQ(loopback6.ipAddrV4, "::1");
  EXPECT_EQ(loopback6.port, "9000");

  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(5555);
  inet_pton(AF_INET, "10.1.2.3", &in.sin_addr);
  ZMQAddress plain(bytesOf(in));
  EXPECT_EQ(plain.ipAddrV4, "10.1.2.3");
  EXPECT_EQ(plain.port, "5555");

  // Too short for its family, or no bytes at all: no texts.
  EXPECT_FALSE(ZMQAddress(bytesOf(in).substr(0, 8)).ipAddrV4.has_value());
  EXPECT_FALSE(ZMQAddress(address6("::ffff:1.2.3.4", 1).substr(0, 20)).ipAddrV4.has_value());
  EXPECT_FALSE(ZMQAddress(std::string()).port.has_value());
}

std::shared_ptr<ZMQAddress> entry(const char* address, const char* broadcast) {
  return test::interfaceEntry(address, broadcast ? std::optional<std::string>(broadcast) : std::nullopt);
}

TEST(ZMQAddressTest, BroadcastAddressesSkipLoopbackAndDuplicates) {
  std::vector<std::shared_ptr<ZMQAddress>> entries = {
      entry("127.0.0.1", "127.255.255.255"),  entry("192.168.1.20", "192.168.1.255"),
      entry("192.168.1.30", "192.168.1.255"), entry("10.0.0.1", nullptr),
      entry("10.0.1.1", "0.0.0.0"),           entry("10.9.0.2", "10.9.0.255")};
  EXPECT_EQ(ZMQAddress::broadcastAddressesOf(entries), (std::vector<std::string>{"192.168.1.255", "10.9.0.255"}));
  EXPECT_TRUE(ZMQAddress::broadcastAddressesOf({entries[0]}).empty());
  EXPECT_EQ(entries[1]->description(), "192.168.1.20 255.255.255.0 b:192.168.1.255");
}

TEST(ZMQAddressTest, ThisMachinesInterfaces) {
  auto entries = ZMQAddress::getIpAddresses();
  bool sawLoopback = false;
  for (const auto& address : entries) {
    ASSERT_TRUE(address->inetAddress.has_value());
    in_addr parsed;
    EXPECT_EQ(inet_pton(AF_INET, address->inetAddress->c_str(), &parsed), 1) << address->description();
    EXPECT_FALSE(address->ipAddrV4.has_value());
    if (*address->inetAddress == "127.0.0.1") {
      sawLoopback = true;
      EXPECT_EQ(address->inetMask, "255.0.0.0");
    }
  }
  EXPECT_TRUE(sawLoopback);
  auto broadcasts = ZMQAddress::getBroadcastAddresses();
  for (const auto& broadcast : broadcasts) EXPECT_NE(broadcast.rfind("127.", 0), 0u) << broadcast;
  EXPECT_EQ(broadcasts, ZMQAddress::broadcastAddressesOf(entries));
}

}  // namespace
}  // namespace velbor
