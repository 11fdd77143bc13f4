#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/envelope/QoMessage.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"

namespace velbor::test {

// A bare ROUTER socket on a loopback port of its own, standing where a peer's router would be.
// Its thread hands each request that comes in to `serve`, with the connection it came on and
// the frames after the empty delimiter, until the router is destroyed. A class serving from
// its own members declares its LoopbackRouter last, so that the thread ends before they go.
class LoopbackRouter {
 public:
  using Serve = std::function<void(const std::string& connection, ZMQMessage& frames)>;

  explicit LoopbackRouter(Serve serve) : serve_(std::move(serve)) {
    socket_ = context_->socketWithType(ZMQ_ROUTER);
    socket_->bindToEndpoint("tcp://127.0.0.1:*");
    uri_ = socket_->dataForOption(ZMQ_LAST_ENDPOINT).value_or(std::string());
    uri_.erase(std::find(uri_.begin(), uri_.end(), '\0'), uri_.end());
    thread_ = std::thread([this] { run(); });
  }
  ~LoopbackRouter() {
    stop_ = true;
    thread_.join();
    socket_->close();
  }
  LoopbackRouter(const LoopbackRouter&) = delete;
  LoopbackRouter& operator=(const LoopbackRouter&) = delete;

  const std::string& uri() const { return uri_; }

  // Sends `answer` back on `connection`; called from `serve`, on the router's thread.
  void reply(const std::string& connection, const QoMessage::Ptr& answer) {
    ZMQMessage out = answer->getSendZMQMessage();
    out.insertEmptyFrameAtHead();
    out.insertFrameAtHead(connection);
    out.sendToSocket(*socket_);
  }

 private:
  void run() {
    zmq_pollitem_t item{};
    socket_->getPollItem(item, ZMQ_POLLIN);
    while (!stop_) {
      if (ZMQContext::pollWithItems(&item, 1, 50) <= 0) continue;
      ZMQMessage frames = ZMQMessage::recvFromSocket(*socket_);
      const std::string connection = frames.getNextFrame().value_or(std::string());
      frames.getNextFrame();
      serve_(connection, frames);
    }
  }

  Serve serve_;
  std::shared_ptr<ZMQContext> context_ = std::make_shared<ZMQContext>(1);
  std::shared_ptr<ZMQSocket> socket_;
  std::string uri_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace velbor::test
