#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/daemon/router/QoRequest.h"
#include "core/state/TrustInfo.h"

namespace velbor {

class QoWorkerDelegate;
class ReplySealer;
class ZMQContext;
class ZMQMessage;
class ZMQSocket;

// One worker of a router: a REQ socket on the router's backend, serving one request at a
// time. The request handlers are class operations named "handle" plus the message name;
// QoHandlerTable maps each message name to its handler once, at first use.
//
// Frames on the REQ socket: the worker first sends the one frame "ready"; it then receives
// [client identity] [empty] [envelope] and answers [client identity] [empty] [reply
// envelope], or "ready" again when the handler gave no reply.
class QoWorker {
 public:
  static constexpr const char* kReadyMessage = "ready";

  // A worker for the backend endpoint `uri`, with a new short uuid as its identity.
  explicit QoWorker(std::string uri);
  ~QoWorker();
  QoWorker(const QoWorker&) = delete;
  QoWorker& operator=(const QoWorker&) = delete;

  const std::string& identity() const { return identity_; }
  const std::string& uri() const { return uri_; }
  // The router's context, so that its inproc backend is reachable. Without one, run()
  // makes a context of its own.
  void setZmqContext(std::shared_ptr<ZMQContext> context);
  // Not owned; must outlive run().
  void setDelegate(QoWorkerDelegate* delegate) { delegate_ = delegate; }

  // The worker loop, on the calling thread: connects, reports "ready" and serves requests
  // until stop() or until its context is shut down. Failures end the loop with a log line;
  // the socket is closed (and a context of its own terminated) before it returns.
  void run();
  bool isRunning() const { return run_.load(); }
  // Clears the run flag: the loop ends before its next request. A worker on a context of its
  // own is woken at once; one on a shared context is woken by whoever shuts that context down.
  void stop();

  // Not owned; must outlive run(). With one, replies are sealed there and the worker
  // reports ready as soon as its handler returns.
  void setReplySealer(ReplySealer* sealer) { sealer_ = sealer; }

  // Opens one request (frames after the client identity and its empty frame), runs its
  // handler and returns the sealed reply frames, or nothing when the handler gave no reply.
  // Never raises: a refused or failed request becomes an error reply at level 0.
  std::optional<ZMQMessage> handleRequestMessage(ZMQMessage& frames);
  // The first half of that: the reply not yet sealed, with `name` set to the request's
  // message name (for log lines), and `notOpened` (when given) to whether the request was
  // refused before its handler: at its header, or its envelope not verified or decrypted
  // (not when it names a device not known or not trusted here).
  QoMessage::Ptr answerRequest(ZMQMessage& frames, std::string& name, bool* notOpened = nullptr);
  // The second half: the reply's frames. A reply that cannot be sealed (its receiver's key
  // unknown) becomes an error reply at level 0; nothing only when that fails too.
  static std::optional<ZMQMessage> sealReply(const std::string& name, QoMessage& reply);

  static bool sendReadyMessage(ZMQSocket& socket);
  static bool isReadyMessageFromWorker(const std::string& frame);

  // ---- request handlers (each defined in the source file of its family) ----
  // ScanRequest (2), PubExit (21), DatabaseClearRequest (400)
  static QoMessage::Ptr handleScanRequest(const QoRequest& request);
  static QoMessage::Ptr handlePubExit(const QoRequest& request);
  // What an exit of a remote device does here: offline (removed when not trusted, kept
  // while a trust exchange with it is open) and "DeviceOffLine" posted. Decided on the row
  // as stored now: nothing when the device is gone or offline already.
  static void takeExitedOffline(const std::shared_ptr<QoDevice>& device);
  static QoMessage::Ptr handleDatabaseClearRequest(const QoRequest& request);
  // FindRequest (4)
  static QoMessage::Ptr handleFindRequest(const QoRequest& request);
  // GetRequest (6)
  static QoMessage::Ptr handleGetRequest(const QoRequest& request);
  // ListRequest (140), ListRootRequest (142)
  static QoMessage::Ptr handleListRequest(const QoRequest& request);
  static QoMessage::Ptr handleListRootRequest(const QoRequest& request);
  // DeviceAddRequest (120), DeviceDeleteRequest (122), DeviceShowRequest (124)
  static QoMessage::Ptr handleDeviceAddRequest(const QoRequest& request);
  static QoMessage::Ptr handleDeviceDeleteRequest(const QoRequest& request);
  static QoMessage::Ptr handleDeviceShowRequest(const QoRequest& request);
  // TreeAddRequest (126), TreeDeleteRequest (128), TreeShowRequest (130)
  static QoMessage::Ptr handleTreeAddRequest(const QoRequest& request);
  static QoMessage::Ptr handleTreeDeleteRequest(const QoRequest& request);
  static QoMessage::Ptr handleTreeShowRequest(const QoRequest& request);
  // SyncAddRequest (132), SyncDeleteRequest (134), SyncShowRequest (136)
  static QoMessage::Ptr handleSyncAddRequest(const QoRequest& request);
  static QoMessage::Ptr handleSyncDeleteRequest(const QoRequest& request);
  static QoMessage::Ptr handleSyncShowRequest(const QoRequest& request);
  // StatusRequest (9)
  static QoMessage::Ptr handleStatusRequest(const QoRequest& request);
  // TrustPublishRequest (11), TrustRequest (13), TrustDenyRequest (15),
  // TrustCancelRequest (17), DistrustRequest (144)
  static QoMessage::Ptr handleTrustPublishRequest(const QoRequest& request);
  static QoMessage::Ptr handleTrustRequest(const QoRequest& request);
  static QoMessage::Ptr handleTrustDenyRequest(const QoRequest& request);
  static QoMessage::Ptr handleTrustCancelRequest(const QoRequest& request);
  static QoMessage::Ptr handleDistrustRequest(const QoRequest& request);
  // Checks an answer to an offer made here against its send context and, when the token
  // matches and the device still waits (status 2), sets `status`; true when it was set.
  static bool _trustAnwser(const TrustInfo& info, int32_t status);
  // Ends this device's trust in a device that ended its own: status 0, then the device is
  // removed with its copies and pairings, and "SyncDeleteResponse" and "DistrustResponse"
  // are posted. The removed record, or nullptr when none was stored.
  static std::shared_ptr<QoDevice> endTrustOf(const std::string& deviceUuid);
  // SyncOnceRequest (138), PubFileChange (19): a peer's copy changed; both answered by the
  // sync engine
  static QoMessage::Ptr handleSyncOnceRequest(const QoRequest& request);
  static QoMessage::Ptr handlePubFileChange(const QoRequest& request);

 private:
  // Serves requests until stopped or the context is shut down. A request that fails
  // beyond its error reply (the socket, short of memory) ends that request only.
  void serve(ZMQSocket& socket);
  // Receives one request and answers it, with its reply or with "ready".
  void serveOne(ZMQSocket& socket);

  const std::string identity_;
  const std::string uri_;
  std::mutex contextLock_;
  std::shared_ptr<ZMQContext> zmqContext_;
  bool ownsContext_ = false;
  QoWorkerDelegate* delegate_ = nullptr;
  ReplySealer* sealer_ = nullptr;
  std::atomic<bool> run_{false};
};

}  // namespace velbor
