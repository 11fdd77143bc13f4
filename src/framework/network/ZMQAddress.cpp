#include "framework/network/ZMQAddress.h"

#include <algorithm>
#include <cstring>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/QoLog.h"

namespace velbor {

namespace {

std::optional<std::string> dottedText(const sockaddr* address) {
  if (address == nullptr || address->sa_family != AF_INET) return std::nullopt;
  char text[INET_ADDRSTRLEN];
  const auto* in = reinterpret_cast<const sockaddr_in*>(address);
  if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) return std::nullopt;
  return std::string(text);
}

}  // namespace

ZMQAddress::ZMQAddress(std::string_view socketAddress) { convertAddressForAddress(socketAddress); }

void ZMQAddress::convertAddressForAddress(std::string_view socketAddress) {
  sockaddr_storage storage{};
  if (socketAddress.size() < sizeof(sa_family_t)) return;
  std::memcpy(&storage, socketAddress.data(), std::min(socketAddress.size(), sizeof storage));
  socklen_t length = 0;
  if (storage.ss_family == AF_INET6 && socketAddress.size() >= sizeof(sockaddr_in6)) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    const uint8_t* bytes = in6->sin6_addr.s6_addr;
    static constexpr uint8_t kZero[12] = {};
    bool mapped = std::memcmp(bytes, kZero, 10) == 0 && bytes[10] == 0xFF && bytes[11] == 0xFF;
    uint32_t tail;
    std::memcpy(&tail, bytes + 12, 4);
    bool compatible = std::memcmp(bytes, kZero, 12) == 0 && ntohl(tail) != 0 && ntohl(tail) != 1;
    if (mapped || compatible) {
      sockaddr_in in{};
      in.sin_family = AF_INET;
      in.sin_port = in6->sin6_port;
      std::memcpy(&in.sin_addr, bytes + 12, 4);
      storage = {};
      std::memcpy(&storage, &in, sizeof in);
      length = sizeof(sockaddr_in);
    } else {
      length = sizeof(sockaddr_in6);
    }
  } else if (storage.ss_family == AF_INET && socketAddress.size() >= sizeof(sockaddr_in)) {
    length = sizeof(sockaddr_in);
  } else {
    return;
  }
  char host[NI_MAXHOST];
  char service[32];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, host, sizeof host, service, sizeof service,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return;
  }
  ipAddrV4 = host;
  port = service;
}

std::vector<std::shared_ptr<ZMQAddress>> ZMQAddress::getIpAddresses() {
  std::vector<std::shared_ptr<ZMQAddress>> result;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return result;
  try {
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
      if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
      auto address = std::make_shared<ZMQAddress>();
      address->inetAddress = dottedText(entry->ifa_addr);
      address->inetMask = dottedText(entry->ifa_netmask);
      // The broadcast address, or the peer's on a point-to-point link; absent when the
      // interface has neither.
      address->inetBroadcastAddress = dottedText(entry->ifa_ifu.ifu_broadaddr);
      result.push_back(std::move(address));
    }
  } catch (const std::exception& e) {
    QoLog("{}", e.what());
  }
  freeifaddrs(list);
  return result;
}

std::vector<std::string> ZMQAddress::broadcastAddressesOf(const std::vector<std::shared_ptr<ZMQAddress>>& entries) {
  std::vector<std::string> addresses;
  for (const auto& entry : entries) {
    if (!entry || !entry->inetBroadcastAddress) continue;
    const std::string& broadcast = *entry->inetBroadcastAddress;
    // 0.0.0.0 is what an interface without a broadcast address may report; sending
    // there would reach only this host.
    if (broadcast.rfind("127.", 0) == 0 || broadcast == "0.0.0.0") continue;
    if (std::find(addresses.begin(), addresses.end(), broadcast) != addresses.end()) continue;
    addresses.push_back(broadcast);
  }
  return addresses;
}

std::vector<std::string> ZMQAddress::getBroadcastAddresses() { return broadcastAddressesOf(getIpAddresses()); }

std::string ZMQAddress::description() const {
  return fmt::format("{} {} b:{}", inetAddress.value_or("(null)"), inetMask.value_or("(null)"),
                     inetBroadcastAddress.value_or("(null)"));
}

}  // namespace velbor
