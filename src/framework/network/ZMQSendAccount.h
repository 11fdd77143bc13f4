#pragma once

#include <cstddef>

namespace velbor {

// Counts the bytes of frames handed to ZeroMQ to send that ZeroMQ still holds: a frame
// counts from the moment it is handed over until ZeroMQ has written it to the connection,
// or dropped it with its connection or socket. ZeroMQ bounds its send queues by message
// count only; this is how a sender learns how many bytes wait for a peer that does not read.
class ZMQSendAccount {
 public:
  virtual ~ZMQSendAccount() = default;
  // On the sending thread, before ZeroMQ has the frame.
  virtual void handedOver(size_t bytes) noexcept = 0;
  // Exactly once per frame handed over, on whichever thread lets go of it (a ZeroMQ I/O
  // thread, or the sender's).
  virtual void released(size_t bytes) noexcept = 0;
};

}  // namespace velbor
