#include "core/daemon/publisher/SubscriberConnections.h"

#include <cstring>

#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "platform/ForeignTcpSocket.h"

namespace velbor {

namespace {

constexpr const char* kMonitorEndpoint = "inproc://subscriber-monitor";
// The head of a frame on the wire is at most this long.
constexpr uint64_t kFrameHeadBytes = 9;

}  // namespace

SubscriberConnections::SubscriberConnections(ZMQContext& context, ZMQSocket& subscriber) : subscriber_(subscriber) {
  subscriber.monitorToEndpoint(kMonitorEndpoint,
                               ZMQ_EVENT_CONNECTED | ZMQ_EVENT_DISCONNECTED | ZMQ_EVENT_HANDSHAKE_SUCCEEDED);
  monitor_ = context.socketWithType(ZMQ_PAIR);
  monitor_->connectToEndpoint(kMonitorEndpoint);
}

SubscriberConnections::~SubscriberConnections() { close(); }

void SubscriberConnections::close() {
  if (monitor_) monitor_->closeWithoutLinger();
}

std::vector<std::string> SubscriberConnections::takeEvents() {
  std::vector<std::string> connected;
  zmq_pollitem_t item{};
  monitor_->getPollItem(item, ZMQ_POLLIN);
  while (ZMQContext::pollWithItems(&item, 1, 0) > 0 && (item.revents & ZMQ_POLLIN)) {
    ZMQMessage event = ZMQMessage::recvFromSocket(*monitor_);
    const std::string head = event.getNextFrame().value_or(std::string());
    const std::string endpoint = subscriber_.connectedEndpointOf(event.getNextFrame().value_or(std::string()));
    uint16_t kind = 0;
    uint32_t value = 0;
    if (head.size() != sizeof kind + sizeof value) continue;
    std::memcpy(&kind, head.data(), sizeof kind);
    std::memcpy(&value, head.data() + sizeof kind, sizeof value);
    const int fd = static_cast<int>(value);
    if (kind == ZMQ_EVENT_HANDSHAKE_SUCCEEDED) connected.push_back(endpoint);
    if (kind == ZMQ_EVENT_DISCONNECTED) connections_.erase(fd);
    if (kind != ZMQ_EVENT_CONNECTED) continue;
    // Read at once: ZeroMQ may close the descriptor, and the system hand its number on.
    connections_[fd] = Connection{ForeignTcpSocket::peerAddress(fd).value_or(std::string()), endpoint, 0};
  }
  return connected;
}

void SubscriberConnections::noticeTaken(int fd, size_t frames, size_t bytes) {
  auto it = connections_.find(fd);
  if (it != connections_.end()) it->second.taken += bytes + frames * kFrameHeadBytes;
}

std::vector<std::string> SubscriberConnections::cutOverrun(
    const std::function<bool(const std::string& endpoint)>& watched) {
  std::vector<std::string> cut;
  for (auto it = connections_.begin(); it != connections_.end();) {
    const Connection& connection = it->second;
    const int fd = it->first;
    if (connection.peer.empty() || ForeignTcpSocket::peerAddress(fd) != connection.peer) {
      // Gone, and its number perhaps another connection's now.
      it = connections_.erase(it);
      continue;
    }
    const uint64_t brought = ForeignTcpSocket::receivedBytes(fd).value_or(0);
    if (!watched(connection.endpoint) || brought <= connection.taken + kMaxUnreadBytes) {
      ++it;
      continue;
    }
    ForeignTcpSocket::cutIfConnectedTo(fd, connection.peer);
    cut.push_back(connection.endpoint);
    it = connections_.erase(it);
  }
  return cut;
}

}  // namespace velbor
