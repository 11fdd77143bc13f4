#include "core/daemon/client/QoRequestSocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>

#include "core/entity/QoDevice.h"
#include "framework/errors/QoException.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "platform/QoLog.h"

namespace velbor {

QoRequestSocket::QoRequestSocket(std::shared_ptr<QoDevice> sentTo, const std::string& endpoint, int lingerMs,
                                 uint64_t maxReplyBytes)
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
    // One whole reply for the request.
    socket_->guardConnections("Request", ZMQFrameCounter::Bounds{kMaxReplyFrames, maxReplyBytes}, true);
    socket_->connectToEndpoint(endpoint);
  } catch (...) {
    close();
    throw;
  }
}

QoRequestSocket::~QoRequestSocket() { close(); }

void QoRequestSocket::close() noexcept {
  try {
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
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(waitMs, 0));
  // Once a connection was cut after its whole reply, only the reply is waited for.
  bool watchesCuts = true;
  for (;;) {
    zmq_pollitem_t items[2]{};
    socket_->getPollItem(items[0], ZMQ_POLLIN);
    items[1].fd = socket_->guardCutFd();
    items[1].events = ZMQ_POLLIN;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int polled = ZMQContext::pollWithItems(items, watchesCuts ? 2 : 1, waitMs < 0 ? -1 : std::max<long>(left, 0));
    if (polled < 0) {
      if (zmq_errno() == EINTR) continue;
      return {Outcome::kPollError, nullptr};
    }
    if (items[0].revents & ZMQ_POLLIN) return {Outcome::kReply, QoMessage::recvReplyFromSocket(*socket_, sentToUuid_)};
    if (polled == 0) return {Outcome::kTimeout, nullptr};
    if (watchesCuts && (items[1].revents & ZMQ_POLLIN)) {
      // Cut before its reply was whole: the request went with the connection.
      if (socket_->guardCutOwingAnswers() > 0) {
        QoLog("*** Reply from ({}) went beyond what a reply can be, dropped", endpoint_);
        return {Outcome::kTimeout, nullptr};
      }
      watchesCuts = false;
    }
  }
}

}  // namespace velbor
