#include "core/daemon/client/QoRequestSocket.h"

#include <exception>

#include "core/entity/QoDevice.h"
#include "framework/errors/QoException.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQSocket.h"
#include "platform/QoLog.h"

namespace velbor {

QoRequestSocket::QoRequestSocket(const std::string& endpoint, int lingerMs) {
  if (!QoDevice::isPeerEndpoint(endpoint)) {
    throw QoException::defaultExceptionWithReason("Request endpoint({}) is not a tcp endpoint", endpoint);
  }
  context_ = std::make_shared<ZMQContext>(1);
  try {
    socket_ = context_->socketWithType(ZMQ_REQ);
    socket_->setData(std::string_view(reinterpret_cast<const char*>(&lingerMs), sizeof lingerMs), ZMQ_LINGER);
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
  zmq_pollitem_t item{};
  socket_->getPollItem(item, ZMQ_POLLIN);
  const int events = ZMQContext::pollWithItems(&item, 1, waitMs);
  if (events < 0) return {Outcome::kPollError, nullptr};
  if (events == 0) return {Outcome::kTimeout, nullptr};
  return {Outcome::kReply, QoMessage::recvFromSocket(*socket_)};
}

}  // namespace velbor
