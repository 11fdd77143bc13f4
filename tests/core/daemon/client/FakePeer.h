#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "proto/VelborProto.pb.h"

namespace velbor {
class ZMQContext;
class ZMQSocket;
}  // namespace velbor

namespace velbor::test {

// Another device's request endpoint, played by the test: a ROUTER socket on loopback whose
// thread hands every request (its envelope frames) to `responder` and sends back the frames
// it returns, or nothing.
class FakePeer {
 public:
  using Frames = std::vector<std::string>;
  using Responder = std::function<std::optional<Frames>(const Frames& request)>;

  explicit FakePeer(Responder responder);
  ~FakePeer();
  FakePeer(const FakePeer&) = delete;
  FakePeer& operator=(const FakePeer&) = delete;

  // "tcp://127.0.0.1:<port>".
  const std::string& endpoint() const { return endpoint_; }
  // The headers of the requests received so far, in order.
  std::vector<pb::MsgHead> heads() const;

 private:
  void serve();

  Responder responder_;
  std::shared_ptr<ZMQContext> context_;
  std::shared_ptr<ZMQSocket> socket_;
  std::string endpoint_;
  mutable std::mutex headsLock_;
  std::vector<pb::MsgHead> heads_;
  std::thread thread_;
};

// A request endpoint that takes connections and never answers: a plain TCP listener on
// loopback, so a ZeroMQ client connects and sends into it and waits in vain.
class SilentPeer {
 public:
  SilentPeer();
  ~SilentPeer();
  SilentPeer(const SilentPeer&) = delete;
  SilentPeer& operator=(const SilentPeer&) = delete;

  const std::string& endpoint() const { return endpoint_; }
  // Takes the next connection and reads it to its end: true once the client has closed it,
  // false when nothing of that came within the guard (a socket left open).
  bool nextConnectionCloses();

 private:
  int listener_ = -1;
  std::string endpoint_;
};

}  // namespace velbor::test
