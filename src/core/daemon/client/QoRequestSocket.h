#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/envelope/QoMessage.h"

namespace velbor {

class QoDevice;
class ZMQContext;
class ZMQSocket;

// One request to another device: a fresh ZeroMQ context with one I/O thread and a REQ socket
// connected to the device's request endpoint, both living exactly as long as this object.
// Whatever happens, the socket is closed and the context terminated when it goes.
//
// The endpoint comes from a datagram anyone can send, and ZeroMQ keeps every frame of a
// reply that has not ended yet, however many: the wait ends as soon as the connection has
// brought more than any reply of the protocol can be. Within that, a host sending a message
// of many tiny frames makes the socket hold several times what it sent, for the wait at most.
class QoRequestSocket {
 public:
  enum class Outcome { kReply, kSendError, kPollError, kTimeout };
  struct Result {
    Outcome outcome;
    QoMessage::Ptr reply;  // set only with kReply
  };
  // What the connections of one exchange may bring: the largest message the socket layer
  // takes (a find page of 10,000 records, a file part, far below it) with its frames' heads.
  static constexpr uint64_t kMaxReplyWireBytes = (64 + 2) * 1024 * 1024;
  // How often the bytes brought are looked at while waiting.
  static constexpr int kWatchSliceMs = 50;

  // A request to `sentTo` at its `endpoint`, whose reply is taken only when `sentTo` signed it
  // (an unsigned error reply only fails the request). Raises for no device, an endpoint that
  // is not "tcp://", and what the socket layer raises (a malformed endpoint), leaving
  // nothing open.
  QoRequestSocket(std::shared_ptr<QoDevice> sentTo, const std::string& endpoint, int lingerMs);
  ~QoRequestSocket();
  QoRequestSocket(const QoRequestSocket&) = delete;
  QoRequestSocket& operator=(const QoRequestSocket&) = delete;

  // Sends the sealed message and waits at most `waitMs` for one reply, which is opened with
  // this device's key. Raises what opening the reply raises (a refused envelope, a reply the
  // device asked did not sign). A REQ socket takes one exchange: call it once. A connection
  // that brings more than kMaxReplyWireBytes without a whole reply ends the wait as kTimeout.
  Result exchange(QoMessage& message, int waitMs);

 private:
  void close() noexcept;
  void takeMonitorEvents();
  uint64_t bytesBrought();

  // The uuid of the device asked, the only one whose signed reply is taken.
  std::string sentToUuid_;
  std::shared_ptr<ZMQContext> context_;
  std::shared_ptr<ZMQSocket> socket_;
  // The connections the REQ socket makes, as ZeroMQ reports them.
  std::shared_ptr<ZMQSocket> monitor_;
  std::string endpoint_;
  int connectionFd_ = -1;
  std::string connectionPeer_;
  uint64_t connectionBytes_ = 0;
  // Brought by earlier connections of this exchange.
  uint64_t earlierBytes_ = 0;
};

}  // namespace velbor
