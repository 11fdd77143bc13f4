#include "framework/network/DispatchUdpSocket.h"

#include <chrono>
#include <exception>

#include <netdb.h>

#include "platform/Dispatch.h"
#include "platform/LogRateLimiter.h"
#include "platform/QoLog.h"

namespace velbor {

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

void DispatchUdpSocket::runAsync(std::function<void()> body) {
  if (socketQueue_->isCurrent()) {
    body();
    return;
  }
  socketQueue_->async([weak = weak_from_this(), body = std::move(body)] {
    if (auto self = weak.lock()) body();
  });
}

// ---- helpers of every part ----

auto DispatchUdpSocket::bytesOf(const void* data, size_t length) -> Bytes {
  return Bytes(static_cast<const char*>(data), length);
}

bool DispatchUdpSocket::refuse(DispatchUdpSocketError* errPtr, DispatchUdpSocketError error) {
  if (errPtr) *errPtr = std::move(error);
  return false;
}

LogRateLimiter& DispatchUdpSocket::droppedDatagramLog() {
  static auto* limiter = new LogRateLimiter("DispatchUdpSocket: dropped datagrams", 10, std::chrono::minutes(1));
  return *limiter;
}

bool DispatchUdpSocket::runFilterCaught(const char* what, const std::function<bool()>& filter) {
  try {
    return filter();
  } catch (const std::exception& e) {
    droppedDatagramLog().log("*** DispatchUdpSocket {} filter: {}", what, e.what());
  } catch (...) {
    droppedDatagramLog().log("*** DispatchUdpSocket {} filter: unknown exception", what);
  }
  return false;
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

// ---- raw access ----

void DispatchUdpSocket::performBlock(const std::function<void()>& block) { runSync(block); }

int DispatchUdpSocket::socketFD() {
  if (!socketQueue_->isCurrent()) return -1;
  return socket4FD_ >= 0 ? socket4FD_ : socket6FD_;
}

int DispatchUdpSocket::socket4FD() { return socketQueue_->isCurrent() ? socket4FD_ : -1; }

int DispatchUdpSocket::socket6FD() { return socketQueue_->isCurrent() ? socket6FD_ : -1; }

}  // namespace velbor
