#pragma once

#include <zmq.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

namespace velbor {

class ZMQSocket;

// One multipart message kept as ZeroMQ's own frames, so that a broker passes it from one
// socket to another without copying its bytes (a 1 MiB file part per reply). Unbounded:
// only for messages from the process's own sockets, such as a router's workers.
class ZMQFrames {
 public:
  ZMQFrames() = default;
  ZMQFrames(ZMQFrames&&) noexcept = default;
  ZMQFrames& operator=(ZMQFrames&&) noexcept = default;

  // Receives every frame of the next message (blocking). Raises ZMQException when a frame
  // cannot be received, with the rest of the message taken away first.
  static ZMQFrames recvFromSocket(ZMQSocket& socket);
  // Sends the frames in order and consumes them; false at the first frame that fails, the
  // ones after it dropped.
  bool sendToSocket(ZMQSocket& socket);

  size_t size() const { return frames_.size(); }
  // Removes the head frame and answers its bytes; nothing left answers an empty string.
  std::string takeHead();
  void pushHead(const std::string& frame);

 private:
  struct Close {
    void operator()(zmq_msg_t* message) const;
  };
  using Frame = std::unique_ptr<zmq_msg_t, Close>;
  static Frame newFrame();

  std::deque<Frame> frames_;
};

}  // namespace velbor
