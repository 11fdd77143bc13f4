#pragma once

#include <memory>
#include <string>

#include "core/envelope/QoMessage.h"

namespace velbor {

class ZMQContext;
class ZMQSocket;

// One request to another device: a fresh ZeroMQ context with one I/O thread and a REQ socket
// connected to the device's request endpoint, both living exactly as long as this object.
// Whatever happens, the socket is closed and the context terminated when it goes.
class QoRequestSocket {
 public:
  enum class Outcome { kReply, kSendError, kPollError, kTimeout };
  struct Result {
    Outcome outcome;
    QoMessage::Ptr reply;  // set only with kReply
  };

  // Raises for an endpoint that is not "tcp://", and what the socket layer raises (a malformed
  // endpoint), leaving nothing open.
  QoRequestSocket(const std::string& endpoint, int lingerMs);
  ~QoRequestSocket();
  QoRequestSocket(const QoRequestSocket&) = delete;
  QoRequestSocket& operator=(const QoRequestSocket&) = delete;

  // Sends the sealed message and waits at most `waitMs` for one reply, which is opened with
  // this device's key. Raises what opening the reply raises (a refused envelope). A REQ
  // socket takes one exchange: call it once.
  Result exchange(QoMessage& message, int waitMs);

 private:
  void close() noexcept;

  std::shared_ptr<ZMQContext> context_;
  std::shared_ptr<ZMQSocket> socket_;
};

}  // namespace velbor
