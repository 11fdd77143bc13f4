#include "platform/NetworkReachability.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velbor {

NetworkReachability::NetworkReachability() {
  fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd_ < 0) return;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

NetworkReachability::~NetworkReachability() {
  if (fd_ >= 0) ::close(fd_);
}

void NetworkReachability::update() {
  char buffer[8192];
  while (fd_ >= 0 && ::recv(fd_, buffer, sizeof buffer, 0) > 0) {
  }
}

uint32_t NetworkReachability::flags() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return 0;
  uint32_t result = 0;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) && (entry->ifa_flags & IFF_RUNNING)) {
      result = kReachable;
      break;
    }
  }
  ::freeifaddrs(list);
  return result;
}

}  // namespace velbor
