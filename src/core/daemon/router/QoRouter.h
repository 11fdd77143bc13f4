#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/daemon/router/FailingHosts.h"
#include "core/daemon/router/QoWorkerDelegate.h"
#include "core/daemon/router/RequestGate.h"
#include "core/utils/QoQueue.h"
#include "framework/network/ZMQFrameGuard.h"
#include "framework/network/ZMQMessage.h"

namespace velbor {

class QoWorker;
class ReplySealer;
class ZMQContext;
class ZMQSocket;

// The request broker: a ROUTER socket facing the network (the frontend, on `routerUri`) and
// one facing the workers (the backend, on `routerBackendInprocUri`). Each request goes to the
// worker idle longest; while every worker is busy, requests wait in the frontend socket.
// As the workers' delegate it refuses unencrypted requests and picks each reply's level.
//
// Frames: a client's [identity] [empty] [envelope] goes to the backend as [worker] [empty]
// [identity] [empty] [envelope]; the worker hands its reply to the sealer and answers
// [worker] [empty] "ready"; the sealer's [identity] [empty] [reply envelope] goes back to
// the frontend from the broker thread.
//
// Memory a peer can make this device hold is bounded: a request frame is refused beyond
// kMaxRequestFrameBytes (ZeroMQ drops the connection before it allocates the frame), a
// request beyond kMaxRequestFrames or kMaxRequestBytes ends its connection before ZeroMQ
// holds it (a frame guard relays the frontend's connections), and
// the RequestGate holds back the requests of connections whose replies pile up unread.
// A host (not a trusted device's) whose requests keep failing to open, each costing a key's
// work, has its connections ended and is refused for a while.
class QoRouter : public QoWorkerDelegate {
 public:
  // The largest frame a request may have. The largest request bodies carry a path (up to
  // 4 KiB) and the uuid list of a sync directory's copies with a counter each (under 50 bytes
  // a copy): this is room for some 5,000 copies. Headers are under 1 KiB.
  static constexpr int64_t kMaxRequestFrameBytes = 256 * 1024;
  // The whole of a request: identity, header, body and a user-info frame.
  static constexpr size_t kMaxRequestBytes = 2 * kMaxRequestFrameBytes;
  // Frames of one request as it comes: a request is a few.
  static constexpr size_t kMaxRequestFrames = 16;

  QoRouter();
  // Stops the broker and the workers. A subclass that overrides the delegate hooks must call
  // stop() in its own destructor, while its hooks still exist.
  ~QoRouter() override;
  QoRouter(const QoRouter&) = delete;
  QoRouter& operator=(const QoRouter&) = delete;

  // Binds both endpoints on the calling thread, then starts `routerWorkerCount` workers and
  // the broker thread. An endpoint that cannot be bound is logged and raised (ZMQException,
  // whose error code is the errno: EADDRINUSE for a port in use, EACCES for one not
  // allowed), and nothing is left running. Raises as well when already started.
  virtual void start();
  // Ends the broker and the workers, waits for their threads, then closes every socket and
  // terminates the context. A request being handled is finished but its reply is dropped.
  // Does nothing when not started; start() may follow.
  virtual void stop();
  bool isRunning() const { return run_.load(); }
  // The frontend endpoint as bound ("tcp://0.0.0.0:9527"; with port 0 the port the system
  // chose); empty when not started.
  std::string frontendEndpoint() const;
  // The bounds of replies held for peers and of requests waiting for them; taken by the next
  // start().
  void setRequestLimits(const RequestGate::Limits& limits);
  // The bounds of the far sides' connections to the guarded ports; taken by the next start().
  void setGuardConnections(const ZMQFrameGuard::Connections& connections);
  // Nothing held when not started.
  RequestGate::Stats requestStats() const;
  // Reply bytes ZeroMQ holds for the peers, all together.
  size_t heldReplyBytes() const;

  // Level policy. A request passes when one of the two exclusions answers yes; otherwise
  // it is refused with QoExceptionZePermissionDeny (20) "Encrypt Level None is not allowed!".
  void beforeHandleRequest(const QoMessage& request) override;
  void afterHandleRequest(const QoMessage& request, QoMessage& response) override;
  // No code is exempt here.
  virtual bool isEncryptNoneExclude(int32_t code) const;
  // TrustPublishRequest (11) at any level, anything else above level 0.
  virtual bool isEncryptAuthExclude(int32_t code, int32_t level) const;
  // The reply's level by its code: 0 for an error reply, 2 for the trust replies (12, 14,
  // 16, 18) and TreeAddResponse (127), else the smaller of the request's level and the
  // `encryptLevel` setting. Above level 0 the reply is signed by this device for the
  // request's sender; a level-0 reply names no devices.
  static void filterOfMessageEncryptLevelWithRequest(const QoMessage& request, QoMessage& response);

 protected:
  // A worker on `uri` in `context`, with this router as delegate, run on a thread of its own
  // until stop().
  void setUpWorker(const std::string& uri, const std::shared_ptr<ZMQContext>& context);
  // Stops every worker and waits for its thread. Workers on a shared context must be woken
  // first, by shutting that context down.
  void joinWorkers();
  // The next message of a socket facing the network; nothing for one beyond the input
  // bounds, which was dropped whole and logged and must not end the broker.
  static std::optional<ZMQMessage> receiveBounded(ZMQSocket& socket);
  static std::optional<ZMQMessage> receiveBounded(ZMQSocket& socket, size_t maxBytes);
  // The worker idle longest, taken off the queue; there must be one.
  std::string takeIdleWorker();
  // Those bounds, with the trusted devices' hosts as the trusted ones unless they name others;
  // for start(), under its lock.
  ZMQFrameGuard::Connections guardConnections() const;

  std::atomic<bool> run_{false};
  // Idle workers, longest idle first; touched only by the broker thread.
  QoQueue<std::string> workerQueue_;

 private:
  // The broker loop, on the broker thread.
  void run();
  // One poll and what it found; false when the broker is to end (its context shut down).
  // Raises what one round cannot get past; the loop then goes on with the next.
  bool serveRound(RequestGate::Clock::time_point& nextSweep);
  // Takes the next request from the frontend, when a worker is idle to take it.
  void forwardRequest();
  // Hands a request to the worker idle longest.
  void dispatch(ZMQMessage& request);
  // Hands requests that waited for room to idle workers, as far as there is room now.
  void forwardAdmittedRequests();
  void forwardReply();
  // Hands requests waiting in the frontend to idle workers, without waiting for any.
  void forwardWaitingRequests();
  // Passes every reply the sealer has finished to the network.
  void forwardSealedReplies();
  // Counts a request of `client` that failed to open against its host, and has the guard
  // refuse the host when it failed too often.
  void countNotOpened(const std::string& client);

  mutable std::mutex lifecycleLock_;
  std::shared_ptr<ZMQContext> context_;
  std::shared_ptr<ZMQSocket> frontend_;
  std::shared_ptr<ZMQSocket> backend_;
  std::string frontendEndpoint_;
  std::thread broker_;
  // Seals the workers' replies; made with the workers, gone after them.
  std::unique_ptr<ReplySealer> sealer_;
  RequestGate::Limits requestLimits_;
  ZMQFrameGuard::Connections guardConnections_;
  // Made at start(), gone at stop().
  std::unique_ptr<RequestGate> gate_;
  // Touched only by the broker thread.
  FailingHosts failingHosts_;
  std::vector<std::shared_ptr<QoWorker>> workers_;
  std::vector<std::thread> workerThreads_;
};

}  // namespace velbor
