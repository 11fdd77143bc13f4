#pragma once

#include <cstdint>
#include <memory>

namespace velbor {

class SocketStream;

// Event bits a socket stream reports to its delegate.
constexpr uint32_t kStreamEventNone = 0;
constexpr uint32_t kStreamEventOpenCompleted = 1;
constexpr uint32_t kStreamEventHasBytesAvailable = 2;
constexpr uint32_t kStreamEventHasSpaceAvailable = 4;
constexpr uint32_t kStreamEventErrorOccurred = 8;
constexpr uint32_t kStreamEventEndEncountered = 16;

// Receives the events of a stream on the queue the stream is scheduled on.
class SocketStreamDelegate {
 public:
  virtual ~SocketStreamDelegate() = default;
  virtual void stream(const std::shared_ptr<SocketStream>& stream, uint32_t handleEvent) = 0;
};

}  // namespace velbor
