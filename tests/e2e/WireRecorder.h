#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velbor::test {

// Records off the wire, as a host on the path would, the TCP bytes a host sends from one port:
// a packet socket in the host's network namespace sees what leaves its interfaces (the
// host's own sending only). Reads them
// back as the ZeroMQ messages of each connection, each a list of frames. The destructor stops
// it and closes its socket.
class WireRecorder {
 public:
  using Frames = std::vector<std::string>;

  WireRecorder(const std::string& netns, uint16_t port);
  ~WireRecorder();
  WireRecorder(const WireRecorder&) = delete;
  WireRecorder& operator=(const WireRecorder&) = delete;

  bool ready() const { return ready_; }
  // The messages sent so far from the port, connection by connection.
  std::vector<Frames> messages();

 private:
  void run(const std::string& netns);
  void take(const unsigned char* packet, size_t length);

  const uint16_t port_;
  std::atomic<bool> stopping_{false};
  bool ready_ = false;
  std::mutex lock_;
  // Payloads by sequence number, per connection (the peer's address and port).
  std::map<std::pair<uint32_t, uint16_t>, std::map<uint32_t, std::string>> segments_;
  std::thread thread_;
};

}  // namespace velbor::test
