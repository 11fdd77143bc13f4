#include "framework/network/DispatchUdpSocket.h"

#include <algorithm>
#include <cerrno>

#include <sys/socket.h>

#include "platform/Dispatch.h"
#include "platform/LogRateLimiter.h"

namespace velbor {

namespace {

// A datagram can never be longer than this, whatever receive limit is configured.
constexpr size_t kLargestDatagram = 65536;
// Datagrams read in one go before the socket queue gets a turn for other work.
constexpr int kReceiveBurst = 64;

}  // namespace

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

}  // namespace velbor
