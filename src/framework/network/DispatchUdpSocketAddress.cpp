#include "framework/network/DispatchUdpSocket.h"

#include <cstring>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/Dispatch.h"

namespace velbor {

// ---- addresses ----

std::string DispatchUdpSocket::address4(const in_addr& addr, uint16_t port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  in.sin_addr = addr;
  return bytesOf(&in, sizeof in);
}

std::string DispatchUdpSocket::address6(const in6_addr& addr, uint16_t port) {
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(port);
  in6.sin6_addr = addr;
  return bytesOf(&in6, sizeof in6);
}

void DispatchUdpSocket::asyncResolveHost(const std::string& host, uint16_t port, ResolveCompletion completion) {
  auto queue = socketQueue_;
  if (host.empty()) {
    queue->async([completion = std::move(completion)] { completion({}, badParamError(kNilHost)); });
    return;
  }
  DispatchQueue::globalQueue()->async([host, port, queue, completion = std::move(completion)]() mutable {
    std::vector<Bytes> addresses;
    std::optional<DispatchUdpSocketError> error;
    if (host == "localhost" || host == "loopback") {
      in_addr loopback4{htonl(INADDR_LOOPBACK)};
      addresses.push_back(address4(loopback4, port));
      addresses.push_back(address6(in6addr_loopback, port));
    } else {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_DGRAM;
      hints.ai_protocol = IPPROTO_UDP;
      addrinfo* results = nullptr;
      int gai = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &results);
      if (gai != 0) {
        error = gaiError(gai);
      } else {
        for (addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
          if (entry->ai_family == AF_INET || entry->ai_family == AF_INET6) {
            addresses.push_back(bytesOf(entry->ai_addr, entry->ai_addrlen));
          }
        }
        freeaddrinfo(results);
        if (addresses.empty()) error = gaiError(EAI_FAIL);
      }
    }
    queue->async([completion = std::move(completion), addresses = std::move(addresses), error = std::move(error)] {
      completion(addresses, error);
    });
  });
}

int DispatchUdpSocket::getAddress(Bytes* addressPtr, DispatchUdpSocketError* errorPtr,
                                  const std::vector<Bytes>& addresses) {
  bool has4 = false;
  bool has6 = false;
  for (const auto& address : addresses) {
    int family = familyFromAddress(address);
    has4 |= family == AF_INET;
    has6 |= family == AF_INET6;
  }
  if ((config_ & kIPv4Disabled) && !has6) {
    return refuse(errorPtr, otherError("IPv4 has been disabled and DNS lookup found no IPv6 address(es).")), 0;
  }
  if ((config_ & kIPv6Disabled) && !has4) {
    return refuse(errorPtr, otherError("IPv6 has been disabled and DNS lookup found no IPv4 address(es).")), 0;
  }
  if ((flags_ & kIPv4Deactivated) && !has6) {
    return refuse(errorPtr, otherError("IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 "
                                       "address(es).")),
           0;
  }
  if ((flags_ & kIPv6Deactivated) && !has4) {
    return refuse(errorPtr, otherError("IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 "
                                       "address(es).")),
           0;
  }
  // A family this socket cannot use is passed over, so a look-up that also found the
  // other family never picks an address no descriptor can reach.
  bool usable4 = !(config_ & kIPv4Disabled) && !(flags_ & kIPv4Deactivated);
  bool usable6 = !(config_ & kIPv6Disabled) && !(flags_ & kIPv6Deactivated);
  const Bytes* first4 = nullptr;
  const Bytes* first6 = nullptr;
  bool ipv4First = false;
  for (const auto& address : addresses) {
    int family = familyFromAddress(address);
    if (family == AF_INET && usable4 && !first4) {
      first4 = &address;
      if (!first6) ipv4First = true;
    } else if (family == AF_INET6 && usable6 && !first6) {
      first6 = &address;
    }
  }
  bool useIPv4;
  if (!first6) {
    useIPv4 = first4 != nullptr;
  } else {
    useIPv4 = first4 && ((config_ & kPreferIPv4) || (!(config_ & kPreferIPv6) && ipv4First));
  }
  if (useIPv4) {
    if (addressPtr) *addressPtr = *first4;
    return AF_INET;
  }
  if (first6) {
    if (addressPtr) *addressPtr = *first6;
    return AF_INET6;
  }
  return refuse(errorPtr, otherError("DNS lookup found no usable address(es).")), 0;
}

void DispatchUdpSocket::convertInterfaceDescription(const std::string& interface, uint16_t port, Bytes* address4Ptr,
                                                    Bytes* address6Ptr) {
  Bytes result4;
  Bytes result6;
  if (interface.empty()) {
    result4 = address4(in_addr{htonl(INADDR_ANY)}, port);
    result6 = address6(in6addr_any, port);
  } else if (interface == "localhost" || interface == "loopback") {
    result4 = address4(in_addr{htonl(INADDR_LOOPBACK)}, port);
    result6 = address6(in6addr_loopback, port);
  } else {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
      for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) continue;
        if (entry->ifa_addr->sa_family == AF_INET && result4.empty()) {
          auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
          char text[INET_ADDRSTRLEN] = {};
          inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
          if (interface == entry->ifa_name || interface == text) result4 = address4(in->sin_addr, port);
        } else if (entry->ifa_addr->sa_family == AF_INET6 && result6.empty()) {
          auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
          char text[INET6_ADDRSTRLEN] = {};
          inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
          if (interface == entry->ifa_name || interface == text) {
            sockaddr_in6 copy = *in6;
            copy.sin6_port = htons(port);
            result6 = bytesOf(&copy, sizeof copy);
          }
        }
      }
      freeifaddrs(list);
    }
  }
  if (address4Ptr) *address4Ptr = result4;
  if (address6Ptr) *address6Ptr = result6;
}

void DispatchUdpSocket::convertNumericHost(const std::string& numericHost, uint16_t port, Bytes* address4Ptr,
                                           Bytes* address6Ptr) {
  Bytes result4;
  Bytes result6;
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* results = nullptr;
  if (!numericHost.empty() && getaddrinfo(numericHost.c_str(), std::to_string(port).c_str(), &hints, &results) == 0) {
    for (addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
      if (entry->ai_family == AF_INET && result4.empty()) result4 = bytesOf(entry->ai_addr, entry->ai_addrlen);
      if (entry->ai_family == AF_INET6 && result6.empty()) result6 = bytesOf(entry->ai_addr, entry->ai_addrlen);
    }
    freeaddrinfo(results);
  }
  if (address4Ptr) *address4Ptr = result4;
  if (address6Ptr) *address6Ptr = result6;
}

bool DispatchUdpSocket::isConnectedToAddress(const Bytes& address) {
  int family = familyFromAddress(address);
  if (family == 0 || family != cachedConnectedFamily_) return false;
  if (family == AF_INET) {
    auto a = structOf<sockaddr_in>(address);
    auto b = structOf<sockaddr_in>(cachedConnectedAddress_);
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
  }
  auto a = structOf<sockaddr_in6>(address);
  auto b = structOf<sockaddr_in6>(cachedConnectedAddress_);
  return std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0 && a.sin6_port == b.sin6_port;
}

unsigned DispatchUdpSocket::indexOfInterfaceAddr6(const Bytes& address) {
  if (address.size() != sizeof(sockaddr_in6)) return 0;
  auto wanted = structOf<sockaddr_in6>(address);
  unsigned index = 0;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6) continue;
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
    if (std::memcmp(&in6->sin6_addr, &wanted.sin6_addr, sizeof wanted.sin6_addr) == 0) {
      index = if_nametoindex(entry->ifa_name);
      break;
    }
  }
  freeifaddrs(list);
  return index;
}

// ---- address helpers ----

std::string DispatchUdpSocket::hostFromAddress(const Bytes& address) {
  std::string host;
  getHost(&host, nullptr, nullptr, address);
  return host;
}

uint16_t DispatchUdpSocket::portFromAddress(const Bytes& address) {
  uint16_t port = 0;
  getHost(nullptr, &port, nullptr, address);
  return port;
}

int DispatchUdpSocket::familyFromAddress(const Bytes& address) {
  int family = 0;
  getHost(nullptr, nullptr, &family, address);
  return family;
}

bool DispatchUdpSocket::isIPv4Address(const Bytes& address) { return familyFromAddress(address) == AF_INET; }

bool DispatchUdpSocket::isIPv6Address(const Bytes& address) { return familyFromAddress(address) == AF_INET6; }

bool DispatchUdpSocket::getHost(std::string* hostPtr, uint16_t* portPtr, const Bytes& address) {
  return getHost(hostPtr, portPtr, nullptr, address);
}

bool DispatchUdpSocket::getHost(std::string* hostPtr, uint16_t* portPtr, int* familyPtr, const Bytes& address) {
  sa_family_t family = 0;
  if (address.size() >= sizeof family)
    std::memcpy(&family, address.data() + offsetof(sockaddr, sa_family), sizeof family);
  std::string host;
  uint16_t port = 0;
  int result = 0;
  if (family == AF_INET && address.size() >= sizeof(sockaddr_in)) {
    auto in = structOf<sockaddr_in>(address);
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &in.sin_addr, text, sizeof text)) host = text;
    port = ntohs(in.sin_port);
    result = AF_INET;
  } else if (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
    auto in6 = structOf<sockaddr_in6>(address);
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text)) host = text;
    port = ntohs(in6.sin6_port);
    result = AF_INET6;
  }
  if (hostPtr) *hostPtr = host;
  if (portPtr) *portPtr = port;
  if (familyPtr) *familyPtr = result;
  return result != 0;
}

}  // namespace velbor
