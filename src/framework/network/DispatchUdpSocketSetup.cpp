#include "framework/network/DispatchUdpSocket.h"

#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/network/DispatchUdpSpecialPacket.h"
#include "platform/Dispatch.h"

namespace velbor {

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

}  // namespace velbor
