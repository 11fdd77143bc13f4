#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace velbor {

class ZMQSendAccount;
class ZMQSocket;

// One multipart message as a queue of frames, the first frame at the head.
class ZMQMessage {
 public:
  ZMQMessage() = default;

  // Receives every frame of the next message (blocking). Raises ZMQException when a frame
  // cannot be received, and with EMSGSIZE (after a log line) for a message of more than
  // ZMQSocket::kMaxMessageFrames frames or kMaxNetworkMessageSize bytes; either way the
  // rest of the message is drained first, so the socket's next receive starts at a message
  // boundary.
  static ZMQMessage recvFromSocket(ZMQSocket& socket);
  // The same with a bound of `maxBytes` for the whole message instead.
  static ZMQMessage recvFromSocket(ZMQSocket& socket, size_t maxBytes);
  // Sends `frame` alone as a one-frame message.
  static bool sendToSocketWithOneFrame(ZMQSocket& socket, const std::string& frame);

  // Sends the frames in order and consumes the message; a message without frames goes out
  // as one empty frame. Stops at the first frame that fails and answers false: the frames
  // after it are dropped rather than sent as a message of their own. A failure after the
  // first frame leaves ZeroMQ holding an unfinished message, so the caller should close
  // the socket then.
  bool sendToSocket(ZMQSocket& socket);
  // The same, every frame handed over without a copy and counted in `account` until ZeroMQ
  // lets go of it.
  bool sendToSocket(ZMQSocket& socket, const std::shared_ptr<ZMQSendAccount>& account);

  void addEmptyFrame();
  void addFrame(std::string frame);
  // Moves every frame of `other` to the end of this message; `other` is left empty.
  void addZmqMessage(ZMQMessage& other);
  // Removes and returns the head frame; nothing when no frame is left.
  std::optional<std::string> getNextFrame();
  void insertEmptyFrameAtHead();
  void insertFrameAtHead(std::string frame);
  bool ifMoreFrame() const { return !messageQueue_.empty(); }
  size_t frameCount() const { return messageQueue_.size(); }
  // The bytes of all frames left.
  size_t byteSize() const;

 private:
  std::deque<std::string> messageQueue_;
};

}  // namespace velbor
