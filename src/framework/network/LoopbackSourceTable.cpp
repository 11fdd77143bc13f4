#include "framework/network/LoopbackSourceTable.h"

#include <arpa/inet.h>

namespace velbor {

namespace {

// 127.1.0.0/16: off the 127.0.0.x addresses that local programs and tests connect from.
constexpr uint32_t kFirstAddress = 0x7f010000;

}  // namespace

in_addr LoopbackSourceTable::addressOf(uint32_t index) {
  in_addr address{};
  address.s_addr = htonl(kFirstAddress + index);
  return address;
}

std::optional<in_addr> LoopbackSourceTable::take(const std::string& host) {
  auto known = hosts_.find(host);
  if (known != hosts_.end()) {
    ++known->second.connections;
    return addressOf(known->second.index);
  }
  // An address let go of is taken again as late as can be: what the router still counts for
  // the host that had it is gone by then.
  uint32_t index;
  if (unused_ < kHosts) {
    index = unused_++;
  } else if (!freed_.empty()) {
    index = freed_.front();
    freed_.pop_front();
  } else {
    return std::nullopt;
  }
  hosts_[host] = Slot{index, 1};
  return addressOf(index);
}

void LoopbackSourceTable::give(const std::string& host) {
  auto known = hosts_.find(host);
  if (known == hosts_.end() || --known->second.connections > 0) return;
  freed_.push_back(known->second.index);
  hosts_.erase(known);
}

}  // namespace velbor
