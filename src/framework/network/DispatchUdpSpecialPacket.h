#pragma once

#include <optional>
#include <string>
#include <vector>

#include "framework/network/DispatchUdpPacket.h"
#include "framework/network/DispatchUdpSocketError.h"

namespace velbor {

// A connect waiting in the send queue, so that it runs in order with the datagrams
// queued before it.
class DispatchUdpSpecialPacket : public DispatchUdpPacket {
 public:
  bool resolveInProgress = false;
  std::vector<std::string> addresses;
  std::optional<DispatchUdpSocketError> error;
};

}  // namespace velbor
