#pragma once

#include <memory>
#include <optional>
#include <string>

#include "framework/network/ZMQAddress.h"

// Header-only: the support library itself links none of the engine libraries.
namespace velbor::test {

// One entry of the host's interface list, on a /24 network.
inline std::shared_ptr<ZMQAddress> interfaceEntry(const std::string& address, std::optional<std::string> broadcast) {
  auto entry = std::make_shared<ZMQAddress>();
  entry->inetAddress = address;
  entry->inetMask = "255.255.255.0";
  entry->inetBroadcastAddress = std::move(broadcast);
  return entry;
}

}  // namespace velbor::test
