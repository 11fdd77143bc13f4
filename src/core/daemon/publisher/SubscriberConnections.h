#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velbor {

class ZMQContext;
class ZMQSocket;

// The tcp connections of the publisher's SUB socket, as ZeroMQ's monitor reports them, and
// what each has brought against what was taken from it as whole notices. ZeroMQ keeps every
// frame of a message that has not ended, however many: a publisher that sends one without
// end is found here by the bytes its connection brought. Used by the broker thread alone.
class SubscriberConnections {
 public:
  // What a connection may have brought beyond its whole notices: its handshake and a few
  // notices in flight (a peer's PUB socket holds back a handful for a slow reader, and a
  // notice is a few hundred bytes).
  static constexpr uint64_t kMaxUnreadBytes = 1024 * 1024;

  // Monitors `subscriber` through a PAIR socket of `context`; made before it connects, and
  // gone before it is.
  SubscriberConnections(ZMQContext& context, ZMQSocket& subscriber);
  ~SubscriberConnections();
  SubscriberConnections(const SubscriberConnections&) = delete;
  SubscriberConnections& operator=(const SubscriberConnections&) = delete;

  // Polled for the monitor's events.
  ZMQSocket& monitor() { return *monitor_; }
  bool empty() const { return connections_.empty(); }
  // Takes the monitor's events; gives the endpoints whose connection has just been made
  // (again) and whose handshake is done: what they published before was never received.
  std::vector<std::string> takeEvents();
  // A whole notice of `frames` frames and `bytes` bytes was taken from the connection `fd`.
  void noticeTaken(int fd, size_t frames, size_t bytes);
  // The endpoints (as ZeroMQ names them, "tcp://192.168.1.7:9526") of the connections that
  // `watched` names and that brought more than kMaxUnreadBytes beyond their whole notices;
  // each is cut and forgotten.
  std::vector<std::string> cutOverrun(const std::function<bool(const std::string& endpoint)>& watched);
  void close();

 private:
  struct Connection {
    std::string peer;
    std::string endpoint;
    uint64_t taken = 0;
  };

  ZMQSocket& subscriber_;
  std::shared_ptr<ZMQSocket> monitor_;
  std::map<int, Connection> connections_;
};

}  // namespace velbor
