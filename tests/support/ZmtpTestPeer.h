#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velbor::test {

// A ZeroMQ peer written by hand over a plain tcp socket (ZMTP 3.0, NULL mechanism), so that
// a test can send what libzmq never sends: frames beyond any bound, frames that never end,
// subscriptions of any kind. Closes its socket when it goes.
class ZmtpTestPeer {
 public:
  // Connects to 127.0.0.1:`port`, from `source` (another loopback address stands for
  // another host); connected() tells whether it worked.
  explicit ZmtpTestPeer(uint16_t port, const std::string& source = "127.0.0.1");
  ~ZmtpTestPeer();
  ZmtpTestPeer(const ZmtpTestPeer&) = delete;
  ZmtpTestPeer& operator=(const ZmtpTestPeer&) = delete;

  // Takes the next connection on the listening tcp socket `listener`, waiting at most
  // `bound`; nothing when none came.
  static std::unique_ptr<ZmtpTestPeer> accept(int listener, std::chrono::milliseconds bound);

  bool connected() const { return fd_ >= 0; }
  // Exchanges greetings and READY commands as a socket of `socketType` ("SUB", "DEALER").
  bool handshake(const std::string& socketType, std::chrono::milliseconds bound);
  // One whole frame; `more` when more frames of the message follow.
  bool sendFrame(std::string_view body, bool more);
  // Only the head of a frame of `size` bytes; its body is the caller's to send (or not).
  bool sendFrameHead(uint64_t size, bool more);
  bool sendBytes(std::string_view bytes);
  // The bytes of 32768 empty frames, each saying that more follow: what a peer sends that
  // never ends its message.
  static std::string endlessEmptyFrames() {
    std::string bytes;
    for (int i = 0; i < 32768; ++i) bytes += std::string("\x01\x00", 2);
    return bytes;
  }
  // The next frame's body; nothing when none came within `bound` or the connection ended.
  std::optional<std::string> receiveFrame(std::chrono::milliseconds bound);
  // The more-flag of the last frame received.
  bool lastMore() const { return lastMore_; }
  // Reads and drops what comes until the other side ends the connection (true) or `bound`
  // has passed (false).
  bool closedWithin(std::chrono::milliseconds bound);

 private:
  ZmtpTestPeer() = default;
  bool readExactly(size_t size, std::string& out, std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  bool lastMore_ = false;
};

}  // namespace velbor::test
