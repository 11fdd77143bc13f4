#include "framework/network/ZMQMessage.h"

#include <cerrno>
#include <chrono>

#include "framework/network/ZMQException.h"
#include "framework/network/ZMQSocket.h"
#include "platform/LogRateLimiter.h"

namespace velbor {

namespace {

// A peer may send oversized messages at will: their log lines are bounded. Never
// destroyed: socket threads may still log during exit.
LogRateLimiter& droppedMessageLog() {
  static auto* limiter = new LogRateLimiter("ZMQMessage: dropped messages", 10, std::chrono::minutes(1));
  return *limiter;
}

struct Drained {
  size_t frames = 0;
  size_t bytes = 0;
};

// The parts of a message arrive together: takes the rest away, or the next receive would
// start in the middle of this message.
Drained drainMessage(ZMQSocket& socket) {
  Drained drained;
  while (socket.msgMore()) {
    try {
      drained.bytes += socket.receiveDataWithFlags(ZMQ_DONTWAIT).size();
      ++drained.frames;
    } catch (const ZMQException&) {
      break;
    }
  }
  return drained;
}

}  // namespace

ZMQMessage ZMQMessage::recvFromSocket(ZMQSocket& socket) {
  return recvFromSocket(socket, static_cast<size_t>(ZMQSocket::kMaxNetworkMessageSize));
}

ZMQMessage ZMQMessage::recvFromSocket(ZMQSocket& socket, size_t maxBytes) {
  ZMQMessage message;
  size_t bytes = 0;
  do {
    std::string frame;
    try {
      frame = socket.receiveDataWithFlags(0);
    } catch (const ZMQException&) {
      drainMessage(socket);
      throw;
    }
    bytes += frame.size();
    if (message.messageQueue_.size() >= ZMQSocket::kMaxMessageFrames || bytes > maxBytes) {
      const size_t kept = message.messageQueue_.size() + 1;
      message.messageQueue_.clear();
      const Drained rest = drainMessage(socket);
      droppedMessageLog().log(
          "ZMQMessage: dropped a message of {} frames and {} bytes on {}, beyond the bound of {} frames or {} bytes",
          kept + rest.frames, bytes + rest.bytes, socket.description(), ZMQSocket::kMaxMessageFrames, maxBytes);
      throw ZMQException(zmq_strerror(EMSGSIZE), EMSGSIZE);
    }
    message.addFrame(std::move(frame));
  } while (socket.msgMore());
  return message;
}

bool ZMQMessage::sendToSocketWithOneFrame(ZMQSocket& socket, const std::string& frame) {
  return socket.sendData(frame, 0);
}

bool ZMQMessage::sendToSocket(ZMQSocket& socket) {
  if (messageQueue_.empty()) return socket.sendData({}, 0);
  while (!messageQueue_.empty()) {
    std::string frame = std::move(messageQueue_.front());
    messageQueue_.pop_front();
    if (!socket.sendFrame(std::move(frame), messageQueue_.empty() ? 0 : ZMQ_SNDMORE)) {
      messageQueue_.clear();
      return false;
    }
  }
  return true;
}

bool ZMQMessage::sendToSocket(ZMQSocket& socket, const std::shared_ptr<ZMQSendAccount>& account) {
  if (messageQueue_.empty()) return socket.sendFrame(std::string(), 0, account);
  while (!messageQueue_.empty()) {
    std::string frame = std::move(messageQueue_.front());
    messageQueue_.pop_front();
    if (!socket.sendFrame(std::move(frame), messageQueue_.empty() ? 0 : ZMQ_SNDMORE, account)) {
      messageQueue_.clear();
      return false;
    }
  }
  return true;
}

void ZMQMessage::addEmptyFrame() { messageQueue_.emplace_back(); }

void ZMQMessage::addFrame(std::string frame) { messageQueue_.push_back(std::move(frame)); }

void ZMQMessage::addZmqMessage(ZMQMessage& other) {
  if (&other == this) return;
  for (auto& frame : other.messageQueue_) messageQueue_.push_back(std::move(frame));
  other.messageQueue_.clear();
}

size_t ZMQMessage::byteSize() const {
  size_t total = 0;
  for (const auto& frame : messageQueue_) total += frame.size();
  return total;
}

std::optional<std::string> ZMQMessage::getNextFrame() {
  if (messageQueue_.empty()) return std::nullopt;
  std::string frame = std::move(messageQueue_.front());
  messageQueue_.pop_front();
  return frame;
}

void ZMQMessage::insertEmptyFrameAtHead() { messageQueue_.emplace_front(); }

void ZMQMessage::insertFrameAtHead(std::string frame) { messageQueue_.push_front(std::move(frame)); }

}  // namespace velbor
