#include "framework/network/DispatchUdpSocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/network/DispatchUdpSendPacket.h"
#include "framework/network/DispatchUdpSpecialPacket.h"
#include "platform/Dispatch.h"
#include "platform/LogRateLimiter.h"
#include "platform/QoLog.h"

namespace velbor {

namespace {

enum Flags : uint32_t {
  kSocketsCreated = 1 << 0,
  kBound = 1 << 1,
  kConnecting = 1 << 2,
  kConnected = 1 << 3,
  kReceivingOnce = 1 << 4,
  kReceivingContinuously = 1 << 5,
  kIPv4Deactivated = 1 << 6,
  kIPv6Deactivated = 1 << 7,
  kSend4SourceSuspended = 1 << 8,
  kSend6SourceSuspended = 1 << 9,
  kReceive4SourceSuspended = 1 << 10,
  kReceive6SourceSuspended = 1 << 11,
  kSocket4Writable = 1 << 12,
  kSocket6Writable = 1 << 13,
  kCloseAfterSending = 1 << 15,
  kReceiveFromIPv4Next = 1 << 16,
};

enum Config : uint16_t {
  kIPv4Disabled = 1 << 0,
  kIPv6Disabled = 1 << 1,
  kPreferIPv4 = 1 << 2,
  kPreferIPv6 = 1 << 3,
};

// A datagram can never be longer than this, whatever receive limit is configured.
constexpr size_t kLargestDatagram = 65536;
// Datagrams read in one go before the socket queue gets a turn for other work.
constexpr int kReceiveBurst = 64;

const char* const kUnknownInterface =
    "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.";
const char* const kNilHost = "The host param is nil. Should be domain name or IP address string.";

std::string bytesOf(const void* data, size_t length) { return std::string(static_cast<const char*>(data), length); }

std::string address4(const in_addr& addr, uint16_t port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  in.sin_addr = addr;
  return bytesOf(&in, sizeof in);
}

std::string address6(const in6_addr& addr, uint16_t port) {
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(port);
  in6.sin6_addr = addr;
  return bytesOf(&in6, sizeof in6);
}

template <typename T>
T structOf(const std::string& bytes) {
  T value{};
  std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof value));
  return value;
}

// Lines about datagrams that anyone on the network can send: bounded, so a flood of them
// cannot fill the disk. Never destroyed: queue threads may still log during exit.
LogRateLimiter& droppedDatagramLog() {
  static auto* limiter = new LogRateLimiter("DispatchUdpSocket: dropped datagrams", 10, std::chrono::minutes(1));
  return *limiter;
}

bool runFilterCaught(const char* what, const std::function<bool()>& filter) {
  try {
    return filter();
  } catch (const std::exception& e) {
    droppedDatagramLog().log("*** DispatchUdpSocket {} filter: {}", what, e.what());
  } catch (...) {
    droppedDatagramLog().log("*** DispatchUdpSocket {} filter: unknown exception", what);
  }
  return false;
}

}  // namespace

// ---- creation and the calling convention ----

std::shared_ptr<DispatchUdpSocket> DispatchUdpSocket::create(std::weak_ptr<DispatchUdpSocketDelegate> delegate,
                                                             std::shared_ptr<DispatchQueue> delegateQueue,
                                                             std::shared_ptr<DispatchQueue> socketQueue) {
  return std::make_shared<DispatchUdpSocket>(Passkey{}, std::move(delegate), std::move(delegateQueue),
                                             std::move(socketQueue));
}

DispatchUdpSocket::DispatchUdpSocket(Passkey, std::weak_ptr<DispatchUdpSocketDelegate> delegate,
                                     std::shared_ptr<DispatchQueue> delegateQueue,
                                     std::shared_ptr<DispatchQueue> socketQueue)
    : delegate_(std::move(delegate)), delegateQueue_(std::move(delegateQueue)), socketQueue_(std::move(socketQueue)) {
  if (!socketQueue_) socketQueue_ = DispatchQueue::createSerial(DispatchUdpSocketQueueName);
}

DispatchUdpSocket::~DispatchUdpSocket() {
  // No delegate call names a socket that is being destroyed: the close is silent here,
  // because notify() cannot take a reference to this object any more.
  try {
    runSync([this] { closeWithError(std::nullopt); });
  } catch (const std::exception& e) {
    QoLog("*** DispatchUdpSocket close: {}", e.what());
  }
  // Released here even inside one of its own jobs: a serial queue then ends its thread by itself.
}

void DispatchUdpSocket::runSync(const std::function<void()>& body) {
  if (socketQueue_->isCurrent()) {
    body();
  } else {
    socketQueue_->sync(body);
  }
}

template <typename F>
std::invoke_result_t<F&> DispatchUdpSocket::syncValue(F&& body) {
  std::invoke_result_t<F&> result{};
  runSync([&] { result = body(); });
  return result;
}

void DispatchUdpSocket::runAsync(std::function<void()> body) {
  if (socketQueue_->isCurrent()) {
    body();
    return;
  }
  socketQueue_->async([weak = weak_from_this(), body = std::move(body)] {
    if (auto self = weak.lock()) body();
  });
}

// ---- delegate ----

std::shared_ptr<DispatchUdpSocketDelegate> DispatchUdpSocket::delegate() {
  return syncValue([&] { return delegate_.lock(); });
}

std::shared_ptr<DispatchQueue> DispatchUdpSocket::delegateQueue() {
  return syncValue([&] { return delegateQueue_; });
}

void DispatchUdpSocket::setDelegate(std::weak_ptr<DispatchUdpSocketDelegate> delegate, bool synchronously) {
  auto body = [this, delegate] { delegate_ = delegate; };
  synchronously ? runSync(body) : runAsync(body);
}

void DispatchUdpSocket::synchronouslySetDelegate(std::weak_ptr<DispatchUdpSocketDelegate> delegate) {
  setDelegate(std::move(delegate), true);
}

void DispatchUdpSocket::setDelegateQueue(std::shared_ptr<DispatchQueue> queue, bool synchronously) {
  auto body = [this, queue] { delegateQueue_ = queue; };
  synchronously ? runSync(body) : runAsync(body);
}

void DispatchUdpSocket::synchronouslySetDelegateQueue(std::shared_ptr<DispatchQueue> queue) {
  setDelegateQueue(std::move(queue), true);
}

void DispatchUdpSocket::getDelegate(std::shared_ptr<DispatchUdpSocketDelegate>* delegate,
                                    std::shared_ptr<DispatchQueue>* queue) {
  runSync([&] {
    if (delegate) *delegate = delegate_.lock();
    if (queue) *queue = delegateQueue_;
  });
}

void DispatchUdpSocket::setDelegate(std::weak_ptr<DispatchUdpSocketDelegate> delegate,
                                    std::shared_ptr<DispatchQueue> queue, bool synchronously) {
  auto body = [this, delegate, queue] {
    delegate_ = delegate;
    delegateQueue_ = queue;
  };
  synchronously ? runSync(body) : runAsync(body);
}

void DispatchUdpSocket::synchronouslySetDelegate(std::weak_ptr<DispatchUdpSocketDelegate> delegate,
                                                 std::shared_ptr<DispatchQueue> queue) {
  setDelegate(std::move(delegate), std::move(queue), true);
}

// ---- configuration ----

bool DispatchUdpSocket::isIPv4Enabled() {
  return syncValue([&] { return !(config_ & kIPv4Disabled); });
}

void DispatchUdpSocket::setIPv4Enabled(bool flag) {
  runAsync([this, flag] { flag ? config_ &= ~kIPv4Disabled : config_ |= kIPv4Disabled; });
}

bool DispatchUdpSocket::isIPv6Enabled() {
  return syncValue([&] { return !(config_ & kIPv6Disabled); });
}

void DispatchUdpSocket::setIPv6Enabled(bool flag) {
  runAsync([this, flag] { flag ? config_ &= ~kIPv6Disabled : config_ |= kIPv6Disabled; });
}

bool DispatchUdpSocket::isIPv4Preferred() {
  return syncValue([&] { return config_ & kPreferIPv4; });
}

bool DispatchUdpSocket::isIPv6Preferred() {
  return syncValue([&] { return config_ & kPreferIPv6; });
}

bool DispatchUdpSocket::isIPVersionNeutral() {
  return syncValue([&] { return !(config_ & (kPreferIPv4 | kPreferIPv6)); });
}

void DispatchUdpSocket::setPreferIPv4() {
  runAsync([this] { config_ = (config_ | kPreferIPv4) & ~kPreferIPv6; });
}

void DispatchUdpSocket::setPreferIPv6() {
  runAsync([this] { config_ = (config_ | kPreferIPv6) & ~kPreferIPv4; });
}

void DispatchUdpSocket::setIPVersionNeutral() {
  runAsync([this] { config_ &= ~(kPreferIPv4 | kPreferIPv6); });
}

uint16_t DispatchUdpSocket::maxReceiveIPv4BufferSize() {
  return syncValue([&] { return max4ReceiveSize_; });
}

void DispatchUdpSocket::setMaxReceiveIPv4BufferSize(uint16_t max) {
  runAsync([this, max] { max4ReceiveSize_ = max; });
}

uint32_t DispatchUdpSocket::maxReceiveIPv6BufferSize() {
  return syncValue([&] { return max6ReceiveSize_; });
}

void DispatchUdpSocket::setMaxReceiveIPv6BufferSize(uint32_t max) {
  runAsync([this, max] { max6ReceiveSize_ = max; });
}

std::any DispatchUdpSocket::userData() {
  return syncValue([&] { return userData_; });
}

void DispatchUdpSocket::setUserData(std::any userData) {
  runAsync([this, userData = std::move(userData)] { userData_ = userData; });
}

// ---- delegate calls ----

void DispatchUdpSocket::notify(
    std::function<void(DispatchUdpSocketDelegate&, const std::shared_ptr<DispatchUdpSocket>&)> call) {
  auto delegate = delegate_.lock();
  auto self = weak_from_this().lock();
  if (!delegate || !delegateQueue_ || !self) return;
  delegateQueue_->async(
      [delegate = std::move(delegate), self = std::move(self), call = std::move(call)] { call(*delegate, self); });
}

void DispatchUdpSocket::notifyDidConnectToAddress(const Bytes& address) {
  notify([address](DispatchUdpSocketDelegate& d, const auto& s) { d.udpSocketDidConnectToAddress(s, address); });
}

void DispatchUdpSocket::notifyDidNotConnect(const DispatchUdpSocketError& error) {
  notify([error](DispatchUdpSocketDelegate& d, const auto& s) { d.udpSocketDidNotConnect(s, error); });
}

void DispatchUdpSocket::notifyDidSendDataWithTag(int64_t tag) {
  notify([tag](DispatchUdpSocketDelegate& d, const auto& s) { d.udpSocketDidSendDataWithTag(s, tag); });
}

void DispatchUdpSocket::notifyDidNotSendDataWithTag(int64_t tag, const DispatchUdpSocketError& error) {
  notify(
      [tag, error](DispatchUdpSocketDelegate& d, const auto& s) { d.udpSocketDidNotSendDataWithTag(s, tag, error); });
}

void DispatchUdpSocket::notifyDidReceiveData(const Bytes& data, const Bytes& address, const std::any& context) {
  notify([data, address, context](DispatchUdpSocketDelegate& d, const auto& s) {
    d.udpSocketDidReceiveData(s, data, address, context);
  });
}

void DispatchUdpSocket::notifyDidCloseWithError(const std::optional<DispatchUdpSocketError>& error) {
  notify([error](DispatchUdpSocketDelegate& d, const auto& s) { d.udpSocketDidClose(s, error); });
}

// ---- error values ----

DispatchUdpSocketError DispatchUdpSocket::badConfigError(const std::string& message) {
  return DispatchUdpSocketError(DispatchUdpSocketErrorDomain, DispatchUdpSocketBadConfigError, message);
}

DispatchUdpSocketError DispatchUdpSocket::badParamError(const std::string& message) {
  return DispatchUdpSocketError(DispatchUdpSocketErrorDomain, DispatchUdpSocketBadParamError, message);
}

DispatchUdpSocketError DispatchUdpSocket::gaiError(int gaiCode) {
  return DispatchUdpSocketError(DispatchUdpSocketNetDBErrorDomain, gaiCode, gai_strerror(gaiCode));
}

DispatchUdpSocketError DispatchUdpSocket::errnoErrorWithReason(const std::string& reason, int error) {
  return DispatchUdpSocketError(DispatchUdpSocketPosixErrorDomain, error, std::strerror(error), reason);
}

DispatchUdpSocketError DispatchUdpSocket::sendTimeoutError() {
  return DispatchUdpSocketError(DispatchUdpSocketErrorDomain, DispatchUdpSocketSendTimeoutError,
                                "Send operation timed out");
}

DispatchUdpSocketError DispatchUdpSocket::socketClosedError() {
  return DispatchUdpSocketError(DispatchUdpSocketErrorDomain, DispatchUdpSocketClosedError, "Socket closed");
}

DispatchUdpSocketError DispatchUdpSocket::otherError(const std::string& message) {
  return DispatchUdpSocketError(DispatchUdpSocketErrorDomain, DispatchUdpSocketOtherError, message);
}

// ---- preconditions ----

namespace {
bool refuse(DispatchUdpSocketError* errPtr, DispatchUdpSocketError error) {
  if (errPtr) *errPtr = std::move(error);
  return false;
}
}  // namespace

bool DispatchUdpSocket::preOp(DispatchUdpSocketError* errPtr) {
  if (delegate_.expired()) {
    return refuse(errPtr, badConfigError("Attempting to use socket without a delegate. Set a delegate first."));
  }
  if (!delegateQueue_) {
    return refuse(errPtr,
                  badConfigError("Attempting to use socket without a delegate queue. Set a delegate queue first."));
  }
  return true;
}

bool DispatchUdpSocket::preBind(DispatchUdpSocketError* errPtr) {
  if (!preOp(errPtr)) return false;
  if (flags_ & kBound) return refuse(errPtr, badConfigError("Cannot bind a socket more than once."));
  if (flags_ & (kConnecting | kConnected)) {
    return refuse(errPtr, badConfigError("Cannot bind after connecting. If needed, bind first, then connect."));
  }
  if ((config_ & kIPv4Disabled) && (config_ & kIPv6Disabled)) {
    return refuse(errPtr,
                  badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
  }
  return true;
}

bool DispatchUdpSocket::preConnect(DispatchUdpSocketError* errPtr) {
  if (!preOp(errPtr)) return false;
  if (flags_ & (kConnecting | kConnected)) {
    return refuse(errPtr, badConfigError("Cannot connect a socket more than once."));
  }
  if ((config_ & kIPv4Disabled) && (config_ & kIPv6Disabled)) {
    return refuse(errPtr,
                  badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
  }
  return true;
}

bool DispatchUdpSocket::preJoin(DispatchUdpSocketError* errPtr) {
  if (!preOp(errPtr)) return false;
  if (!(flags_ & kBound)) return refuse(errPtr, badConfigError("Must bind a socket before joining a multicast group."));
  if (flags_ & (kConnecting | kConnected)) {
    return refuse(errPtr, badConfigError("Cannot join a multicast group if connected."));
  }
  return true;
}

// ---- addresses ----

void DispatchUdpSocket::asyncResolveHost(const std::string& host, uint16_t port, ResolveCompletion completion) {
  auto queue = socketQueue_;
  if (host.empty()) {
    queue->async([completion = std::move(completion)] { completion({}, badParamError(kNilHost)); });
    return;
  }
  DispatchQueue::globalQueue()->async([host, port, queue, completion = std::move(completion)]() mutable {
    std::vector<Bytes> addresses;
    std::optional<DispatchUdpSocketError> error;
    if (host == "localhost" || host == "loopback") {
      in_addr loopback4{htonl(INADDR_LOOPBACK)};
      addresses.push_back(address4(loopback4, port));
      addresses.push_back(address6(in6addr_loopback, port));
    } else {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_DGRAM;
      hints.ai_protocol = IPPROTO_UDP;
      addrinfo* results = nullptr;
      int gai = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &results);
      if (gai != 0) {
        error = gaiError(gai);
      } else {
        for (addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
          if (entry->ai_family == AF_INET || entry->ai_family == AF_INET6) {
            addresses.push_back(bytesOf(entry->ai_addr, entry->ai_addrlen));
          }
        }
        freeaddrinfo(results);
        if (addresses.empty()) error = gaiError(EAI_FAIL);
      }
    }
    queue->async([completion = std::move(completion), addresses = std::move(addresses), error = std::move(error)] {
      completion(addresses, error);
    });
  });
}

int DispatchUdpSocket::getAddress(Bytes* addressPtr, DispatchUdpSocketError* errorPtr,
                                  const std::vector<Bytes>& addresses) {
  bool has4 = false;
  bool has6 = false;
  for (const auto& address : addresses) {
    int family = familyFromAddress(address);
    has4 |= family == AF_INET;
    has6 |= family == AF_INET6;
  }
  if ((config_ & kIPv4Disabled) && !has6) {
    return refuse(errorPtr, otherError("IPv4 has been disabled and DNS lookup found no IPv6 address(es).")), 0;
  }
  if ((config_ & kIPv6Disabled) && !has4) {
    return refuse(errorPtr, otherError("IPv6 has been disabled and DNS lookup found no IPv4 address(es).")), 0;
  }
  if ((flags_ & kIPv4Deactivated) && !has6) {
    return refuse(errorPtr, otherError("IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 "
                                       "address(es).")),
           0;
  }
  if ((flags_ & kIPv6Deactivated) && !has4) {
    return refuse(errorPtr, otherError("IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 "
                                       "address(es).")),
           0;
  }
  // A family this socket cannot use is passed over, so a look-up that also found the
  // other family never picks an address no descriptor can reach.
  bool usable4 = !(config_ & kIPv4Disabled) && !(flags_ & kIPv4Deactivated);
  bool usable6 = !(config_ & kIPv6Disabled) && !(flags_ & kIPv6Deactivated);
  const Bytes* first4 = nullptr;
  const Bytes* first6 = nullptr;
  bool ipv4First = false;
  for (const auto& address : addresses) {
    int family = familyFromAddress(address);
    if (family == AF_INET && usable4 && !first4) {
      first4 = &address;
      if (!first6) ipv4First = true;
    } else if (family == AF_INET6 && usable6 && !first6) {
      first6 = &address;
    }
  }
  bool useIPv4;
  if (!first6) {
    useIPv4 = first4 != nullptr;
  } else {
    useIPv4 = first4 && ((config_ & kPreferIPv4) || (!(config_ & kPreferIPv6) && ipv4First));
  }
  if (useIPv4) {
    if (addressPtr) *addressPtr = *first4;
    return AF_INET;
  }
  if (first6) {
    if (addressPtr) *addressPtr = *first6;
    return AF_INET6;
  }
  return refuse(errorPtr, otherError("DNS lookup found no usable address(es).")), 0;
}

void DispatchUdpSocket::convertInterfaceDescription(const std::string& interface, uint16_t port, Bytes* address4Ptr,
                                                    Bytes* address6Ptr) {
  Bytes result4;
  Bytes result6;
  if (interface.empty()) {
    result4 = address4(in_addr{htonl(INADDR_ANY)}, port);
    result6 = address6(in6addr_any, port);
  } else if (interface == "localhost" || interface == "loopback") {
    result4 = address4(in_addr{htonl(INADDR_LOOPBACK)}, port);
    result6 = address6(in6addr_loopback, port);
  } else {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
      for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) continue;
        if (entry->ifa_addr->sa_family == AF_INET && result4.empty()) {
          auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
          char text[INET_ADDRSTRLEN] = {};
          inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
          if (interface == entry->ifa_name || interface == text) result4 = address4(in->sin_addr, port);
        } else if (entry->ifa_addr->sa_family == AF_INET6 && result6.empty()) {
          auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
          char text[INET6_ADDRSTRLEN] = {};
          inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
          if (interface == entry->ifa_name || interface == text) {
            sockaddr_in6 copy = *in6;
            copy.sin6_port = htons(port);
            result6 = bytesOf(&copy, sizeof copy);
          }
        }
      }
      freeifaddrs(list);
    }
  }
  if (address4Ptr) *address4Ptr = result4;
  if (address6Ptr) *address6Ptr = result6;
}

void DispatchUdpSocket::convertNumericHost(const std::string& numericHost, uint16_t port, Bytes* address4Ptr,
                                           Bytes* address6Ptr) {
  Bytes result4;
  Bytes result6;
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* results = nullptr;
  if (!numericHost.empty() && getaddrinfo(numericHost.c_str(), std::to_string(port).c_str(), &hints, &results) == 0) {
    for (addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
      if (entry->ai_family == AF_INET && result4.empty()) result4 = bytesOf(entry->ai_addr, entry->ai_addrlen);
      if (entry->ai_family == AF_INET6 && result6.empty()) result6 = bytesOf(entry->ai_addr, entry->ai_addrlen);
    }
    freeaddrinfo(results);
  }
  if (address4Ptr) *address4Ptr = result4;
  if (address6Ptr) *address6Ptr = result6;
}

bool DispatchUdpSocket::isConnectedToAddress(const Bytes& address) {
  int family = familyFromAddress(address);
  if (family == 0 || family != cachedConnectedFamily_) return false;
  if (family == AF_INET) {
    auto a = structOf<sockaddr_in>(address);
    auto b = structOf<sockaddr_in>(cachedConnectedAddress_);
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
  }
  auto a = structOf<sockaddr_in6>(address);
  auto b = structOf<sockaddr_in6>(cachedConnectedAddress_);
  return std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0 && a.sin6_port == b.sin6_port;
}

unsigned DispatchUdpSocket::indexOfInterfaceAddr6(const Bytes& address) {
  if (address.size() != sizeof(sockaddr_in6)) return 0;
  auto wanted = structOf<sockaddr_in6>(address);
  unsigned index = 0;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6) continue;
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
    if (std::memcmp(&in6->sin6_addr, &wanted.sin6_addr, sizeof wanted.sin6_addr) == 0) {
      index = if_nametoindex(entry->ifa_name);
      break;
    }
  }
  freeifaddrs(list);
  return index;
}

// ---- descriptors and their sources ----

int DispatchUdpSocket::createSocket(int family, DispatchUdpSocketError* errPtr) {
  int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return refuse(errPtr, errnoErrorWithReason("Error in socket() function", errno)), -1;
  auto fail = [&](const char* reason) {
    int error = errno;
    ::close(fd);
    refuse(errPtr, errnoErrorWithReason(reason, error));
    return -1;
  };
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    return fail("Error enabling non-blocking IO on socket (fcntl)");
  }
  // No SO_REUSEADDR (nor SO_REUSEPORT): on Linux it lets several UDP sockets share one port,
  // so a second process would silently split the discovery datagrams with us. Broken pipes
  // are kept from raising a signal by MSG_NOSIGNAL on every send.
  if (family == AF_INET6) {
    // The IPv6 descriptor serves IPv6 only, so that it and the IPv4 one can bind the
    // same port.
    int on = 1;
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
      return fail("Error enabling IPv6-only (setsockopt)");
    }
  }
  return fd;
}

bool DispatchUdpSocket::createSocket4(bool useIPv4, bool useIPv6, DispatchUdpSocketError* errPtr) {
  int fd4 = -1;
  int fd6 = -1;
  if (useIPv4) {
    fd4 = createSocket(AF_INET, errPtr);
    if (fd4 < 0) return false;
  }
  if (useIPv6) {
    DispatchUdpSocketError error6;
    fd6 = createSocket(AF_INET6, &error6);
    if (fd6 < 0) {
      // A host without IPv6 still works over IPv4.
      if (fd4 >= 0 && error6.code() == EAFNOSUPPORT) {
        flags_ |= kIPv6Deactivated;
      } else {
        if (fd4 >= 0) ::close(fd4);
        return refuse(errPtr, error6);
      }
    }
  }
  socket4FD_ = fd4;
  socket6FD_ = fd6;
  if ((fd4 >= 0 && !setupSendAndReceiveSources(true, errPtr)) ||
      (fd6 >= 0 && !setupSendAndReceiveSources(false, errPtr))) {
    closeSockets();
    return false;
  }
  flags_ |= kSocketsCreated;
  return true;
}

bool DispatchUdpSocket::createSockets(DispatchUdpSocketError* errPtr) {
  return createSocket4(!(config_ & kIPv4Disabled), !(config_ & kIPv6Disabled), errPtr);
}

bool DispatchUdpSocket::setupSendAndReceiveSources(bool ipv4, DispatchUdpSocketError* errPtr) {
  int fd = ipv4 ? socket4FD_ : socket6FD_;
  std::shared_ptr<DispatchSource> send;
  std::shared_ptr<DispatchSource> receive;
  try {
    send = DispatchSource::makeWriteSource(fd, socketQueue_);
    receive = DispatchSource::makeReadSource(fd, socketQueue_);
  } catch (const std::exception& e) {
    // Out of descriptors for the watch; the descriptor itself is closed by the caller.
    return refuse(errPtr, otherError(e.what()));
  }
  std::weak_ptr<DispatchUdpSocket> weak = weak_from_this();
  send->setEventHandler([weak, ipv4, source = send.get()] {
    if (auto self = weak.lock()) self->handleWritable(ipv4, source);
  });
  receive->setEventHandler([weak, ipv4, source = receive.get()] {
    if (auto self = weak.lock()) self->handleReadable(ipv4, source);
  });
  if (ipv4) {
    send4Source_ = std::move(send);
    receive4Source_ = std::move(receive);
    socket4FDReadable_ = false;
    flags_ |= kSend4SourceSuspended | kReceive4SourceSuspended | kSocket4Writable;
  } else {
    send6Source_ = std::move(send);
    receive6Source_ = std::move(receive);
    socket6FDReadable_ = false;
    flags_ |= kSend6SourceSuspended | kReceive6SourceSuspended | kSocket6Writable;
  }
  return true;
}

void DispatchUdpSocket::setSourceSuspended(const std::shared_ptr<DispatchSource>& source, uint32_t bit,
                                           bool suspended) {
  // The flag mirrors the source's state, so a source is never suspended or resumed twice.
  if (!source || static_cast<bool>(flags_ & bit) == suspended) return;
  if (suspended) {
    source->suspend();
    flags_ |= bit;
  } else {
    source->resume();
    flags_ &= ~bit;
  }
}

void DispatchUdpSocket::suspendSendSource(bool ipv4) {
  setSourceSuspended(ipv4 ? send4Source_ : send6Source_, ipv4 ? kSend4SourceSuspended : kSend6SourceSuspended, true);
}

void DispatchUdpSocket::resumeSendSource(bool ipv4) {
  setSourceSuspended(ipv4 ? send4Source_ : send6Source_, ipv4 ? kSend4SourceSuspended : kSend6SourceSuspended, false);
}

void DispatchUdpSocket::suspendReceiveSource(bool ipv4) {
  setSourceSuspended(ipv4 ? receive4Source_ : receive6Source_,
                     ipv4 ? kReceive4SourceSuspended : kReceive6SourceSuspended, true);
}

void DispatchUdpSocket::resumeReceiveSource(bool ipv4) {
  setSourceSuspended(ipv4 ? receive4Source_ : receive6Source_,
                     ipv4 ? kReceive4SourceSuspended : kReceive6SourceSuspended, false);
}

void DispatchUdpSocket::closeSocket(bool ipv4) {
  int& fd = ipv4 ? socket4FD_ : socket6FD_;
  if (fd < 0) return;
  auto& send = ipv4 ? send4Source_ : send6Source_;
  auto& receive = ipv4 ? receive4Source_ : receive6Source_;
  if (send) {
    // Cancelling lets go of the sources' own duplicates at once, so closing ours below frees
    // the port before close() returns: a caller may bind it again straight away, even on
    // this queue, where a cancel handler would only run after the caller's job.
    send->cancel();
    receive->cancel();
    // A suspended source would never finish its cancellation.
    resumeSendSource(ipv4);
    resumeReceiveSource(ipv4);
    send.reset();
    receive.reset();
  }
  ::close(fd);
  fd = -1;
  if (ipv4) {
    socket4FDReadable_ = false;
    flags_ &= ~kSocket4Writable;
    cachedLocalAddress4_.clear();
    cachedLocalHost4_.clear();
    cachedLocalPort4_ = 0;
  } else {
    socket6FDReadable_ = false;
    flags_ &= ~kSocket6Writable;
    cachedLocalAddress6_.clear();
    cachedLocalHost6_.clear();
    cachedLocalPort6_ = 0;
  }
}

void DispatchUdpSocket::closeSockets() {
  closeSocket(true);
  closeSocket(false);
  flags_ &= ~kSocketsCreated;
}

// ---- informational getters ----

void DispatchUdpSocket::maybeUpdateCachedLocalAddressInfo(bool ipv4) {
  Bytes& cached = ipv4 ? cachedLocalAddress4_ : cachedLocalAddress6_;
  int fd = ipv4 ? socket4FD_ : socket6FD_;
  if (!cached.empty() || !(flags_ & kBound) || fd < 0) return;
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return;
  cached = bytesOf(&storage, length);
  std::string host;
  uint16_t port = 0;
  getHost(&host, &port, cached);
  (ipv4 ? cachedLocalHost4_ : cachedLocalHost6_) = host;
  (ipv4 ? cachedLocalPort4_ : cachedLocalPort6_) = port;
}

void DispatchUdpSocket::maybeUpdateCachedConnectedAddressInfo() {
  if (!cachedConnectedAddress_.empty() || !(flags_ & kConnected)) return;
  int fd = socket4FD_ >= 0 ? socket4FD_ : socket6FD_;
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return;
  cachedConnectedAddress_ = bytesOf(&storage, length);
  getHost(&cachedConnectedHost_, &cachedConnectedPort_, &cachedConnectedFamily_, cachedConnectedAddress_);
}

template <typename T>
T DispatchUdpSocket::cachedLocalInfo(const T& field4, const T& field6) {
  return syncValue([&]() -> T {
    bool ipv4 = socket4FD_ >= 0;
    maybeUpdateCachedLocalAddressInfo(ipv4);
    return ipv4 ? field4 : field6;
  });
}

auto DispatchUdpSocket::localAddress() -> Bytes { return cachedLocalInfo(cachedLocalAddress4_, cachedLocalAddress6_); }
std::string DispatchUdpSocket::localHost() { return cachedLocalInfo(cachedLocalHost4_, cachedLocalHost6_); }
uint16_t DispatchUdpSocket::localPort() { return cachedLocalInfo(cachedLocalPort4_, cachedLocalPort6_); }

template <typename T>
T DispatchUdpSocket::cachedAddressInfo(std::optional<bool> localIPv4, const T& field) {
  return syncValue([&]() -> T {
    if (localIPv4) {
      maybeUpdateCachedLocalAddressInfo(*localIPv4);
    } else {
      maybeUpdateCachedConnectedAddressInfo();
    }
    return field;
  });
}

auto DispatchUdpSocket::localAddress_IPv4() -> Bytes { return cachedAddressInfo(true, cachedLocalAddress4_); }
std::string DispatchUdpSocket::localHost_IPv4() { return cachedAddressInfo(true, cachedLocalHost4_); }
uint16_t DispatchUdpSocket::localPort_IPv4() { return cachedAddressInfo(true, cachedLocalPort4_); }
auto DispatchUdpSocket::localAddress_IPv6() -> Bytes { return cachedAddressInfo(false, cachedLocalAddress6_); }
std::string DispatchUdpSocket::localHost_IPv6() { return cachedAddressInfo(false, cachedLocalHost6_); }
uint16_t DispatchUdpSocket::localPort_IPv6() { return cachedAddressInfo(false, cachedLocalPort6_); }
auto DispatchUdpSocket::connectedAddress() -> Bytes { return cachedAddressInfo(std::nullopt, cachedConnectedAddress_); }
std::string DispatchUdpSocket::connectedHost() { return cachedAddressInfo(std::nullopt, cachedConnectedHost_); }
uint16_t DispatchUdpSocket::connectedPort() { return cachedAddressInfo(std::nullopt, cachedConnectedPort_); }

bool DispatchUdpSocket::isConnected() {
  return syncValue([&] { return flags_ & kConnected; });
}

bool DispatchUdpSocket::isClosed() {
  return syncValue([&] { return !(flags_ & kSocketsCreated); });
}

bool DispatchUdpSocket::isIPv4() {
  return syncValue([&] { return (flags_ & kSocketsCreated) ? socket4FD_ >= 0 : !(config_ & kIPv4Disabled); });
}

bool DispatchUdpSocket::isIPv6() {
  return syncValue([&] { return (flags_ & kSocketsCreated) ? socket6FD_ >= 0 : !(config_ & kIPv6Disabled); });
}

// ---- binding ----

bool DispatchUdpSocket::bindToPort(uint16_t port, DispatchUdpSocketError* errPtr) {
  return bindToPort(port, std::string(), errPtr);
}

bool DispatchUdpSocket::bindToPort(uint16_t port, const std::string& interface, DispatchUdpSocketError* errPtr) {
  return syncValue([&] { return bind(port, interface, errPtr); });
}

bool DispatchUdpSocket::bind(uint16_t port, const std::string& interface, DispatchUdpSocketError* errPtr) {
  if (!preBind(errPtr)) return false;
  Bytes interface4;
  Bytes interface6;
  convertInterfaceDescription(interface, port, &interface4, &interface6);
  if (interface4.empty() && interface6.empty()) return refuse(errPtr, badParamError(kUnknownInterface));
  if ((config_ & kIPv4Disabled) && interface6.empty()) {
    return refuse(errPtr, badParamError("IPv4 has been disabled and specified interface doesn't support IPv6."));
  }
  if ((config_ & kIPv6Disabled) && interface4.empty()) {
    return refuse(errPtr, badParamError("IPv6 has been disabled and specified interface doesn't support IPv4."));
  }
  bool useIPv4 = !(config_ & kIPv4Disabled) && !interface4.empty();
  bool useIPv6 = !(config_ & kIPv6Disabled) && !interface6.empty();
  if (!(flags_ & kSocketsCreated) && !createSocket4(useIPv4, useIPv6, errPtr)) return false;
  // Without IPv6 on this host, the wildcard bind goes on with IPv4 alone.
  if (useIPv4 && useIPv6 && socket6FD_ < 0 && socket4FD_ >= 0) useIPv6 = false;

  if (useIPv4) {
    auto in = structOf<sockaddr_in>(interface4);
    if (::bind(socket4FD_, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0) {
      int error = errno;
      closeSockets();
      return refuse(errPtr, errnoErrorWithReason("Error in bind() function", error));
    }
  }
  if (useIPv6) {
    auto in6 = structOf<sockaddr_in6>(interface6);
    if (::bind(socket6FD_, reinterpret_cast<const sockaddr*>(&in6), sizeof in6) != 0) {
      int error = errno;
      if (useIPv4 && interface.empty() && (error == EADDRNOTAVAIL || error == EAFNOSUPPORT)) {
        closeSocket(false);
        useIPv6 = false;
      } else {
        closeSockets();
        return refuse(errPtr, errnoErrorWithReason("Error in bind() function", error));
      }
    }
  }
  flags_ |= kBound;
  if (!useIPv4) flags_ |= kIPv4Deactivated;
  if (!useIPv6) flags_ |= kIPv6Deactivated;
  return true;
}

bool DispatchUdpSocket::bindToAddress(const Bytes& localAddr, DispatchUdpSocketError* errPtr) {
  bool result = false;
  runSync([&] {
    if (!preBind(errPtr)) return;
    int family = familyFromAddress(localAddr);
    if (family == 0) {
      refuse(errPtr, badParamError("A valid IPv4 or IPv6 address was not given"));
      return;
    }
    bool ipv4 = family == AF_INET;
    if (ipv4 && (config_ & kIPv4Disabled)) {
      refuse(errPtr, badParamError("IPv4 has been disabled and an IPv4 address was passed."));
      return;
    }
    if (!ipv4 && (config_ & kIPv6Disabled)) {
      refuse(errPtr, badParamError("IPv6 has been disabled and an IPv6 address was passed."));
      return;
    }
    if (!(flags_ & kSocketsCreated) && !createSocket4(ipv4, !ipv4, errPtr)) return;
    int fd = ipv4 ? socket4FD_ : socket6FD_;
    socklen_t length = ipv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    sockaddr_storage storage = structOf<sockaddr_storage>(localAddr);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
      int error = errno;
      closeSockets();
      refuse(errPtr, errnoErrorWithReason("Error in bind() function", error));
      return;
    }
    flags_ |= kBound | (ipv4 ? kIPv6Deactivated : kIPv4Deactivated);
    result = true;
  });
  return result;
}

// ---- connecting ----

bool DispatchUdpSocket::connectToHost(const std::string& host, uint16_t port, DispatchUdpSocketError* errPtr) {
  bool result = false;
  runSync([&] {
    if (!preConnect(errPtr)) return;
    if (host.empty()) {
      refuse(errPtr, badParamError(kNilHost));
      return;
    }
    if (!(flags_ & kSocketsCreated) && !createSockets(errPtr)) return;
    auto packet = std::make_shared<DispatchUdpSpecialPacket>();
    packet->resolveInProgress = true;
    asyncResolveHost(host, port, [weak = weak_from_this(), packet](auto addresses, auto error) {
      auto self = weak.lock();
      if (!self) return;
      packet->resolveInProgress = false;
      packet->addresses = std::move(addresses);
      packet->error = std::move(error);
      self->maybeConnect();
    });
    flags_ |= kConnecting;
    sendQueue_.push_back(packet);
    maybeDequeueSend();
    result = true;
  });
  return result;
}

bool DispatchUdpSocket::connectToAddress(const Bytes& remoteAddr, DispatchUdpSocketError* errPtr) {
  bool result = false;
  runSync([&] {
    if (!preConnect(errPtr)) return;
    if (remoteAddr.empty()) {
      refuse(errPtr, badParamError("The address param is nil. Should be a valid address."));
      return;
    }
    if (!(flags_ & kSocketsCreated) && !createSockets(errPtr)) return;
    auto packet = std::make_shared<DispatchUdpSpecialPacket>();
    packet->addresses.push_back(remoteAddr);
    flags_ |= kConnecting;
    sendQueue_.push_back(packet);
    maybeDequeueSend();
    result = true;
  });
  return result;
}

void DispatchUdpSocket::maybeConnect() {
  auto packet = std::dynamic_pointer_cast<DispatchUdpSpecialPacket>(currentSend_);
  if (!packet || packet->resolveInProgress) return;
  if (packet->error) {
    notifyDidNotConnect(*packet->error);
  } else {
    Bytes address;
    DispatchUdpSocketError error;
    int family = getAddress(&address, &error, packet->addresses);
    if (family == 0) {
      notifyDidNotConnect(error);
    } else if (connectWithAddress(address, family, &error)) {
      notifyDidConnectToAddress(address);
    } else {
      notifyDidNotConnect(error);
    }
  }
  flags_ &= ~kConnecting;
  endCurrentSend();
  maybeDequeueSend();
}

bool DispatchUdpSocket::connectWithAddress(const Bytes& address, int family, DispatchUdpSocketError* errPtr) {
  bool ipv4 = family == AF_INET;
  int fd = ipv4 ? socket4FD_ : socket6FD_;
  socklen_t length = ipv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  sockaddr_storage storage = structOf<sockaddr_storage>(address);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
    return refuse(errPtr, errnoErrorWithReason("Error in connect() function", errno));
  }
  closeSocket(!ipv4);
  flags_ |= (ipv4 ? kIPv6Deactivated : kIPv4Deactivated) | kBound | kConnected;
  cachedConnectedAddress_ = address.substr(0, length);
  getHost(&cachedConnectedHost_, &cachedConnectedPort_, &cachedConnectedFamily_, cachedConnectedAddress_);
  return true;
}

// ---- multicast and broadcast ----

bool DispatchUdpSocket::joinMulticastGroup(const std::string& group, DispatchUdpSocketError* errPtr) {
  return joinMulticastGroup(group, std::string(), errPtr);
}

bool DispatchUdpSocket::joinMulticastGroup(const std::string& group, const std::string& interface,
                                           DispatchUdpSocketError* errPtr) {
  return syncValue([&] { return performMulticastRequest(true, group, interface, errPtr); });
}

bool DispatchUdpSocket::leaveMulticastGroup(const std::string& group, DispatchUdpSocketError* errPtr) {
  return leaveMulticastGroup(group, std::string(), errPtr);
}

bool DispatchUdpSocket::leaveMulticastGroup(const std::string& group, const std::string& interface,
                                            DispatchUdpSocketError* errPtr) {
  return syncValue([&] { return performMulticastRequest(false, group, interface, errPtr); });
}

bool DispatchUdpSocket::performMulticastRequest(bool join, const std::string& group, const std::string& interface,
                                                DispatchUdpSocketError* errPtr) {
  if (!preJoin(errPtr)) return false;
  Bytes group4;
  Bytes group6;
  convertNumericHost(group, 0, &group4, &group6);
  if (group4.empty() && group6.empty()) {
    return refuse(errPtr, badParamError("Unknown group. Specify valid group IP address."));
  }
  Bytes interface4;
  Bytes interface6;
  convertInterfaceDescription(interface, 0, &interface4, &interface6);
  if (interface4.empty() && interface6.empty()) return refuse(errPtr, badParamError(kUnknownInterface));

  if (socket4FD_ >= 0 && !group4.empty() && !interface4.empty()) {
    ip_mreq request{};
    request.imr_multiaddr = structOf<sockaddr_in>(group4).sin_addr;
    request.imr_interface = structOf<sockaddr_in>(interface4).sin_addr;
    if (setsockopt(socket4FD_, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &request, sizeof request) !=
        0) {
      return refuse(errPtr, errnoErrorWithReason("Error in setsockopt() function", errno));
    }
    closeSocket(false);
    return true;
  }
  if (socket6FD_ >= 0 && !group6.empty() && !interface6.empty()) {
    ipv6_mreq request{};
    request.ipv6mr_multiaddr = structOf<sockaddr_in6>(group6).sin6_addr;
    request.ipv6mr_interface = indexOfInterfaceAddr6(interface6);
    if (setsockopt(socket6FD_, IPPROTO_IPV6, join ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP, &request, sizeof request) !=
        0) {
      return refuse(errPtr, errnoErrorWithReason("Error in setsockopt() function", errno));
    }
    closeSocket(true);
    return true;
  }
  return refuse(errPtr, badParamError("Socket, group, and interface do not have matching IP versions"));
}

bool DispatchUdpSocket::enableBroadcast(bool flag, DispatchUdpSocketError* errPtr) {
  bool result = false;
  runSync([&] {
    if (!preOp(errPtr)) return;
    if (!(flags_ & kSocketsCreated) && !createSockets(errPtr)) return;
    if (socket4FD_ < 0) return;
    int value = flag ? 1 : 0;
    if (setsockopt(socket4FD_, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) != 0) {
      refuse(errPtr, errnoErrorWithReason("Error in setsockopt() function", errno));
      return;
    }
    result = true;
  });
  return result;
}

// ---- sending ----

void DispatchUdpSocket::sendDataWithTag(Bytes data, int64_t tag) { sendDataWithTimeout(std::move(data), -1.0, tag); }

void DispatchUdpSocket::sendDataWithTimeout(Bytes data, double timeout, int64_t tag) {
  if (data.empty()) return;
  enqueueSend(std::make_shared<DispatchUdpSendPacket>(std::move(data), timeout, tag));
}

void DispatchUdpSocket::sendDataToHost(Bytes data, const std::string& host, uint16_t port, double timeout,
                                       int64_t tag) {
  if (data.empty()) return;
  auto packet = std::make_shared<DispatchUdpSendPacket>(std::move(data), timeout, tag);
  packet->resolveInProgress = true;
  asyncResolveHost(host, port, [weak = weak_from_this(), packet](auto addresses, auto error) {
    auto self = weak.lock();
    if (!self) return;
    packet->resolveInProgress = false;
    packet->resolvedAddresses = std::move(addresses);
    packet->resolveError = std::move(error);
    if (self->currentSend_ == packet) self->doPreSend();
  });
  enqueueSend(packet);
}

void DispatchUdpSocket::sendDataToAddress(Bytes data, const Bytes& remoteAddr, double timeout, int64_t tag) {
  if (data.empty()) return;
  auto packet = std::make_shared<DispatchUdpSendPacket>(std::move(data), timeout, tag);
  packet->address = remoteAddr;
  packet->addressFamily = familyFromAddress(remoteAddr);
  enqueueSend(packet);
}

void DispatchUdpSocket::setSendFilter(SendFilter filter, std::shared_ptr<DispatchQueue> filterQueue,
                                      bool isAsynchronous) {
  runAsync([this, filter = std::move(filter), filterQueue = std::move(filterQueue), isAsynchronous] {
    sendFilterBlock_ = filter;
    sendFilterQueue_ = filter ? filterQueue : nullptr;
    sendFilterAsync_ = isAsynchronous;
  });
}

void DispatchUdpSocket::enqueueSend(std::shared_ptr<DispatchUdpPacket> packet) {
  runAsync([this, packet = std::move(packet)] {
    sendQueue_.push_back(packet);
    maybeDequeueSend();
  });
}

void DispatchUdpSocket::maybeDequeueSend() {
  // Finishing an entry advances the queue again from inside this loop: the outer call goes
  // on with the next entry, so a long backlog never nests one call per datagram.
  if (currentSend_ || dequeueing_) return;
  if (!(flags_ & kSocketsCreated)) {
    DispatchUdpSocketError error;
    if (!createSockets(&error)) {
      // Nothing was ever open, so the close below is silent: each waiting entry gets the
      // failure instead of vanishing unreported.
      for (const auto& entry : sendQueue_) {
        if (auto packet = std::dynamic_pointer_cast<DispatchUdpSendPacket>(entry)) {
          notifyDidNotSendDataWithTag(packet->tag, error);
        } else {
          notifyDidNotConnect(error);
        }
      }
      closeWithError(error);
      return;
    }
  }
  {
    dequeueing_ = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{dequeueing_};
    while (!currentSend_ && !sendQueue_.empty()) {
      currentSend_ = sendQueue_.front();
      sendQueue_.pop_front();
      if (std::dynamic_pointer_cast<DispatchUdpSpecialPacket>(currentSend_)) {
        maybeConnect();
        continue;
      }
      auto packet = std::static_pointer_cast<DispatchUdpSendPacket>(currentSend_);
      if (packet->resolveError) {
        notifyDidNotSendDataWithTag(packet->tag, *packet->resolveError);
        currentSend_.reset();
        continue;
      }
      doPreSend();
    }
  }
  if (!currentSend_ && (flags_ & kCloseAfterSending)) closeWithError(std::nullopt);
}

void DispatchUdpSocket::giveUpCurrentSend(const DispatchUdpSocketError& error) {
  auto packet = std::static_pointer_cast<DispatchUdpSendPacket>(currentSend_);
  notifyDidNotSendDataWithTag(packet->tag, error);
  endCurrentSend();
  maybeDequeueSend();
}

void DispatchUdpSocket::doPreSend() {
  auto packet = std::dynamic_pointer_cast<DispatchUdpSendPacket>(currentSend_);
  if (!packet) return;
  if (flags_ & kConnected) {
    // A connected socket sends only to its peer; a datagram meant for anyone else, by host
    // or by address, is refused rather than quietly redirected.
    if (packet->resolveInProgress || !packet->resolvedAddresses.empty() || packet->resolveError ||
        !packet->address.empty()) {
      giveUpCurrentSend(badConfigError("Cannot specify destination of packet for connected socket"));
      return;
    }
    packet->address = cachedConnectedAddress_;
    packet->addressFamily = cachedConnectedFamily_;
  } else if (packet->resolveInProgress) {
    if (flags_ & kSocket4Writable) suspendSendSource(true);
    if (flags_ & kSocket6Writable) suspendSendSource(false);
    return;
  } else if (packet->resolveError) {
    giveUpCurrentSend(*packet->resolveError);
    return;
  } else if (packet->address.empty()) {
    if (packet->resolvedAddresses.empty()) {
      giveUpCurrentSend(badConfigError("You must specify destination of packet for a non-connected socket"));
      return;
    }
    DispatchUdpSocketError error;
    int family = getAddress(&packet->address, &error, packet->resolvedAddresses);
    if (family == 0) {
      giveUpCurrentSend(error);
      return;
    }
    packet->addressFamily = family;
  }

  if (!sendFilterBlock_ || !sendFilterQueue_) {
    doSend();
    return;
  }
  auto filter = sendFilterBlock_;
  if (!sendFilterAsync_) {
    bool send = false;
    sendFilterQueue_->sync(
        [&] { send = runFilterCaught("send", [&] { return filter(packet->buffer, packet->address, packet->tag); }); });
    applySendFilterResult(packet, send);
    return;
  }
  packet->filterInProgress = true;
  sendFilterQueue_->async([weak = weak_from_this(), queue = socketQueue_, filter, packet] {
    bool send = runFilterCaught("send", [&] { return filter(packet->buffer, packet->address, packet->tag); });
    queue->async([weak, packet, send] {
      auto self = weak.lock();
      if (!self) return;
      packet->filterInProgress = false;
      // Closed meanwhile: the datagram is gone with the queue.
      if (self->currentSend_ == packet) self->applySendFilterResult(packet, send);
    });
  });
}

void DispatchUdpSocket::applySendFilterResult(const std::shared_ptr<DispatchUdpSendPacket>& packet, bool send) {
  if (send) {
    doSend();
    return;
  }
  notifyDidSendDataWithTag(packet->tag);
  endCurrentSend();
  maybeDequeueSend();
}

void DispatchUdpSocket::doSend() {
  auto packet = std::static_pointer_cast<DispatchUdpSendPacket>(currentSend_);
  bool ipv4 = packet->addressFamily == AF_INET;
  int fd = ipv4 ? socket4FD_ : socket6FD_;
  ssize_t result;
  if (flags_ & kConnected) {
    result = ::send(fd, packet->buffer.data(), packet->buffer.size(), MSG_NOSIGNAL);
  } else {
    socklen_t length = ipv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    sockaddr_storage storage = structOf<sockaddr_storage>(packet->address);
    result = ::sendto(fd, packet->buffer.data(), packet->buffer.size(), MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&storage), length);
  }
  int error = errno;
  // The system gives an unbound descriptor a local port on its first send.
  flags_ |= kBound;

  if (result > 0) {
    notifyDidSendDataWithTag(packet->tag);
    endCurrentSend();
    maybeDequeueSend();
    return;
  }
  if (result < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
    // One unreachable destination (or a refused broadcast) costs that datagram only; the
    // socket and the datagrams behind it carry on.
    giveUpCurrentSend(errnoErrorWithReason("Error in send() function.", error));
    return;
  }
  flags_ &= ~(ipv4 ? kSocket4Writable : kSocket6Writable);
  if (!(flags_ & kSocket4Writable)) resumeSendSource(true);
  if (!(flags_ & kSocket6Writable)) resumeSendSource(false);
  if (!sendTimer_ && packet->timeout >= 0.0) setupSendTimerWithTimeout(packet->timeout);
}

void DispatchUdpSocket::endCurrentSend() {
  if (sendTimer_) {
    sendTimer_->cancel();
    sendTimer_.reset();
  }
  currentSend_.reset();
}

void DispatchUdpSocket::doSendTimeout() {
  if (!std::dynamic_pointer_cast<DispatchUdpSendPacket>(currentSend_)) return;
  giveUpCurrentSend(sendTimeoutError());
}

void DispatchUdpSocket::setupSendTimerWithTimeout(double timeout) {
  auto delay = std::chrono::nanoseconds(static_cast<int64_t>(timeout * 1e9));
  sendTimer_ = DispatchSource::makeTimer(delay, std::chrono::nanoseconds(0), socketQueue_);
  sendTimer_->setEventHandler([weak = weak_from_this(), timer = sendTimer_.get()] {
    auto self = weak.lock();
    if (self && self->sendTimer_.get() == timer) self->doSendTimeout();
  });
  sendTimer_->resume();
}

void DispatchUdpSocket::handleWritable(bool ipv4, const DispatchSource* source) {
  if ((ipv4 ? send4Source_ : send6Source_).get() != source) return;
  flags_ |= ipv4 ? kSocket4Writable : kSocket6Writable;
  auto packet = std::dynamic_pointer_cast<DispatchUdpSendPacket>(currentSend_);
  if (packet && !packet->resolveInProgress && !packet->filterInProgress) {
    doSend();
  } else {
    suspendSendSource(ipv4);
  }
}

// ---- receiving ----

bool DispatchUdpSocket::receiveOnce(DispatchUdpSocketError* errPtr) {
  return startReceiving(kReceivingOnce, kReceivingContinuously, errPtr);
}

bool DispatchUdpSocket::beginReceiving(DispatchUdpSocketError* errPtr) {
  return startReceiving(kReceivingContinuously, kReceivingOnce, errPtr);
}

bool DispatchUdpSocket::startReceiving(uint32_t mode, uint32_t otherMode, DispatchUdpSocketError* errPtr) {
  bool result = false;
  runSync([&] {
    if (flags_ & mode) {
      result = true;
      return;
    }
    if (!(flags_ & kSocketsCreated)) {
      refuse(errPtr, badConfigError("Must bind socket before you can receive data. You can do this explicitly via "
                                    "bind, or implicitly via connect or by sending data."));
      return;
    }
    flags_ = (flags_ | mode) & ~otherMode;
    scheduleReceive();
    result = true;
  });
  return result;
}

void DispatchUdpSocket::scheduleReceive() {
  socketQueue_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->doReceive();
  });
}

void DispatchUdpSocket::pauseReceiving() {
  runAsync([this] {
    flags_ &= ~(kReceivingOnce | kReceivingContinuously);
    if (socket4FDReadable_) suspendReceiveSource(true);
    if (socket6FDReadable_) suspendReceiveSource(false);
  });
}

void DispatchUdpSocket::setReceiveFilter(ReceiveFilter filter, std::shared_ptr<DispatchQueue> filterQueue,
                                         bool isAsynchronous) {
  runAsync([this, filter = std::move(filter), filterQueue = std::move(filterQueue), isAsynchronous] {
    receiveFilterBlock_ = filter;
    receiveFilterQueue_ = filter ? filterQueue : nullptr;
    receiveFilterAsync_ = isAsynchronous;
  });
}

void DispatchUdpSocket::handleReadable(bool ipv4, const DispatchSource* source) {
  if ((ipv4 ? receive4Source_ : receive6Source_).get() != source) return;
  // A UDP descriptor has no end of file: readable means a datagram waits, even an empty
  // one, so the receive step always runs.
  (ipv4 ? socket4FDReadable_ : socket6FDReadable_) = true;
  doReceive();
}

void DispatchUdpSocket::doReceive() {
  for (int burst = 0;; ++burst) {
    bool once = flags_ & kReceivingOnce;
    if (!(flags_ & (kReceivingOnce | kReceivingContinuously)) || (once && pendingFilterOperations_ > 0)) {
      // Nobody wants data now: the datagrams stay with the system until somebody does.
      if (socket4FDReadable_) suspendReceiveSource(true);
      if (socket6FDReadable_) suspendReceiveSource(false);
      return;
    }
    if (!socket4FDReadable_ && !socket6FDReadable_) {
      resumeReceiveSource(true);
      resumeReceiveSource(false);
      return;
    }
    if (burst == kReceiveBurst) {
      scheduleReceive();
      return;
    }

    bool ipv4;
    if (flags_ & kConnected) {
      ipv4 = socket4FD_ >= 0;
    } else if (socket4FDReadable_ && socket6FDReadable_) {
      ipv4 = flags_ & kReceiveFromIPv4Next;
      flags_ ^= kReceiveFromIPv4Next;
    } else {
      ipv4 = socket4FDReadable_;
    }
    int fd = ipv4 ? socket4FD_ : socket6FD_;
    size_t size = std::min<size_t>(ipv4 ? max4ReceiveSize_ : max6ReceiveSize_, kLargestDatagram);
    Bytes data(size, '\0');
    sockaddr_storage storage{};
    socklen_t addressLength = sizeof storage;
    // MSG_TRUNC answers the datagram's real length, so a cut datagram is recognised.
    ssize_t result =
        ::recvfrom(fd, data.data(), data.size(), MSG_TRUNC, reinterpret_cast<sockaddr*>(&storage), &addressLength);
    if (result < 0) {
      int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        (ipv4 ? socket4FDReadable_ : socket6FDReadable_) = false;
        if (!socket4FDReadable_) resumeReceiveSource(true);
        if (!socket6FDReadable_) resumeReceiveSource(false);
        continue;
      }
      // EINTR, or a port-unreachable reported for an earlier send of a connected socket:
      // nothing was read and the descriptor is fine.
      if (error == EINTR || error == ECONNREFUSED) continue;
      closeWithError(errnoErrorWithReason("Error in recvfrom() function", error));
      return;
    }

    bool delivered = false;
    if (result == 0) {
      // An empty datagram carries nothing to deliver.
    } else if (static_cast<size_t>(result) > size) {
      droppedDatagramLog().log("DispatchUdpSocket: dropped a datagram of {} bytes, longer than the receive limit of {}",
                               result, size);
    } else {
      data.resize(static_cast<size_t>(result));
      Bytes address = bytesOf(&storage, addressLength);
      if ((flags_ & kConnected) && !isConnectedToAddress(address)) {
        // Not from our peer.
      } else if (!receiveFilterBlock_ || !receiveFilterQueue_) {
        notifyDidReceiveData(data, address, std::any());
        delivered = true;
      } else if (!receiveFilterAsync_) {
        std::any context;
        bool pass = false;
        auto filter = receiveFilterBlock_;
        receiveFilterQueue_->sync(
            [&] { pass = runFilterCaught("receive", [&] { return filter(data, address, context); }); });
        if (pass) {
          notifyDidReceiveData(data, address, context);
          delivered = true;
        }
      } else {
        ++pendingFilterOperations_;
        receiveFilterQueue_->async([weak = weak_from_this(), queue = socketQueue_, filter = receiveFilterBlock_,
                                    data = std::move(data), address = std::move(address)] {
          std::any context;
          bool pass = runFilterCaught("receive", [&] { return filter(data, address, context); });
          queue->async([weak, pass, data, address, context] {
            if (auto self = weak.lock()) self->finishFilteredReceive(pass, data, address, context);
          });
        });
        if (flags_ & kReceivingOnce) return;  // the filter's answer decides
        continue;
      }
    }
    if ((flags_ & kReceivingOnce) && delivered) {
      flags_ &= ~kReceivingOnce;
      return;
    }
  }
}

void DispatchUdpSocket::finishFilteredReceive(bool deliver, const Bytes& data, const Bytes& address,
                                              const std::any& context) {
  if (pendingFilterOperations_ > 0) --pendingFilterOperations_;
  if (deliver) notifyDidReceiveData(data, address, context);
  if (flags_ & kReceivingOnce) {
    if (deliver) {
      flags_ &= ~kReceivingOnce;
    } else if (pendingFilterOperations_ == 0) {
      doReceive();
    }
  }
}

// ---- closing ----

void DispatchUdpSocket::close() {
  runSync([this] { closeWithError(std::nullopt); });
}

void DispatchUdpSocket::closeAfterSending() {
  runAsync([this] {
    flags_ |= kCloseAfterSending;
    if (!currentSend_ && sendQueue_.empty()) closeWithError(std::nullopt);
  });
}

void DispatchUdpSocket::closeWithError(const std::optional<DispatchUdpSocketError>& error) {
  if (currentSend_) endCurrentSend();
  sendQueue_.clear();
  bool wasOpen = flags_ & kSocketsCreated;
  closeSockets();
  flags_ = 0;
  cachedConnectedAddress_.clear();
  cachedConnectedHost_.clear();
  cachedConnectedPort_ = 0;
  cachedConnectedFamily_ = 0;
  if (wasOpen) notifyDidCloseWithError(error);
}

// ---- raw access and address helpers ----

void DispatchUdpSocket::performBlock(const std::function<void()>& block) { runSync(block); }

int DispatchUdpSocket::socketFD() {
  if (!socketQueue_->isCurrent()) return -1;
  return socket4FD_ >= 0 ? socket4FD_ : socket6FD_;
}

int DispatchUdpSocket::socket4FD() { return socketQueue_->isCurrent() ? socket4FD_ : -1; }

int DispatchUdpSocket::socket6FD() { return socketQueue_->isCurrent() ? socket6FD_ : -1; }

std::string DispatchUdpSocket::hostFromAddress(const Bytes& address) {
  std::string host;
  getHost(&host, nullptr, nullptr, address);
  return host;
}

uint16_t DispatchUdpSocket::portFromAddress(const Bytes& address) {
  uint16_t port = 0;
  getHost(nullptr, &port, nullptr, address);
  return port;
}

int DispatchUdpSocket::familyFromAddress(const Bytes& address) {
  int family = 0;
  getHost(nullptr, nullptr, &family, address);
  return family;
}

bool DispatchUdpSocket::isIPv4Address(const Bytes& address) { return familyFromAddress(address) == AF_INET; }

bool DispatchUdpSocket::isIPv6Address(const Bytes& address) { return familyFromAddress(address) == AF_INET6; }

bool DispatchUdpSocket::getHost(std::string* hostPtr, uint16_t* portPtr, const Bytes& address) {
  return getHost(hostPtr, portPtr, nullptr, address);
}

bool DispatchUdpSocket::getHost(std::string* hostPtr, uint16_t* portPtr, int* familyPtr, const Bytes& address) {
  sa_family_t family = 0;
  if (address.size() >= sizeof family)
    std::memcpy(&family, address.data() + offsetof(sockaddr, sa_family), sizeof family);
  std::string host;
  uint16_t port = 0;
  int result = 0;
  if (family == AF_INET && address.size() >= sizeof(sockaddr_in)) {
    auto in = structOf<sockaddr_in>(address);
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &in.sin_addr, text, sizeof text)) host = text;
    port = ntohs(in.sin_port);
    result = AF_INET;
  } else if (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
    auto in6 = structOf<sockaddr_in6>(address);
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text)) host = text;
    port = ntohs(in6.sin6_port);
    result = AF_INET6;
  }
  if (hostPtr) *hostPtr = host;
  if (portPtr) *portPtr = port;
  if (familyPtr) *familyPtr = result;
  return result != 0;
}

}  // namespace velbor
