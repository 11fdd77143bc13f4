#include "framework/network/ZMQMessage.h"

#include "framework/network/ZMQException.h"
#include "framework/network/ZMQSocket.h"

namespace velbor {

ZMQMessage ZMQMessage::recvFromSocket(ZMQSocket& socket) {
  ZMQMessage message;
  do {
    try {
      message.addFrame(socket.receiveDataWithFlags(0));
    } catch (const ZMQException&) {
      // The parts of a message arrive together: take the rest away, or the next receive
      // would start in the middle of this message.
      while (socket.msgMore()) {
        try {
          socket.receiveDataWithFlags(ZMQ_DONTWAIT);
        } catch (const ZMQException&) {
          break;
        }
      }
      throw;
    }
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
    if (!socket.sendData(frame, messageQueue_.empty() ? 0 : ZMQ_SNDMORE)) {
      messageQueue_.clear();
      return false;
    }
  }
  return true;
}

void ZMQMessage::addEmptyFrame() {
  messageQueue_.emplace_back();
}

void ZMQMessage::addFrame(std::string frame) {
  messageQueue_.push_back(std::move(frame));
}

void ZMQMessage::addZmqMessage(ZMQMessage& other) {
  if (&other == this) return;
  for (auto& frame : other.messageQueue_) messageQueue_.push_back(std::move(frame));
  other.messageQueue_.clear();
}

std::optional<std::string> ZMQMessage::getNextFrame() {
  if (messageQueue_.empty()) return std::nullopt;
  std::string frame = std::move(messageQueue_.front());
  messageQueue_.pop_front();
  return frame;
}

void ZMQMessage::insertEmptyFrameAtHead() {
  messageQueue_.emplace_front();
}

void ZMQMessage::insertFrameAtHead(std::string frame) {
  messageQueue_.push_front(std::move(frame));
}

}  // namespace velbor
