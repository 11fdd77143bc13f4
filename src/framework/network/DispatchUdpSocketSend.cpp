#include "framework/network/DispatchUdpSocket.h"

#include <cerrno>
#include <chrono>

#include <netinet/in.h>
#include <sys/socket.h>

#include "framework/network/DispatchUdpSendPacket.h"
#include "framework/network/DispatchUdpSpecialPacket.h"
#include "platform/Dispatch.h"

namespace velbor {

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

}  // namespace velbor
