#include "framework/network/ZMQSocket.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

#include "framework/network/DispatchUdpSocket.h"
#include "framework/network/ZMQAddress.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQException.h"
#include "framework/network/ZMQFrameGuard.h"
#include "framework/network/ZMQSendAccount.h"
#include "platform/Dispatch.h"
#include "platform/QoLog.h"
#include "platform/Utf8.h"

namespace velbor {

namespace {

// ZeroMQ orders a frame's send before its receive, and before the release of a buffer it was lent, in
// code not built with ThreadSanitizer; in that build these tell TSan, so that what one thread wrote before
// handing it over and another touches after taking it over is not taken for a race.
#if defined(__SANITIZE_THREAD__)
void handOver(void* address) { __tsan_release(address); }
void takeOver(void* address) { __tsan_acquire(address); }
#else
void handOver(void*) {}
void takeOver(void*) {}
#endif

// The UDP operations raise with the system's error and log nothing.
[[noreturn]] void raiseSystem(int error) { throw ZMQException(std::strerror(error), error); }

int openUdpDescriptor() {
  // No SO_REUSEADDR: on Linux it would let another process bind our port and silently
  // take part of the datagrams.
  return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

sockaddr_in ipv4SocketAddress(const std::string& host, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) raiseSystem(EINVAL);
  return address;
}

}  // namespace

std::string ZMQSocket::nameForSocketType(int type) {
  switch (type) {
    case ZMQ_PAIR:
      return "ZMQ_PAIR";
    case ZMQ_PUB:
      return "ZMQ_PUB";
    case ZMQ_SUB:
      return "ZMQ_SUB";
    case ZMQ_REQ:
      return "ZMQ_REQ";
    case ZMQ_REP:
      return "ZMQ_REP";
    case ZMQ_DEALER:
      return "ZMQ_XREQ";
    case ZMQ_ROUTER:
      return "ZMQ_XREP";
    case ZMQ_PULL:
      return "ZMQ_PULL";
    case ZMQ_PUSH:
      return "ZMQ_PUSH";
    case ZMQ_UDP:
      return "ZMQ_UDP";
    default:
      return "UNKNOWN";
  }
}

ZMQSocket::ZMQSocket(const std::shared_ptr<ZMQContext>& context, void* contextHandle, int type)
    : type_(type), context_(context), contextAddress_(context.get()) {
  if (type == ZMQ_UDP) {
    udpSocket_ = openUdpDescriptor();
    if (udpSocket_ < 0) {
      int error = errno;
      logError("zmq_socket", error);
      raiseSystem(error);
    }
    return;
  }
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
  if (type_ == ZMQ_UDP) {
    closeUdp();
    return;
  }
  const int closed = zmq_close(zmqSocket_);
  // ZeroMQ's connections through the guard end with it.
  guard_.reset();
  if (closed != 0) raise("zmq_close");
}

void ZMQSocket::closeWithoutLinger() {
  if (isClosed()) return;
  if (type_ != ZMQ_UDP) {
    const int noLinger = 0;
    zmq_setsockopt(zmqSocket_, ZMQ_LINGER, &noLinger, sizeof noLinger);
  }
  close();
}

void ZMQSocket::closeUdp() {
  if (udpSocket_ >= 0) {
    ::close(udpSocket_);
    udpSocket_ = -1;
  }
  if (auto async = std::move(asyncUdpSocket_)) async->close();
}

std::string ZMQSocket::description() const {
  return fmt::format("<ZMQSocket: {} (ctx={}, type={}, endpoint={}, closed={})>", fmt::ptr(this),
                     fmt::ptr(contextAddress_), nameForSocketType(type_), endpoint().value_or("(null)"),
                     isClosed() ? 1 : 0);
}

void ZMQSocket::logError(std::string_view operation, int error) const {
  QoLog("{}: *** {}: {}: {}", "ZMQLogError", description(), operation, zmq_strerror(error));
}

void ZMQSocket::requireOpen(std::string_view operation) const {
  if (!closed_.load()) return;
  // The handle (or descriptor) is gone: libzmq or the system would be handed freed memory
  // or a number since given to someone else.
  auto context = context_.lock();
  const int error = !context || context->isTerminated() ? ETERM : ENOTSOCK;
  logError(operation, error);
  throw ZMQException(zmq_strerror(error), error);
}

void ZMQSocket::raise(std::string_view operation) const {
  int error = zmq_errno();
  logError(operation, error);
  throw ZMQException(zmq_strerror(error), error);
}

bool ZMQSocket::setData(std::string_view data, int option) {
  requireOpen("zmq_setsockopt");
  if (zmq_setsockopt(zmqSocket_, option, data.data(), data.size()) != 0) raise("zmq_setsockopt");
  return true;
}

std::optional<std::string> ZMQSocket::dataForOption(int option) {
  requireOpen("zmq_getsockopt");
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
  // Options must be in place before the connections they apply to; a bound the caller set
  // itself stays.
  int64_t current = -1;
  size_t length = sizeof current;
  if (zmq_getsockopt(zmqSocket_, ZMQ_MAXMSGSIZE, &current, &length) != 0 || current < 0) {
    zmq_setsockopt(zmqSocket_, ZMQ_MAXMSGSIZE, &kMaxNetworkMessageSize, sizeof kMaxNetworkMessageSize);
  }
  constexpr int kZeroMQDefaultHighWaterMark = 1000;
  for (int option : {ZMQ_RCVHWM, ZMQ_SNDHWM}) {
    int mark = 0;
    length = sizeof mark;
    if (zmq_getsockopt(zmqSocket_, option, &mark, &length) == 0 && mark == kZeroMQDefaultHighWaterMark) {
      zmq_setsockopt(zmqSocket_, option, &kNetworkHighWaterMark, sizeof kNetworkHighWaterMark);
    }
  }
}

bool ZMQSocket::bindToEndpoint(const std::string& endpoint) {
  requireOpen("zmq_bind");
  setEndpoint(endpoint);
  limitNetworkInput(endpoint);
  if (zmq_bind(zmqSocket_, endpoint.c_str()) != 0) raise("zmq_bind");
  return true;
}

bool ZMQSocket::connectToEndpoint(const std::string& endpoint) {
  requireOpen("zmq_connect");
  setEndpoint(endpoint);
  limitNetworkInput(endpoint);
  const bool guarded = guard_ && endpoint.rfind("tcp://", 0) == 0;
  const std::string target = guarded ? guard_->routeTo(endpoint) : endpoint;
  if (zmq_connect(zmqSocket_, target.c_str()) != 0) {
    const int error = zmq_errno();
    if (guarded) guard_->dropRoute(endpoint);
    logError("zmq_connect", error);
    throw ZMQException(zmq_strerror(error), error);
  }
  return true;
}

bool ZMQSocket::disconnectToEndpoint(const std::string& endpoint) {
  requireOpen("zmq_disconnect");
  const std::optional<std::string> local = guard_ ? guard_->localOf(endpoint) : std::nullopt;
  const int result = zmq_disconnect(zmqSocket_, local.value_or(endpoint).c_str());
  if (local) guard_->dropRoute(endpoint);
  if (result != 0) raise("zmq_disconnect");
  return true;
}

std::string ZMQSocket::bindBehindGuard(const std::string& endpoint, const std::string& name,
                                       const ZMQFrameCounter::Bounds& bounds, uint64_t messagesPerConnection,
                                       bool sourcePerHost, const ZMQFrameGuard::Connections& connections) {
  requireOpen("zmq_bind");
  constexpr const char* kLoopback = "tcp://127.0.0.1:*";
  limitNetworkInput(kLoopback);
  if (zmq_bind(zmqSocket_, kLoopback) != 0) raise("zmq_bind");
  std::string local = dataForOption(ZMQ_LAST_ENDPOINT).value_or(std::string());
  local.erase(std::find(local.begin(), local.end(), '\0'), local.end());
  guard_ = std::make_unique<ZMQFrameGuard>(name, bounds, false);
  guard_->setConnections(connections);
  const std::string bound = guard_->listenFor(endpoint, local, messagesPerConnection, sourcePerHost);
  setEndpoint(bound);
  return bound;
}

void ZMQSocket::guardConnections(const std::string& name, const ZMQFrameCounter::Bounds& bounds, bool answersOnly) {
  requireOpen("guard");
  guard_ = std::make_unique<ZMQFrameGuard>(name, bounds, answersOnly);
}

std::string ZMQSocket::connectedEndpointOf(const std::string& endpoint) const {
  if (!guard_) return endpoint;
  return guard_->endpointOf(endpoint).value_or(endpoint);
}

std::optional<std::string> ZMQSocket::guardedFarSideOf(const std::string& source) const {
  if (!guard_) return std::nullopt;
  return guard_->farSideOf(source);
}

std::optional<std::string> ZMQSocket::guardedFarHostOfSource(const std::string& sourceHost) const {
  if (!guard_) return std::nullopt;
  return guard_->farHostOfSource(sourceHost);
}

bool ZMQSocket::guardRefuseHost(const std::string& host, std::chrono::milliseconds duration) {
  return guard_ && guard_->refuseHost(host, duration);
}

uint64_t ZMQSocket::guardCutConnections() const { return guard_ ? guard_->cutConnections() : 0; }

uint64_t ZMQSocket::guardCutOwingAnswers() const { return guard_ ? guard_->cutOwingAnswers() : 0; }

int ZMQSocket::guardCutFd() const { return guard_ ? guard_->cutFd() : -1; }

std::vector<std::string> ZMQSocket::takeGuardCutEndpoints() {
  if (!guard_) return {};
  return guard_->takeCutEndpoints();
}

bool ZMQSocket::monitorToEndpoint(const std::string& endpoint, int events) {
  requireOpen("zmq_socket_monitor");
  if (zmq_socket_monitor(zmqSocket_, endpoint.c_str(), events) != 0) raise("zmq_socket_monitor");
  return true;
}

bool ZMQSocket::sendData(std::string_view data, int flags) {
  requireOpen("zmq_sendmsg");
  zmq_msg_t message;
  if (zmq_msg_init_size(&message, data.size()) != 0) raise("zmq_msg_init_size");
  if (!data.empty()) std::memcpy(zmq_msg_data(&message), data.data(), data.size());
  return sendMessage(message, flags);
}

bool ZMQSocket::sendFrame(std::string frame, int flags) {
  // Below this a copy is cheaper than a buffer of its own.
  constexpr size_t kAdoptedFrameBytes = 4096;
  if (frame.size() < kAdoptedFrameBytes) return sendData(frame, flags);
  requireOpen("zmq_sendmsg");
  auto* owned = new std::string(std::move(frame));
  // ZeroMQ frees the bytes, on whichever thread lets go of them last.
  auto release = [](void* bytes, void* hint) {
    takeOver(bytes);
    delete static_cast<std::string*>(hint);
  };
  zmq_msg_t message;
  if (zmq_msg_init_data(&message, owned->data(), owned->size(), release, owned) != 0) {
    delete owned;
    raise("zmq_msg_init_data");
  }
  return sendMessage(message, flags);
}

bool ZMQSocket::sendFrame(std::string frame, int flags, const std::shared_ptr<ZMQSendAccount>& account) {
  struct Held {
    std::string bytes;
    std::shared_ptr<ZMQSendAccount> account;
  };
  requireOpen("zmq_sendmsg");
  auto* held = new Held{std::move(frame), account};
  const size_t size = held->bytes.size();
  auto release = [](void* bytes, void* hint) {
    takeOver(bytes);
    auto* done = static_cast<Held*>(hint);
    done->account->released(done->bytes.size());
    delete done;
  };
  zmq_msg_t message;
  if (zmq_msg_init_data(&message, held->bytes.data(), size, release, held) != 0) {
    delete held;
    raise("zmq_msg_init_data");
  }
  // Counted before the send: ZeroMQ may let go of the frame before the send returns.
  account->handedOver(size);
  return sendMessage(message, flags);
}

bool ZMQSocket::sendMessage(zmq_msg_t& message, int flags) {
  // A signal is no reason to give up a frame: half a message would stay queued.
  int result;
  handOver(zmq_msg_data(&message));
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
  std::string data;
  try {
    receiveMessage(message, flags);
    // Short of memory for the copy, the frame is let go of all the same.
    data.assign(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message));
  } catch (...) {
    zmq_msg_close(&message);
    throw;
  }
  if (zmq_msg_close(&message) != 0) logError("zmq_msg_close", zmq_errno());
  return data;
}

void ZMQSocket::receiveMessage(zmq_msg_t& message, int flags) {
  requireOpen("zmq_recvmsg");
  int result;
  do {
    result = zmq_msg_recv(&message, zmqSocket_, flags);
  } while (result < 0 && zmq_errno() == EINTR);
  if (result < 0) {
    int error = zmq_errno();
    logError("zmq_recvmsg", error);
    throw ZMQException(zmq_strerror(error), error);
  }
  takeOver(zmq_msg_data(&message));
  ifMoreMsg_ = zmq_msg_more(&message) != 0;
  if (recordsSources_) {
    lastSourceFd_ = zmq_msg_get(&message, ZMQ_SRCFD);
    const char* address = zmq_msg_gets(&message, "Peer-Address");
    lastSourceAddress_ = address != nullptr ? address : "";
  }
}

bool ZMQSocket::sendMessageFrame(zmq_msg_t& message, int flags) {
  requireOpen("zmq_sendmsg");
  zmq_msg_t frame;
  zmq_msg_init(&frame);
  // The socket's send closes what it takes: the caller's frame is left empty, not closed twice.
  zmq_msg_move(&frame, &message);
  return sendMessage(frame, flags);
}

std::optional<std::string> ZMQSocket::receiveStringWithFlags(int flags) {
  std::string data = receiveDataWithFlags(flags);
  if (!isValidUtf8(data)) return std::nullopt;
  return data;
}

bool ZMQSocket::bindToEndpointUdp(uint64_t port) {
  requireOpen("bind");
  // A port beyond 16 bits would otherwise be bound truncated, to some other port.
  if (port > UINT16_MAX) raiseSystem(EINVAL);
  int on = 1;
  setsockopt(udpSocket_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(static_cast<uint16_t>(port));
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(udpSocket_, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) raiseSystem(errno);

  if (auto previous = std::move(asyncUdpSocket_)) previous->close();
  asyncUdpSocket_ = DispatchUdpSocket::create(weak_from_this(), DispatchQueue::globalQueue());
  DispatchUdpSocketError error;
  if (!asyncUdpSocket_->enableBroadcast(true, &error)) {
    QoLog("*** enable async broadcast error, {}", error.description());
    return false;
  }
  return true;
}

bool ZMQSocket::connectToEndpointUdp(const ZMQAddress& address) {
  requireOpen("connect");
  // A peer's address is checked before anything changes: a bad one leaves the socket as it was.
  unsigned port = 0;
  const std::string portText = address.port.value_or("");
  auto [end, parseError] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (parseError != std::errc() || end != portText.data() + portText.size() || portText.empty() || port > UINT16_MAX) {
    raiseSystem(EINVAL);
  }
  const std::string host = address.ipAddrV4.value_or("");
  sockaddr_in peer = ipv4SocketAddress(host, static_cast<uint16_t>(port));

  int descriptor = openUdpDescriptor();
  if (descriptor < 0) raiseSystem(errno);
  setEndpoint(host);
  QoLog("{}", host);
  if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    int error = errno;
    ::close(descriptor);
    raiseSystem(error);
  }
  // The descriptor opened at creation (or by an earlier connect) is replaced, not leaked.
  if (udpSocket_ >= 0) ::close(udpSocket_);
  udpSocket_ = descriptor;
  return true;
}

void ZMQSocket::sendUdp(std::string_view data, const void* address, size_t addressLength) {
  requireOpen("sendto");
  ssize_t sent;
  do {
    sent = ::sendto(udpSocket_, data.data(), data.size(), MSG_NOSIGNAL, static_cast<const sockaddr*>(address),
                    static_cast<socklen_t>(addressLength));
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) raiseSystem(errno);
  if (sent == 0) raiseSystem(EPIPE);
}

bool ZMQSocket::sendDataUdp(std::string_view data) {
  // Without a sender yet, no address: a connected descriptor sends to its peer.
  sendUdp(data, info_.empty() ? nullptr : info_.data(), info_.size());
  return true;
}

std::string ZMQSocket::receiveDataUdp() {
  requireOpen("recvfrom");
  std::string data(kMaxUdpDatagramSize, '\0');
  sockaddr_storage sender{};
  socklen_t senderLength;
  ssize_t received;
  do {
    senderLength = sizeof sender;
    received = ::recvfrom(udpSocket_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sender), &senderLength);
  } while (received < 0 && errno == EINTR);
  if (received < 0) raiseSystem(errno);
  if (received == 0) raiseSystem(EPIPE);
  info_.assign(reinterpret_cast<const char*>(&sender), std::min<size_t>(senderLength, sizeof sender));
  data.resize(static_cast<size_t>(received));
  return data;
}

void ZMQSocket::broadCastDataUsingAsyncSocket(std::string_view data, uint16_t port) {
  broadCastDataUsingAsyncSocket(data, port, ZMQAddress::getIpAddresses());
}

void ZMQSocket::broadCastDataUsingAsyncSocket(std::string_view data, uint16_t port,
                                              const std::vector<std::shared_ptr<ZMQAddress>>& interfaces) {
  requireOpen("broadcast");
  // The asynchronous socket exists once bindToEndpointUdp has run; before, there is nothing
  // to send through.
  if (!asyncUdpSocket_) return;
  for (const std::string& broadcast : ZMQAddress::broadcastAddressesOf(interfaces)) {
    asyncUdpSocket_->sendDataToHost(std::string(data), broadcast, port, -1, 0);
  }
}

void ZMQSocket::broadCastData(std::string_view data, uint16_t port) {
  broadCastData(data, port, ZMQAddress::getIpAddresses());
}

void ZMQSocket::broadCastData(std::string_view data, uint16_t port,
                              const std::vector<std::shared_ptr<ZMQAddress>>& interfaces) {
  requireOpen("broadcast");
  for (const std::string& broadcast : ZMQAddress::broadcastAddressesOf(interfaces)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    // An interface's text that is no dotted address names nowhere to send to.
    if (inet_pton(AF_INET, broadcast.c_str(), &address.sin_addr) != 1) continue;
    sendUdp(data, &address, sizeof address);
  }
}

void ZMQSocket::broadCastAllData(std::string_view data, uint16_t port) {
  requireOpen("broadcast");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  try {
    sendUdp(data, &address, sizeof address);
  } catch (const ZMQException& e) {
    // A refused send is logged; an empty datagram (nothing sent) is only raised.
    if (!data.empty()) QoLog("{}", e.reason());
    throw;
  }
}

void ZMQSocket::getPollItem(zmq_pollitem_t& item, short events) const {
  requireOpen("zmq_poll");
  item.socket = zmqSocket_;
  item.fd = type_ == ZMQ_UDP ? udpSocket_ : 0;
  item.events = events;
  item.revents = 0;
}

void* ZMQSocket::zmqSocket() const {
  requireOpen("zmqSocket");
  return zmqSocket_;
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
