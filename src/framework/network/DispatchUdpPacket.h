#pragma once

namespace velbor {

// An entry of a UDP socket's send queue: a datagram or a pending connect.
class DispatchUdpPacket {
 public:
  virtual ~DispatchUdpPacket() = default;
};

}  // namespace velbor
