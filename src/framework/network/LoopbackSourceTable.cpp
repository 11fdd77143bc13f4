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
  std::lock_guard lock(lock_);
  auto known = hosts_.find(host);
  if (known != hosts_.end()) {
    ++known->second.connections;
    return addressOf(known->second.index);
  }
  uint32_t index;
  if (!freed_.empty()) {
    index = freed_.back();
    freed_.pop_back();
  } else if (unused_ < kHosts) {
    index = unused_++;
  } else {
    return std::nullopt;
  }
  hosts_[host] = Slot{index, 1};
  owners_[index] = host;
  return addressOf(index);
}

void LoopbackSourceTable::give(const std::string& host) {
  std::lock_guard lock(lock_);
  auto known = hosts_.find(host);
  if (known == hosts_.end() || --known->second.connections > 0) return;
  owners_.erase(known->second.index);
  freed_.push_back(known->second.index);
  hosts_.erase(known);
}

std::optional<std::string> LoopbackSourceTable::hostOf(const std::string& source) const {
  in_addr address{};
  if (::inet_pton(AF_INET, source.c_str(), &address) != 1) return std::nullopt;
  const uint32_t value = ntohl(address.s_addr);
  if (value < kFirstAddress || value - kFirstAddress >= kHosts) return std::nullopt;
  std::lock_guard lock(lock_);
  auto owner = owners_.find(value - kFirstAddress);
  if (owner == owners_.end()) return std::nullopt;
  return owner->second;
}

}  // namespace velbor
