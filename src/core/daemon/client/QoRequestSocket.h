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
// reply that has not ended yet, however many: the socket's connections go through a frame
// guard that cuts one as soon as it brings a message of more frames or bytes than the reply
// can be, or a second message. What one request makes the device hold is its reply's bound.
class QoRequestSocket {
 public:
  enum class Outcome { kReply, kSendError, kPollError, kTimeout };
  struct Result {
    Outcome outcome;
    QoMessage::Ptr reply;  // set only with kReply
  };
  // The largest reply the socket layer takes (a find page of 10,000 records, a file part, far
  // below it), and its frames: empty delimiter, header, body and user-info.
  static constexpr uint64_t kMaxReplyBytes = 65 * 1024 * 1024;
  static constexpr size_t kMaxReplyFrames = 16;

  // A request to `sentTo` at its `endpoint`, whose reply is taken only when `sentTo` signed it
  // (an unsigned error reply only fails the request). Raises for no device, an endpoint that
  // is not "tcp://", and what the socket layer raises (a malformed endpoint), leaving
  // nothing open. A reply of more than `maxReplyBytes` (bodies of all its frames) cuts its
  // connection.
  QoRequestSocket(std::shared_ptr<QoDevice> sentTo, const std::string& endpoint, int lingerMs,
                  uint64_t maxReplyBytes = kMaxReplyBytes);
  ~QoRequestSocket();
  QoRequestSocket(const QoRequestSocket&) = delete;
  QoRequestSocket& operator=(const QoRequestSocket&) = delete;

  // Sends the sealed message and waits at most `waitMs` for one reply, which is opened with
  // this device's key. Raises what opening the reply raises (a refused envelope, a reply the
  // device asked did not sign). A REQ socket takes one exchange: call it once. A reply beyond
  // the bounds ends the wait as kTimeout.
  Result exchange(QoMessage& message, int waitMs);

 private:
  void close() noexcept;

  // The uuid of the device asked, the only one whose signed reply is taken.
  std::string sentToUuid_;
  std::shared_ptr<ZMQContext> context_;
  std::shared_ptr<ZMQSocket> socket_;
  std::string endpoint_;
};

}  // namespace velbor
