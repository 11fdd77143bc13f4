#pragma once

#include <algorithm>
#include <any>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "framework/network/DispatchUdpSocketDelegate.h"
#include "framework/network/DispatchUdpSocketError.h"

struct in_addr;
struct in6_addr;

namespace velbor {

class DispatchQueue;
class DispatchSource;
class DispatchUdpPacket;
class DispatchUdpSendPacket;
class LogRateLimiter;

inline constexpr const char* DispatchUdpSocketException = "DispatchUdpSocketException";
inline constexpr const char* DispatchUdpSocketQueueName = "DispatchUdpSocket";
inline constexpr const char* DispatchUdpSocketThreadName = "DispatchUdpSocket-CFStream";

// One UDP endpoint (an IPv4 descriptor, an IPv6 descriptor or both) whose whole state lives
// on a serial socket queue, reporting to a delegate on the owner's delegate queue.
// Every operation may be called from any thread; called on the socket queue it runs inline.
// Failures come back as DispatchUdpSocketError values, never as exceptions.
// Addresses are the bytes of a sockaddr_in or sockaddr_in6, in network byte order.
class DispatchUdpSocket : public std::enable_shared_from_this<DispatchUdpSocket> {
  struct Passkey {};

 public:
  using Bytes = std::string;
  // (payload, sender, context slot): true delivers the datagram with what the filter put
  // in the slot, false drops it.
  using ReceiveFilter = std::function<bool(const Bytes& data, const Bytes& address, std::any& context)>;
  // (payload, destination, tag): true sends, false drops (reported as sent).
  using SendFilter = std::function<bool(const Bytes& data, const Bytes& address, int64_t tag)>;

  // Without a socket queue the socket makes its own, labelled "DispatchUdpSocket".
  static std::shared_ptr<DispatchUdpSocket> create(std::weak_ptr<DispatchUdpSocketDelegate> delegate = {},
                                                   std::shared_ptr<DispatchQueue> delegateQueue = nullptr,
                                                   std::shared_ptr<DispatchQueue> socketQueue = nullptr);
  DispatchUdpSocket(Passkey, std::weak_ptr<DispatchUdpSocketDelegate> delegate,
                    std::shared_ptr<DispatchQueue> delegateQueue, std::shared_ptr<DispatchQueue> socketQueue);
  // Closes the descriptors without reporting to the delegate.
  ~DispatchUdpSocket();
  DispatchUdpSocket(const DispatchUdpSocket&) = delete;
  DispatchUdpSocket& operator=(const DispatchUdpSocket&) = delete;

  // Delegate and delegate queue.
  std::shared_ptr<DispatchUdpSocketDelegate> delegate();
  std::shared_ptr<DispatchQueue> delegateQueue();
  void setDelegate(std::weak_ptr<DispatchUdpSocketDelegate> delegate, bool synchronously = false);
  void synchronouslySetDelegate(std::weak_ptr<DispatchUdpSocketDelegate> delegate);
  void setDelegateQueue(std::shared_ptr<DispatchQueue> queue, bool synchronously = false);
  void synchronouslySetDelegateQueue(std::shared_ptr<DispatchQueue> queue);
  void getDelegate(std::shared_ptr<DispatchUdpSocketDelegate>* delegate, std::shared_ptr<DispatchQueue>* queue);
  void setDelegate(std::weak_ptr<DispatchUdpSocketDelegate> delegate, std::shared_ptr<DispatchQueue> queue,
                   bool synchronously);
  void synchronouslySetDelegate(std::weak_ptr<DispatchUdpSocketDelegate> delegate,
                                std::shared_ptr<DispatchQueue> queue);

  // Configuration.
  bool isIPv4Enabled();
  void setIPv4Enabled(bool flag);
  bool isIPv6Enabled();
  void setIPv6Enabled(bool flag);
  bool isIPv4Preferred();
  bool isIPv6Preferred();
  bool isIPVersionNeutral();
  void setPreferIPv4();
  void setPreferIPv6();
  void setIPVersionNeutral();
  uint16_t maxReceiveIPv4BufferSize();
  void setMaxReceiveIPv4BufferSize(uint16_t max);
  uint32_t maxReceiveIPv6BufferSize();
  void setMaxReceiveIPv6BufferSize(uint32_t max);
  std::any userData();
  void setUserData(std::any userData);

  // Local and peer addresses.
  Bytes localAddress();
  std::string localHost();
  uint16_t localPort();
  Bytes localAddress_IPv4();
  std::string localHost_IPv4();
  uint16_t localPort_IPv4();
  Bytes localAddress_IPv6();
  std::string localHost_IPv6();
  uint16_t localPort_IPv6();
  Bytes connectedAddress();
  std::string connectedHost();
  uint16_t connectedPort();
  bool isConnected();
  // True before the first bind, connect, send or broadcast switch, and after close.
  bool isClosed();
  bool isIPv4();
  bool isIPv6();

  // Set-up. An empty interface means the wildcard addresses; "localhost" or "loopback"
  // the loopback addresses; otherwise an interface name or a numeric address.
  bool bindToPort(uint16_t port, DispatchUdpSocketError* errPtr = nullptr);
  bool bindToPort(uint16_t port, const std::string& interface, DispatchUdpSocketError* errPtr = nullptr);
  bool bindToAddress(const Bytes& localAddr, DispatchUdpSocketError* errPtr = nullptr);
  bool connectToHost(const std::string& host, uint16_t port, DispatchUdpSocketError* errPtr = nullptr);
  bool connectToAddress(const Bytes& remoteAddr, DispatchUdpSocketError* errPtr = nullptr);
  bool joinMulticastGroup(const std::string& group, DispatchUdpSocketError* errPtr = nullptr);
  bool joinMulticastGroup(const std::string& group, const std::string& interface,
                          DispatchUdpSocketError* errPtr = nullptr);
  bool leaveMulticastGroup(const std::string& group, DispatchUdpSocketError* errPtr = nullptr);
  bool leaveMulticastGroup(const std::string& group, const std::string& interface,
                           DispatchUdpSocketError* errPtr = nullptr);
  bool enableBroadcast(bool flag, DispatchUdpSocketError* errPtr = nullptr);

  // Sending: queued, sent one at a time in order, each answered once to the delegate.
  // Empty data is ignored. A negative time-out waits for the descriptor without limit.
  void sendDataWithTag(Bytes data, int64_t tag);
  void sendDataWithTimeout(Bytes data, double timeout, int64_t tag);
  void sendDataToHost(Bytes data, const std::string& host, uint16_t port, double timeout, int64_t tag);
  void sendDataToAddress(Bytes data, const Bytes& remoteAddr, double timeout, int64_t tag);
  void setSendFilter(SendFilter filter, std::shared_ptr<DispatchQueue> filterQueue, bool isAsynchronous = true);

  // Receiving.
  bool receiveOnce(DispatchUdpSocketError* errPtr = nullptr);
  bool beginReceiving(DispatchUdpSocketError* errPtr = nullptr);
  void pauseReceiving();
  void setReceiveFilter(ReceiveFilter filter, std::shared_ptr<DispatchQueue> filterQueue, bool isAsynchronous = true);

  // Closing: drops the send queue, closes the descriptors and reports once.
  void close();
  void closeAfterSending();

  // Runs `block` on the socket queue and waits for it.
  void performBlock(const std::function<void()>& block);
  // The raw descriptors, only on the socket queue; -1 elsewhere.
  int socketFD();
  int socket4FD();
  int socket6FD();

  static std::string hostFromAddress(const Bytes& address);
  static uint16_t portFromAddress(const Bytes& address);
  static int familyFromAddress(const Bytes& address);
  static bool isIPv4Address(const Bytes& address);
  static bool isIPv6Address(const Bytes& address);
  static bool getHost(std::string* hostPtr, uint16_t* portPtr, const Bytes& address);
  static bool getHost(std::string* hostPtr, uint16_t* portPtr, int* familyPtr, const Bytes& address);

 private:
  // Bits of flags_, the socket's state.
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
  // Bits of config_, the owner's choices.
  enum Config : uint16_t {
    kIPv4Disabled = 1 << 0,
    kIPv6Disabled = 1 << 1,
    kPreferIPv4 = 1 << 2,
    kPreferIPv6 = 1 << 3,
  };
  static constexpr const char* kUnknownInterface =
      "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.";
  static constexpr const char* kNilHost = "The host param is nil. Should be domain name or IP address string.";

  using ResolveCompletion = std::function<void(std::vector<Bytes> addresses, std::optional<DispatchUdpSocketError>)>;

  void runSync(const std::function<void()>& body);
  // What `body` answers when run by runSync.
  template <typename F>
  std::invoke_result_t<F&> syncValue(F&& body);
  void runAsync(std::function<void()> body);

  void notifyDidConnectToAddress(const Bytes& address);
  void notifyDidNotConnect(const DispatchUdpSocketError& error);
  void notifyDidSendDataWithTag(int64_t tag);
  void notifyDidNotSendDataWithTag(int64_t tag, const DispatchUdpSocketError& error);
  void notifyDidReceiveData(const Bytes& data, const Bytes& address, const std::any& context);
  void notifyDidCloseWithError(const std::optional<DispatchUdpSocketError>& error);
  void notify(std::function<void(DispatchUdpSocketDelegate&, const std::shared_ptr<DispatchUdpSocket>&)> call);

  static DispatchUdpSocketError badConfigError(const std::string& message);
  static DispatchUdpSocketError badParamError(const std::string& message);
  static DispatchUdpSocketError gaiError(int gaiCode);
  static DispatchUdpSocketError errnoErrorWithReason(const std::string& reason, int error);
  static DispatchUdpSocketError sendTimeoutError();
  static DispatchUdpSocketError socketClosedError();
  static DispatchUdpSocketError otherError(const std::string& message);

  // Stores `error` where the caller asked for it; false, so that a check can return it.
  static bool refuse(DispatchUdpSocketError* errPtr, DispatchUdpSocketError error);
  static Bytes bytesOf(const void* data, size_t length);
  // A socket address structure copied out of address bytes, zero-filled where they are short.
  template <typename T>
  static T structOf(const Bytes& bytes);
  static Bytes address4(const in_addr& addr, uint16_t port);
  static Bytes address6(const in6_addr& addr, uint16_t port);
  // Lines about datagrams that anyone on the network can send: bounded, so a flood of them
  // cannot fill the disk. Never destroyed: queue threads may still log during exit.
  static LogRateLimiter& droppedDatagramLog();
  // What a send or receive filter answers; false when it raised (logged).
  static bool runFilterCaught(const char* what, const std::function<bool()>& filter);

  bool preOp(DispatchUdpSocketError* errPtr);
  bool preBind(DispatchUdpSocketError* errPtr);
  bool preConnect(DispatchUdpSocketError* errPtr);
  bool preJoin(DispatchUdpSocketError* errPtr);
  void asyncResolveHost(const std::string& host, uint16_t port, ResolveCompletion completion);
  int getAddress(Bytes* addressPtr, DispatchUdpSocketError* errorPtr, const std::vector<Bytes>& addresses);
  static void convertInterfaceDescription(const std::string& interface, uint16_t port, Bytes* address4Ptr,
                                          Bytes* address6Ptr);
  static void convertNumericHost(const std::string& numericHost, uint16_t port, Bytes* address4Ptr, Bytes* address6Ptr);
  bool isConnectedToAddress(const Bytes& address);
  static unsigned indexOfInterfaceAddr6(const Bytes& address);

  bool setupSendAndReceiveSources(bool ipv4, DispatchUdpSocketError* errPtr);
  int createSocket(int family, DispatchUdpSocketError* errPtr);
  bool createSocket4(bool useIPv4, bool useIPv6, DispatchUdpSocketError* errPtr);
  bool createSockets(DispatchUdpSocketError* errPtr);
  void setSourceSuspended(const std::shared_ptr<DispatchSource>& source, uint32_t bit, bool suspended);
  void suspendSendSource(bool ipv4);
  void resumeSendSource(bool ipv4);
  void suspendReceiveSource(bool ipv4);
  void resumeReceiveSource(bool ipv4);
  void closeSocket(bool ipv4);
  void closeSockets();
  void maybeUpdateCachedLocalAddressInfo(bool ipv4);
  void maybeUpdateCachedConnectedAddressInfo();
  // Copies one cached address field on the socket queue after filling the cache: the local
  // one of IPv4 (true) or IPv6 (false), or without a version the connected peer's.
  template <typename T>
  T cachedAddressInfo(std::optional<bool> localIPv4, const T& field);
  // The same for the local field of whichever version the socket uses, IPv4 first.
  template <typename T>
  T cachedLocalInfo(const T& field4, const T& field6);

  bool bind(uint16_t port, const std::string& interface, DispatchUdpSocketError* errPtr);
  void maybeConnect();
  bool connectWithAddress(const Bytes& address, int family, DispatchUdpSocketError* errPtr);
  bool performMulticastRequest(bool join, const std::string& group, const std::string& interface,
                               DispatchUdpSocketError* errPtr);

  void enqueueSend(std::shared_ptr<DispatchUdpPacket> packet);
  void maybeDequeueSend();
  void doPreSend();
  void giveUpCurrentSend(const DispatchUdpSocketError& error);
  void applySendFilterResult(const std::shared_ptr<DispatchUdpSendPacket>& packet, bool send);
  void doSend();
  void endCurrentSend();
  void doSendTimeout();
  void setupSendTimerWithTimeout(double timeout);

  void handleWritable(bool ipv4, const DispatchSource* source);
  void handleReadable(bool ipv4, const DispatchSource* source);
  // Sets one receive mode (clearing the other) once the sockets exist.
  bool startReceiving(uint32_t mode, uint32_t otherMode, DispatchUdpSocketError* errPtr);
  void scheduleReceive();
  void doReceive();
  void finishFilteredReceive(bool deliver, const Bytes& data, const Bytes& address, const std::any& context);
  void closeWithError(const std::optional<DispatchUdpSocketError>& error);

  std::weak_ptr<DispatchUdpSocketDelegate> delegate_;
  std::shared_ptr<DispatchQueue> delegateQueue_;
  ReceiveFilter receiveFilterBlock_;
  std::shared_ptr<DispatchQueue> receiveFilterQueue_;
  bool receiveFilterAsync_ = false;
  SendFilter sendFilterBlock_;
  std::shared_ptr<DispatchQueue> sendFilterQueue_;
  bool sendFilterAsync_ = false;
  uint32_t flags_ = 0;
  uint16_t config_ = 0;
  uint16_t max4ReceiveSize_ = 9216;
  uint32_t max6ReceiveSize_ = 9216;
  int socket4FD_ = -1;
  int socket6FD_ = -1;
  std::shared_ptr<DispatchQueue> socketQueue_;
  std::shared_ptr<DispatchSource> send4Source_;
  std::shared_ptr<DispatchSource> send6Source_;
  std::shared_ptr<DispatchSource> receive4Source_;
  std::shared_ptr<DispatchSource> receive6Source_;
  std::shared_ptr<DispatchSource> sendTimer_;
  std::shared_ptr<DispatchUdpPacket> currentSend_;
  std::deque<std::shared_ptr<DispatchUdpPacket>> sendQueue_;
  // maybeDequeueSend() is running further up the stack.
  bool dequeueing_ = false;
  // Whether the read source said the descriptor has something to read (a datagram, maybe an
  // empty one) that has not been read yet.
  bool socket4FDReadable_ = false;
  bool socket6FDReadable_ = false;
  uint32_t pendingFilterOperations_ = 0;
  Bytes cachedLocalAddress4_;
  std::string cachedLocalHost4_;
  uint16_t cachedLocalPort4_ = 0;
  Bytes cachedLocalAddress6_;
  std::string cachedLocalHost6_;
  uint16_t cachedLocalPort6_ = 0;
  Bytes cachedConnectedAddress_;
  std::string cachedConnectedHost_;
  uint16_t cachedConnectedPort_ = 0;
  int cachedConnectedFamily_ = 0;
  std::any userData_;
};

template <typename F>
std::invoke_result_t<F&> DispatchUdpSocket::syncValue(F&& body) {
  std::invoke_result_t<F&> result{};
  runSync([&] { result = body(); });
  return result;
}

template <typename T>
T DispatchUdpSocket::structOf(const Bytes& bytes) {
  T value{};
  std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof value));
  return value;
}

}  // namespace velbor
