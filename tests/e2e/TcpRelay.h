#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <string>
#include <thread>

namespace velbor::test {

// A host that passes TCP on unchanged: each connection it takes at `port` in the named network
// namespace is joined to a new one from there to `targetAddress`:`targetPort`, and bytes go
// both ways until either side closes. The destructor stops it and closes every socket.
class TcpRelay {
 public:
  TcpRelay(const std::string& netns, uint16_t port, const std::string& targetAddress, uint16_t targetPort);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  // Listening in the namespace.
  bool ready() const { return ready_; }
  // Connections taken so far.
  int connections() const { return connections_; }

 private:
  void run(const std::string& netns, uint16_t port, std::promise<bool>& listening);

  const std::string targetAddress_;
  const uint16_t targetPort_;
  int wake_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  bool ready_ = false;
  std::thread thread_;
};

}  // namespace velbor::test
