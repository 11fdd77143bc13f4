#pragma once

#include <cstdint>

namespace velbor {

// Whether the network can be reached, and a descriptor that becomes readable when the
// interfaces or their addresses change (a netlink route socket). The owner polls fd(),
// calls update() when it is readable and reads flags().
class NetworkReachability {
 public:
  static constexpr uint32_t kReachable = 0x02;

  NetworkReachability();
  ~NetworkReachability();
  NetworkReachability(const NetworkReachability&) = delete;
  NetworkReachability& operator=(const NetworkReachability&) = delete;

  // -1 when change notices are not available; flags() still answers.
  int fd() const { return fd_; }
  // Drains pending change notices.
  void update();
  // kReachable while an interface that is up and running has an IPv4 address.
  static uint32_t flags();

 private:
  int fd_ = -1;
};

}  // namespace velbor
