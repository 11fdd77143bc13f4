#include "framework/network/ZMQFrames.h"

#include <cstring>

#include "framework/network/ZMQException.h"
#include "framework/network/ZMQSocket.h"

namespace velbor {

void ZMQFrames::Close::operator()(zmq_msg_t* message) const {
  zmq_msg_close(message);
  delete message;
}

ZMQFrames::Frame ZMQFrames::newFrame() {
  Frame frame(new zmq_msg_t);
  if (zmq_msg_init(frame.get()) != 0) {
    delete frame.release();
    throw ZMQException(zmq_strerror(zmq_errno()), zmq_errno());
  }
  return frame;
}

ZMQFrames ZMQFrames::recvFromSocket(ZMQSocket& socket) {
  ZMQFrames message;
  do {
    Frame frame = newFrame();
    try {
      socket.receiveMessage(*frame, 0);
    } catch (const ZMQException&) {
      // The next receive must start at a message boundary.
      while (socket.msgMore()) {
        Frame rest = newFrame();
        try {
          socket.receiveMessage(*rest, ZMQ_DONTWAIT);
        } catch (const ZMQException&) {
          break;
        }
      }
      throw;
    }
    message.frames_.push_back(std::move(frame));
  } while (socket.msgMore());
  return message;
}

bool ZMQFrames::sendToSocket(ZMQSocket& socket) {
  while (!frames_.empty()) {
    Frame frame = std::move(frames_.front());
    frames_.pop_front();
    if (!socket.sendMessageFrame(*frame, frames_.empty() ? 0 : ZMQ_SNDMORE)) {
      frames_.clear();
      return false;
    }
  }
  return true;
}

std::string ZMQFrames::takeHead() {
  if (frames_.empty()) return {};
  Frame frame = std::move(frames_.front());
  frames_.pop_front();
  return std::string(static_cast<const char*>(zmq_msg_data(frame.get())), zmq_msg_size(frame.get()));
}

void ZMQFrames::pushHead(const std::string& frame) {
  Frame head(new zmq_msg_t);
  if (zmq_msg_init_size(head.get(), frame.size()) != 0) {
    delete head.release();
    throw ZMQException(zmq_strerror(zmq_errno()), zmq_errno());
  }
  if (!frame.empty()) std::memcpy(zmq_msg_data(head.get()), frame.data(), frame.size());
  frames_.push_front(std::move(head));
}

}  // namespace velbor
