#include "FakePeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "core/envelope/EnvelopeTestSupport.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "support/LoopbackListener.h"

namespace velbor::test {

namespace {

// A guard against a hung test, not a measure of speed.
constexpr int kGuardMs = 30000;

}  // namespace

FakePeer::FakePeer(Responder responder) : responder_(std::move(responder)), context_(std::make_shared<ZMQContext>(1)) {
  socket_ = context_->socketWithType(ZMQ_ROUTER);
  socket_->bindToEndpoint("tcp://127.0.0.1:0");
  endpoint_ = socket_->dataForOption(ZMQ_LAST_ENDPOINT).value_or(std::string());
  endpoint_.erase(std::find(endpoint_.begin(), endpoint_.end(), '\0'), endpoint_.end());
  thread_ = std::thread([this] { serve(); });
}

FakePeer::~FakePeer() {
  context_->shutdown();
  thread_.join();
  context_->terminate();
}

std::vector<pb::MsgHead> FakePeer::heads() const {
  std::lock_guard lock(headsLock_);
  return heads_;
}

void FakePeer::serve() {
  try {
    for (;;) {
      Frames frames = framesOf(ZMQMessage::recvFromSocket(*socket_));
      if (frames.size() < 3) continue;
      const std::string identity = frames[0];
      Frames envelope(frames.begin() + 2, frames.end());
      pb::MsgHead head;
      head.ParseFromString(envelope[0]);
      {
        std::lock_guard lock(headsLock_);
        heads_.push_back(head);
      }
      std::optional<Frames> reply;
      try {
        reply = responder_(envelope);
      } catch (const std::exception&) {
        // A request the test cannot read gets no answer, as from a peer that drops it.
      }
      if (!reply) continue;
      Frames out{identity, ""};
      out.insert(out.end(), reply->begin(), reply->end());
      messageOf(out).sendToSocket(*socket_);
    }
  } catch (const std::exception&) {
    // The context was shut down: the test is over.
  }
  socket_->closeWithoutLinger();
}

SilentPeer::SilentPeer() {
  uint16_t port = 0;
  listener_ = listenOnLoopback(port);
  endpoint_ = "tcp://127.0.0.1:" + std::to_string(port);
}

SilentPeer::~SilentPeer() { ::close(listener_); }

bool SilentPeer::nextConnectionCloses() {
  pollfd item{listener_, POLLIN, 0};
  if (::poll(&item, 1, kGuardMs) != 1) return false;
  const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0) return false;
  bool closed = false;
  char buffer[512];
  for (;;) {
    pollfd in{connection, POLLIN, 0};
    if (::poll(&in, 1, kGuardMs) != 1) break;
    const ssize_t got = ::read(connection, buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno == ECONNRESET)) {
      closed = true;
      break;
    }
    if (got < 0 && errno != EINTR) break;
  }
  ::close(connection);
  return closed;
}

}  // namespace velbor::test
