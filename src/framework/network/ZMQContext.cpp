#include "framework/network/ZMQContext.h"

#include <cerrno>

#include "framework/network/ZMQException.h"
#include "framework/network/ZMQSocket.h"
#include "platform/QoLog.h"

namespace velbor {

void ZMQContext::getZMQVersion(int& major, int& minor, int& patch) { zmq_version(&major, &minor, &patch); }

int ZMQContext::pollWithItems(zmq_pollitem_t* items, int count, int64_t timeout) {
  return zmq_poll(items, count, static_cast<long>(timeout));
}

ZMQContext::ZMQContext(int ioThreads) {
  context_ = zmq_ctx_new();
  if (context_ != nullptr && zmq_ctx_set(context_, ZMQ_IO_THREADS, ioThreads) != 0) {
    int error = zmq_errno();
    zmq_ctx_term(context_);
    context_ = nullptr;
    errno = error;
  }
  if (context_ == nullptr) {
    int error = zmq_errno();
    QoLog("{}: *** Error creating ZMQContext: zmq_init: {}", "-[ZMQContext initWithIOThreads:]", zmq_strerror(error));
    throw ZMQException(zmq_strerror(error), error);
  }
}

ZMQContext::~ZMQContext() {
  try {
    terminate();
  } catch (const std::exception& e) {
    QoLog("*** ZMQContext: {}", e.what());
  }
}

std::shared_ptr<ZMQSocket> ZMQContext::socketWithType(int type) {
  // A terminated context's handle is freed; libzmq must never see it again.
  if (terminated_) throw ZMQException(zmq_strerror(ETERM), ETERM);
  auto socket = std::make_shared<ZMQSocket>(weak_from_this().lock(), context_, type);
  std::lock_guard lock(socketsLock_);
  sockets_.push_back(socket);
  return socket;
}

std::vector<std::shared_ptr<ZMQSocket>> ZMQContext::sockets() const {
  std::lock_guard lock(socketsLock_);
  return sockets_;
}

void ZMQContext::closeSockets() {
  for (const auto& socket : sockets()) socket->close();
}

void ZMQContext::terminate() {
  if (terminated_.exchange(true)) return;
  // zmq_ctx_term waits for every socket of the context to be closed; a socket left open
  // would make it wait forever, and one with queued messages for as long as it lingers.
  for (const auto& socket : sockets()) {
    try {
      socket->closeWithoutLinger();
    } catch (const std::exception& e) {
      QoLog("*** ZMQContext terminate: {}", e.what());
    }
  }
  if (context_ != nullptr) {
    while (zmq_ctx_term(context_) != 0 && zmq_errno() == EINTR) {
    }
    context_ = nullptr;
  }
}

void ZMQContext::shutdown() {
  if (terminated_ || context_ == nullptr) return;
  if (zmq_ctx_shutdown(context_) != 0) {
    int error = zmq_errno();
    throw ZMQException(zmq_strerror(error), error);
  }
}

bool ZMQContext::isTerminated() const { return terminated_.load(); }

}  // namespace velbor
