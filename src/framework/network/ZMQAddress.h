#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velbor {

// Socket addresses as text, and the local IPv4 interfaces with their netmasks and
// broadcast addresses.
class ZMQAddress {
 public:
  ZMQAddress() = default;
  // From the bytes of a socket address (sockaddr_in or sockaddr_in6); an IPv4-mapped or
  // IPv4-compatible IPv6 address reads as its IPv4 address.
  explicit ZMQAddress(std::string_view socketAddress);

  void convertAddressForAddress(std::string_view socketAddress);

  // One entry per IPv4 address of the local interfaces, in the system's order, loopback
  // included; empty when the list cannot be read.
  static std::vector<std::shared_ptr<ZMQAddress>> getIpAddresses();
  // The distinct broadcast addresses of `entries`, in order, without loopback ("127."),
  // the unset 0.0.0.0 and entries that have none.
  static std::vector<std::string> broadcastAddressesOf(const std::vector<std::shared_ptr<ZMQAddress>>& entries);
  // broadcastAddressesOf(getIpAddresses()): where a LAN broadcast goes.
  static std::vector<std::string> getBroadcastAddresses();

  std::string description() const;

  std::optional<std::string> ipAddrV4;
  std::optional<std::string> port;
  std::optional<std::string> inetAddress;
  std::optional<std::string> inetMask;
  std::optional<std::string> inetBroadcastAddress;
};

}  // namespace velbor
