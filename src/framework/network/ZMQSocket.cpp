#include "framework/network/ZMQSocket.h"

#include <cerrno>
#include <cstring>

#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQException.h"
#include "platform/QoLog.h"

namespace velbor {

namespace {

bool isValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    auto byte = static_cast<unsigned char>(text[i]);
    size_t length;
    uint32_t codePoint;
    if (byte < 0x80) {
      ++i;
      continue;
    } else if ((byte & 0xE0) == 0xC0) {
      length = 2;
      codePoint = byte & 0x1F;
    } else if ((byte & 0xF0) == 0xE0) {
      length = 3;
      codePoint = byte & 0x0F;
    } else if ((byte & 0xF8) == 0xF0) {
      length = 4;
      codePoint = byte & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

std::string ZMQSocket::nameForSocketType(int type) {
  switch (type) {
    case ZMQ_PAIR: return "ZMQ_PAIR";
    case ZMQ_PUB: return "ZMQ_PUB";
    case ZMQ_SUB: return "ZMQ_SUB";
    case ZMQ_REQ: return "ZMQ_REQ";
    case ZMQ_REP: return "ZMQ_REP";
    case ZMQ_DEALER: return "ZMQ_XREQ";
    case ZMQ_ROUTER: return "ZMQ_XREP";
    case ZMQ_PULL: return "ZMQ_PULL";
    case ZMQ_PUSH: return "ZMQ_PUSH";
    case ZMQ_UDP: return "ZMQ_UDP";
    default: return "UNKNOWN";
  }
}

ZMQSocket::ZMQSocket(const std::shared_ptr<ZMQContext>& context, void* contextHandle, int type)
    : type_(type), context_(context), contextAddress_(context.get()) {
  zmqSocket_ = zmq_socket(contextHandle, type);
  if (zmqSocket_ != nullptr) {
    zmq_setsockopt(zmqSocket_, ZMQ_LINGER, &kDefaultLingerMs, sizeof kDefaultLingerMs);
  }
}

ZMQSocket::~ZMQSocket() {
  try {
    close();
  } catch (const std::exception& e) {
    QoLog("*** ZMQSocket: {}", e.what());
  }
}

void ZMQSocket::close() {
  if (closed_.exchange(true)) return;
  if (zmq_close(zmqSocket_) != 0) raise("zmq_close");
}

std::string ZMQSocket::description() const {
  return fmt::format("<ZMQSocket: {} (ctx={}, type={}, endpoint={}, closed={})>", fmt::ptr(this),
                     fmt::ptr(contextAddress_), nameForSocketType(type_), endpoint().value_or("(null)"), isClosed() ? 1 : 0);
}

void ZMQSocket::logError(std::string_view operation, int error) const {
  QoLog("{}: *** {}: {}: {}", "ZMQLogError", description(), operation, zmq_strerror(error));
}

void ZMQSocket::raise(std::string_view operation) const {
  int error = zmq_errno();
  logError(operation, error);
  throw ZMQException(zmq_strerror(error), error);
}

bool ZMQSocket::setData(std::string_view data, int option) {
  if (zmq_setsockopt(zmqSocket_, option, data.data(), data.size()) != 0) raise("zmq_setsockopt");
  return true;
}

std::optional<std::string> ZMQSocket::dataForOption(int option) {
  char buffer[255];
  size_t length = sizeof buffer;
  if (zmq_getsockopt(zmqSocket_, option, buffer, &length) == 0) return std::string(buffer, length);
  // Numeric options are read only into a buffer of exactly their size.
  for (size_t size : {sizeof(int64_t), sizeof(int)}) {
    if (zmq_errno() != EINVAL) break;
    length = size;
    if (zmq_getsockopt(zmqSocket_, option, buffer, &length) == 0) return std::string(buffer, length);
  }
  raise("zmq_getsockopt");
}

void ZMQSocket::limitNetworkInput(const std::string& endpoint) {
  if (endpoint.rfind("tcp://", 0) != 0 || zmqSocket_ == nullptr) return;
  int64_t current = -1;
  size_t length = sizeof current;
  if (zmq_getsockopt(zmqSocket_, ZMQ_MAXMSGSIZE, &current, &length) == 0 && current >= 0) return;  // set by the caller
  zmq_setsockopt(zmqSocket_, ZMQ_MAXMSGSIZE, &kMaxNetworkMessageSize, sizeof kMaxNetworkMessageSize);
}

bool ZMQSocket::bindToEndpoint(const std::string& endpoint) {
  setEndpoint(endpoint);
  limitNetworkInput(endpoint);
  if (zmq_bind(zmqSocket_, endpoint.c_str()) != 0) raise("zmq_bind");
  return true;
}

bool ZMQSocket::connectToEndpoint(const std::string& endpoint) {
  setEndpoint(endpoint);
  limitNetworkInput(endpoint);
  if (zmq_connect(zmqSocket_, endpoint.c_str()) != 0) raise("zmq_connect");
  return true;
}

bool ZMQSocket::disconnectToEndpoint(const std::string& endpoint) {
  if (zmq_disconnect(zmqSocket_, endpoint.c_str()) != 0) raise("zmq_disconnect");
  return true;
}

bool ZMQSocket::sendData(std::string_view data, int flags) {
  zmq_msg_t message;
  if (zmq_msg_init_size(&message, data.size()) != 0) raise("zmq_msg_init_size");
  if (!data.empty()) std::memcpy(zmq_msg_data(&message), data.data(), data.size());
  // A signal is no reason to give up a frame: half a message would stay queued.
  int result;
  do {
    result = zmq_msg_send(&message, zmqSocket_, flags);
  } while (result < 0 && zmq_errno() == EINTR);
  bool sent = result >= 0;
  if (!sent) logError("zmq_sendmsg", zmq_errno());
  if (zmq_msg_close(&message) != 0) logError("zmq_msg_close", zmq_errno());
  return sent;
}

std::string ZMQSocket::receiveDataWithFlags(int flags) {
  zmq_msg_t message;
  if (zmq_msg_init(&message) != 0) raise("zmq_msg_init");
  int result;
  do {
    result = zmq_msg_recv(&message, zmqSocket_, flags);
  } while (result < 0 && zmq_errno() == EINTR);
  if (result < 0) {
    int error = zmq_errno();
    zmq_msg_close(&message);
    logError("zmq_recvmsg", error);
    throw ZMQException(zmq_strerror(error), error);
  }
  std::string data(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message));
  ifMoreMsg_ = zmq_msg_more(&message) != 0;
  if (zmq_msg_close(&message) != 0) logError("zmq_msg_close", zmq_errno());
  return data;
}

std::optional<std::string> ZMQSocket::receiveStringWithFlags(int flags) {
  std::string data = receiveDataWithFlags(flags);
  if (!isValidUtf8(data)) return std::nullopt;
  return data;
}

void ZMQSocket::getPollItem(zmq_pollitem_t& item, short events) const {
  item.socket = zmqSocket_;
  item.fd = 0;
  item.events = events;
  item.revents = 0;
}

std::optional<std::string> ZMQSocket::endpoint() const {
  std::lock_guard lock(endpointLock_);
  return endpoint_;
}

void ZMQSocket::setEndpoint(std::string endpoint) {
  std::lock_guard lock(endpointLock_);
  endpoint_ = std::move(endpoint);
}

}  // namespace velbor
