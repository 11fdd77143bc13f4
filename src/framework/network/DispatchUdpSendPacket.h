#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "framework/network/DispatchUdpPacket.h"
#include "framework/network/DispatchUdpSocketError.h"

namespace velbor {

// One datagram waiting in the send queue; touched only on the socket queue.
class DispatchUdpSendPacket : public DispatchUdpPacket {
 public:
  DispatchUdpSendPacket(std::string data, double timeout, int64_t tag)
      : buffer(std::move(data)), timeout(timeout), tag(tag) {}

  std::string buffer;
  double timeout;  // seconds; negative for none
  int64_t tag;
  bool resolveInProgress = false;
  bool filterInProgress = false;
  std::vector<std::string> resolvedAddresses;
  std::optional<DispatchUdpSocketError> resolveError;
  std::string address;
  int addressFamily = 0;
};

}  // namespace velbor
