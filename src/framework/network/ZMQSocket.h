#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <zmq.h>

#include "framework/network/DispatchUdpSocketDelegate.h"
#include "framework/network/ZMQFrameCounter.h"
#include "framework/network/ZMQFrameGuard.h"

namespace velbor {

class DispatchUdpSocket;
class ZMQAddress;
class ZMQContext;
class ZMQFrameGuard;
class ZMQSendAccount;

// One ZeroMQ socket of a ZMQContext. Made only by ZMQContext::socketWithType; used by one
// thread at a time. Failures are logged and raised as ZMQException, except a failed send,
// which answers false. Once closed (by close() or its context's terminate()) every
// operation raises ZMQException with ENOTSOCK, or ETERM when the context is terminated;
// only close() itself and the state getters stay harmless.
// A socket of type ZMQ_UDP is a plain IPv4 UDP descriptor instead; its operations raise
// ZMQException with the system's errno. It is the delegate of the asynchronous socket it
// broadcasts through, so it must be held by a std::shared_ptr (as socketWithType does).
class ZMQSocket : public DispatchUdpSocketDelegate, public std::enable_shared_from_this<ZMQSocket> {
 public:
  // Our own type next to ZeroMQ's 0-8: a plain UDP socket behind the same object.
  static constexpr int ZMQ_UDP = 100;
  // Bounds of one received message, so a peer cannot make us hold more than the protocol
  // ever needs. The largest message is a FindResponse page of up to 10,000 records: about
  // 45 MiB even if every path were 4 KiB long, and the schema's parser refuses a body above
  // 64 MiB anyway; file parts are at most 1 MiB. Around the body travel a header of a few
  // hundred bytes, routing identities and a user-info frame. 64 MiB + 1 MiB keeps clear of
  // every legitimate message. Over tcp it also bounds each frame (ZMQ_MAXMSGSIZE; a peer
  // sending a larger frame is disconnected); ZMQMessage::recvFromSocket bounds the whole.
  static constexpr int64_t kMaxNetworkMessageSize = (64 + 1) * 1024 * 1024;
  // Frames of one received message: two routing identities with their empty frames, the
  // header, the body and a user-info frame make at most 7; anything beyond 16 is no
  // message of ours.
  static constexpr size_t kMaxMessageFrames = 16;
  // Messages queued per peer connection in each direction (ZMQ_RCVHWM, ZMQ_SNDHWM) on
  // sockets that face the network, instead of ZeroMQ's 1000. Requests and replies go one at
  // a time or a few dozen in a fetch window, drained as they come; a full queue only holds
  // the sender back (a router or publisher drops for a peer that stopped reading). It counts
  // whole messages: ZeroMQ bounds neither the frames of a message nor what it holds of one
  // that never ends, so a socket toward a peer that is not trusted bounds its time (or the
  // bytes its connection brings) itself.
  static constexpr int kNetworkHighWaterMark = 8;
  // Replies a router queues for one peer connection; a fetcher keeps at most half this many
  // requests outstanding on one, so that every answer fits while it is not reading. Enough
  // for three batches of small files in flight (fewer kept the peer's workers idle between
  // answers); large parts are held to 16 MiB a fetcher by its window.
  static constexpr int kRouterReplyHighWaterMark = 256;
  // Linger of a socket that does not set its own, so terminating a context never waits
  // forever for a peer that is gone.
  static constexpr int kDefaultLingerMs = 1000;
  // Receive buffer of ZMQ_UDP: larger than any UDP datagram can be.
  static constexpr size_t kMaxUdpDatagramSize = 65536;

  static std::string nameForSocketType(int type);

  ZMQSocket(const std::shared_ptr<ZMQContext>& context, void* contextHandle, int type);
  ~ZMQSocket();
  ZMQSocket(const ZMQSocket&) = delete;
  ZMQSocket& operator=(const ZMQSocket&) = delete;

  // Closes the socket once; later calls do nothing.
  void close();
  // Drops what is still queued to send and closes the socket, so terminating its context
  // does not wait for a peer; the socket is closed even when the option cannot be set.
  void closeWithoutLinger();
  std::string description() const;

  bool setData(std::string_view data, int option);
  std::optional<std::string> dataForOption(int option);

  bool bindToEndpoint(const std::string& endpoint);
  // A tcp endpoint goes through the socket's frame guard when it has one.
  bool connectToEndpoint(const std::string& endpoint);
  bool disconnectToEndpoint(const std::string& endpoint);
  // From now on every tcp connection this socket makes goes through a ZMQFrameGuard that cuts
  // it as soon as the far side sends a message beyond `bounds`: what a host can make the
  // socket hold is then counted in frames as well as bytes. Set before connecting; `name`
  // tells in the log whose connections were cut; `answersOnly` as ZMQFrameGuard takes it.
  void guardConnections(const std::string& name, const ZMQFrameCounter::Bounds& bounds, bool answersOnly);
  // Binds on loopback behind a ZMQFrameGuard that listens at `endpoint` and cuts a far side's
  // connection as soon as it sends a message beyond `bounds`, or more than
  // `messagesPerConnection` messages in all; answers the endpoint as bound
  // ("tcp://0.0.0.0:9526"). ZeroMQ then sees every far side at 127.0.0.1, or with
  // `sourcePerHost` each far host at a loopback address of its own (see guardedFarSideOf).
  // The far sides' connections are bounded as `connections` says.
  std::string bindBehindGuard(const std::string& endpoint, const std::string& name,
                              const ZMQFrameCounter::Bounds& bounds, uint64_t messagesPerConnection,
                              bool sourcePerHost = false,
                              const ZMQFrameGuard::Connections& connections = ZMQFrameGuard::Connections());
  // The far side ("192.168.1.7:40312") of the guarded connection ZeroMQ sees as `source`
  // ("127.1.0.3:51022"); nothing when none (no guard, no source of a host's own, or gone).
  std::optional<std::string> guardedFarSideOf(const std::string& source) const;
  // The far host ("192.168.1.7") the guard last gave the source address `sourceHost`
  // ("127.1.0.3") to, its connections gone or not (see ZMQFrameGuard::farHostOfSource).
  std::optional<std::string> guardedFarHostOfSource(const std::string& sourceHost) const;
  // Has the guard end the connections of the far host `host` ("192.168.1.7") and refuse its
  // new ones for `duration` (see ZMQFrameGuard::refuseHost); false without a guard.
  bool guardRefuseHost(const std::string& host, std::chrono::milliseconds duration);
  // The endpoint given to connectToEndpoint that `endpoint`, as ZeroMQ names it (its
  // monitor's events), stands for: itself unless it leads through the guard.
  std::string connectedEndpointOf(const std::string& endpoint) const;
  // Connections the guard cut, and of those the ones that took requests along (see
  // ZMQFrameGuard::cutOwingAnswers); 0 without a guard.
  uint64_t guardCutConnections() const;
  uint64_t guardCutOwingAnswers() const;
  // Readable once the guard has cut a connection; -1 without a guard.
  int guardCutFd() const;
  // The endpoints (as given to connectToEndpoint) whose connections the guard cut since the
  // last call.
  std::vector<std::string> takeGuardCutEndpoints();
  // Has ZeroMQ publish the `events` (ZMQ_EVENT_...) of this socket on a PAIR socket bound at
  // the inproc `endpoint`.
  bool monitorToEndpoint(const std::string& endpoint, int events);

  // Sends one frame; `flags` ZMQ_SNDMORE when more frames of the message follow.
  bool sendData(std::string_view data, int flags);
  // The same for a frame given up by the caller: ZeroMQ takes its bytes without a copy,
  // which is what counts for file parts (one copy less per hop of a 1 MiB reply).
  bool sendFrame(std::string frame, int flags);
  // The same, whatever its size, with the frame's bytes counted in `account` until ZeroMQ
  // lets go of them. The account is kept alive until then.
  bool sendFrame(std::string frame, int flags, const std::shared_ptr<ZMQSendAccount>& account);
  std::string receiveDataWithFlags(int flags);
  // ZeroMQ's own frame, without copying its bytes: `message` is initialised by the caller
  // and receives the frame; raises as receiveDataWithFlags does.
  void receiveMessage(zmq_msg_t& message, int flags);
  // Sends an initialised frame as it is; the frame is emptied either way.
  bool sendMessageFrame(zmq_msg_t& message, int flags);
  // The frame as text; nothing when it is not valid UTF-8.
  std::optional<std::string> receiveStringWithFlags(int flags);
  // The more-parts flag of the last frame received.
  bool msgMore() const { return ifMoreMsg_; }
  // With this set, every frame received records the connection it came from (tcp only).
  void setRecordsSources(bool records) { recordsSources_ = records; }
  // The descriptor of the tcp connection the last frame came from, and the peer's address as
  // ZeroMQ saw it ("192.168.1.7"); -1 and empty when not recorded or not known. The
  // descriptor belongs to ZeroMQ's I/O thread: it may be closed, and its number reused, at
  // any time.
  int lastSourceFd() const { return lastSourceFd_; }
  const std::string& lastSourceAddress() const { return lastSourceAddress_; }

  // ZMQ_UDP. Binds to every local IPv4 address at `port` (0: one the system picks) with
  // broadcast on, and makes the asynchronous socket; false when that cannot broadcast.
  bool bindToEndpointUdp(uint64_t port);
  // ZMQ_UDP. Replaces the descriptor with a new one connected to the address's ipAddrV4 and
  // port; when that fails the old descriptor stays.
  bool connectToEndpointUdp(const ZMQAddress& address);
  // ZMQ_UDP. One datagram to the sender of the last datagram received, or to the connected
  // peer before any was received. Zero bytes sent raises EPIPE.
  bool sendDataUdp(std::string_view data);
  // ZMQ_UDP. One datagram (blocking); its sender goes to info(). An empty one raises EPIPE.
  std::string receiveDataUdp();
  // ZMQ_UDP. `data` to each distinct non-loopback broadcast address of the local interfaces
  // (or of `interfaces`): queued on the asynchronous socket, whose delegate hears of
  // failures; or sent through the descriptor, raising on the first failure.
  void broadCastDataUsingAsyncSocket(std::string_view data, uint16_t port);
  void broadCastDataUsingAsyncSocket(std::string_view data, uint16_t port,
                                     const std::vector<std::shared_ptr<ZMQAddress>>& interfaces);
  void broadCastData(std::string_view data, uint16_t port);
  void broadCastData(std::string_view data, uint16_t port, const std::vector<std::shared_ptr<ZMQAddress>>& interfaces);
  // ZMQ_UDP. One datagram to 255.255.255.255.
  void broadCastAllData(std::string_view data, uint16_t port);

  // For ZMQ_UDP the item carries the descriptor.
  void getPollItem(zmq_pollitem_t& item, short events) const;

  // ZMQ_UDP: the socket address bytes of the last datagram's sender; empty before one.
  const std::string& info() const { return info_; }
  int udpSocket() const { return udpSocket_; }

  // The libzmq handle; raises as any operation once closed.
  void* zmqSocket() const;
  bool isClosed() const { return closed_.load(); }
  std::shared_ptr<ZMQContext> context() const { return context_.lock(); }
  int type() const { return type_; }
  std::optional<std::string> endpoint() const;
  void setEndpoint(std::string endpoint);

 private:
  void logError(std::string_view operation, int error) const;
  // Sends and closes an initialised message.
  bool sendMessage(zmq_msg_t& message, int flags);
  // Raises ENOTSOCK or ETERM for `operation` on a closed socket.
  void requireOpen(std::string_view operation) const;
  [[noreturn]] void raise(std::string_view operation) const;
  void limitNetworkInput(const std::string& endpoint);
  void closeUdp();
  // Sends one datagram through the descriptor; raises on failure and on zero bytes sent.
  void sendUdp(std::string_view data, const void* address, size_t addressLength);

  void* zmqSocket_ = nullptr;
  int udpSocket_ = -1;
  std::shared_ptr<DispatchUdpSocket> asyncUdpSocket_;
  std::string info_;
  mutable std::mutex endpointLock_;
  std::optional<std::string> endpoint_;
  int type_;
  std::atomic<bool> closed_{false};
  bool ifMoreMsg_ = false;
  bool recordsSources_ = false;
  int lastSourceFd_ = -1;
  std::string lastSourceAddress_;
  std::weak_ptr<ZMQContext> context_;
  const void* contextAddress_;
  std::unique_ptr<ZMQFrameGuard> guard_;
};

}  // namespace velbor
