#include "core/daemon/client/QoRequestSocket.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>

#include "core/entity/QoDevice.h"
#include "framework/errors/QoException.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "platform/ForeignTcpSocket.h"
#include "platform/QoLog.h"

namespace velbor {

namespace {

constexpr const char* kMonitorEndpoint = "inproc://request-monitor";

static_assert(QoRequestSocket::kMaxReplyWireBytes >
              static_cast<uint64_t>(ZMQSocket::kMaxNetworkMessageSize) + ZMQSocket::kMaxMessageFrames * 9);

}  // namespace

QoRequestSocket::QoRequestSocket(std::shared_ptr<QoDevice> sentTo, const std::string& endpoint, int lingerMs)
    : endpoint_(endpoint) {
  if (!sentTo) throw QoException::defaultExceptionWithReason("Request to ({}) names no device", endpoint);
  sentToUuid_ = sentTo->uuid();
  if (!QoDevice::isPeerEndpoint(endpoint)) {
    throw QoException::defaultExceptionWithReason("Request endpoint({}) is not a tcp endpoint", endpoint);
  }
  context_ = std::make_shared<ZMQContext>(1);
  try {
    socket_ = context_->socketWithType(ZMQ_REQ);
    socket_->setData(std::string_view(reinterpret_cast<const char*>(&lingerMs), sizeof lingerMs), ZMQ_LINGER);
    // Watched before it connects, so that no connection goes unseen.
    socket_->monitorToEndpoint(kMonitorEndpoint, ZMQ_EVENT_CONNECTED);
    monitor_ = context_->socketWithType(ZMQ_PAIR);
    monitor_->connectToEndpoint(kMonitorEndpoint);
    socket_->connectToEndpoint(endpoint);
  } catch (...) {
    close();
    throw;
  }
}

QoRequestSocket::~QoRequestSocket() { close(); }

void QoRequestSocket::close() noexcept {
  try {
    if (monitor_) monitor_->closeWithoutLinger();
    // Closed with its own linger first, so terminating the context waits no longer than that.
    if (socket_) socket_->close();
  } catch (const std::exception& e) {
    QoLog("*** Request socket close failed, {}", e.what());
  }
  try {
    context_->terminate();
  } catch (const std::exception& e) {
    QoLog("*** Request context terminate failed, {}", e.what());
  }
}

QoRequestSocket::Result QoRequestSocket::exchange(QoMessage& message, int waitMs) {
  if (!message.sendToSocket(*socket_)) return {Outcome::kSendError, nullptr};
  using Clock = std::chrono::steady_clock;
  const bool forever = waitMs < 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(waitMs, 0));
  for (;;) {
    zmq_pollitem_t items[2]{};
    socket_->getPollItem(items[0], ZMQ_POLLIN);
    monitor_->getPollItem(items[1], ZMQ_POLLIN);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const long slice = forever ? kWatchSliceMs : std::clamp<long>(left, 0, kWatchSliceMs);
    if (ZMQContext::pollWithItems(items, 2, slice) < 0) return {Outcome::kPollError, nullptr};
    if (items[0].revents & ZMQ_POLLIN) return {Outcome::kReply, QoMessage::recvReplyFromSocket(*socket_, sentToUuid_)};
    if (items[1].revents & ZMQ_POLLIN) takeMonitorEvents();
    const uint64_t brought = bytesBrought();
    if (brought > kMaxReplyWireBytes) {
      QoLog("*** Reply from ({}) has brought {} bytes and no end, dropped", endpoint_, brought);
      return {Outcome::kTimeout, nullptr};
    }
    if (!forever && left <= 0) return {Outcome::kTimeout, nullptr};
  }
}

void QoRequestSocket::takeMonitorEvents() {
  zmq_pollitem_t item{};
  monitor_->getPollItem(item, ZMQ_POLLIN);
  while (ZMQContext::pollWithItems(&item, 1, 0) > 0 && (item.revents & ZMQ_POLLIN)) {
    ZMQMessage event = ZMQMessage::recvFromSocket(*monitor_);
    const std::string head = event.getNextFrame().value_or(std::string());
    uint16_t kind = 0;
    uint32_t value = 0;
    if (head.size() != sizeof kind + sizeof value) continue;
    std::memcpy(&kind, head.data(), sizeof kind);
    std::memcpy(&value, head.data() + sizeof kind, sizeof value);
    if (kind != ZMQ_EVENT_CONNECTED) continue;
    // A reconnection starts counting afresh on its own descriptor.
    bytesBrought();
    earlierBytes_ += connectionBytes_;
    connectionBytes_ = 0;
    connectionFd_ = static_cast<int>(value);
    connectionPeer_ = ForeignTcpSocket::peerAddress(connectionFd_).value_or(std::string());
  }
}

uint64_t QoRequestSocket::bytesBrought() {
  // The descriptor is ZeroMQ's: once it leads elsewhere, its count is no longer ours.
  if (connectionFd_ >= 0 && !connectionPeer_.empty() &&
      ForeignTcpSocket::peerAddress(connectionFd_) == connectionPeer_) {
    connectionBytes_ = std::max(connectionBytes_, ForeignTcpSocket::receivedBytes(connectionFd_).value_or(0));
  }
  return earlierBytes_ + connectionBytes_;
}

}  // namespace velbor
