#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <zmq.h>

namespace velbor {

class ZMQContext;

// One ZeroMQ socket of a ZMQContext. Made only by ZMQContext::socketWithType; used by one
// thread at a time. Failures are logged and raised as ZMQException, except a failed send,
// which answers false.
class ZMQSocket {
 public:
  // Our own type next to ZeroMQ's 0-8: a plain UDP socket behind the same object.
  static constexpr int ZMQ_UDP = 100;
  // Largest message accepted from a peer over tcp: file parts of up to 64 MiB plus the
  // envelope around them. A peer sending more is disconnected instead of filling memory.
  static constexpr int64_t kMaxNetworkMessageSize = (64 + 1) * 1024 * 1024;
  // Linger of a socket that does not set its own, so terminating a context never waits
  // forever for a peer that is gone.
  static constexpr int kDefaultLingerMs = 1000;

  static std::string nameForSocketType(int type);

  ZMQSocket(const std::shared_ptr<ZMQContext>& context, void* contextHandle, int type);
  ~ZMQSocket();
  ZMQSocket(const ZMQSocket&) = delete;
  ZMQSocket& operator=(const ZMQSocket&) = delete;

  // Closes the socket once; later calls do nothing.
  void close();
  std::string description() const;

  bool setData(std::string_view data, int option);
  std::optional<std::string> dataForOption(int option);

  bool bindToEndpoint(const std::string& endpoint);
  bool connectToEndpoint(const std::string& endpoint);
  bool disconnectToEndpoint(const std::string& endpoint);

  // Sends one frame; `flags` ZMQ_SNDMORE when more frames of the message follow.
  bool sendData(std::string_view data, int flags);
  std::string receiveDataWithFlags(int flags);
  // The frame as text; nothing when it is not valid UTF-8.
  std::optional<std::string> receiveStringWithFlags(int flags);
  // The more-parts flag of the last frame received.
  bool msgMore() const { return ifMoreMsg_; }

  void getPollItem(zmq_pollitem_t& item, short events) const;

  void* zmqSocket() const { return zmqSocket_; }
  bool isClosed() const { return closed_.load(); }
  void setClosed(bool closed) { closed_.store(closed); }
  std::shared_ptr<ZMQContext> context() const { return context_.lock(); }
  int type() const { return type_; }
  std::optional<std::string> endpoint() const;
  void setEndpoint(std::string endpoint);

 private:
  void logError(std::string_view operation, int error) const;
  [[noreturn]] void raise(std::string_view operation) const;
  void limitNetworkInput(const std::string& endpoint);

  void* zmqSocket_ = nullptr;
  mutable std::mutex endpointLock_;
  std::optional<std::string> endpoint_;
  int type_;
  std::atomic<bool> closed_{false};
  bool ifMoreMsg_ = false;
  std::weak_ptr<ZMQContext> context_;
  const void* contextAddress_;
};

}  // namespace velbor
