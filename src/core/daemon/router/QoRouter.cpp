#include "core/daemon/router/QoRouter.h"

#include <algorithm>
#include <cerrno>
#include <limits>

#include <fmt/format.h>

#include "core/daemon/router/QoWorker.h"
#include "core/daemon/router/ReplyLedger.h"
#include "core/daemon/router/ReplySealer.h"
#include "core/daemon/router/TrustedHosts.h"
#include "core/entity/QoDevice.h"
#include "core/state/QoConfig.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQException.h"
#include "framework/network/ZMQFrames.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "platform/LoopRoundFailures.h"
#include "platform/QoLog.h"
#include "platform/ThreadName.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

namespace {

// The trust replies 12, 14, 16 and 18 as bits over the codes 0-18.
constexpr uint32_t kTrustReplyMask = 0x55000;
constexpr uint32_t kTrustReplyMaxCode = 18;

}  // namespace

QoRouter::QoRouter() = default;

QoRouter::~QoRouter() {
  try {
    stop();
  } catch (const std::exception& e) {
    QoLog("*** Router stop failed, {}", e.what());
  }
}

void QoRouter::start() {
  std::lock_guard lock(lifecycleLock_);
  QoAssert(!context_, "Router is already running");
  const QoConfig& config = QoConfig::sharedQoConfig();
  const std::string frontendUri = config.routerUri();
  const std::string backendUri = config.routerBackendInprocUri();
  QoAssert(!frontendUri.empty(), "you must set Frontend Router url");
  QoAssert(!backendUri.empty(), "you must set Backend Router url");

  // At least one worker: with none, every request would wait forever.
  const int workerCount = std::max(1, config.routerWorkerCount());
  // Room for one reply per sealing thread and one more per worker, so that no core waits.
  const size_t sealers = ReplySealer::defaultThreadCount();
  auto sealer = std::make_unique<ReplySealer>(sealers, sealers + static_cast<size_t>(workerCount));

  auto context = std::make_shared<ZMQContext>(1);
  try {
    frontend_ = context->socketWithType(ZMQ_ROUTER);
    backend_ = context->socketWithType(ZMQ_ROUTER);
    // A ROUTER drops a reply for a peer whose queue is full, and a fetcher keeps a whole
    // window of part requests on one connection: its replies must all fit.
    const int replyQueue = ZMQSocket::kRouterReplyHighWaterMark;
    frontend_->setData(std::string_view(reinterpret_cast<const char*>(&replyQueue), sizeof replyQueue), ZMQ_SNDHWM);
    // Requests are small: a larger frame ends its connection before ZeroMQ allocates it.
    const int64_t maxFrame = kMaxRequestFrameBytes;
    frontend_->setData(std::string_view(reinterpret_cast<const char*>(&maxFrame), sizeof maxFrame), ZMQ_MAXMSGSIZE);
    frontend_->setRecordsSources(true);
    // ZeroMQ keeps every frame of a message that has not ended: a request of endless empty
    // frames is cut before ZeroMQ holds it. Each host comes from a loopback address of its
    // own, for the bounds per host.
    frontendEndpoint_ =
        frontend_->bindBehindGuard(frontendUri, "Router", ZMQFrameCounter::Bounds{kMaxRequestFrames, kMaxRequestBytes},
                                   std::numeric_limits<uint64_t>::max(), true, guardConnections());
    QoLog("Router frontend bind on ({})", frontendUri);
    backend_->bindToEndpoint(backendUri);
    QoLog("Router backend  bind on ({})", backendUri);
  } catch (const std::exception& e) {
    // A broker that cannot listen must not look like one that serves: the caller hears of it.
    QoLog("Router run failed, {}", e.what());
    frontend_.reset();
    backend_.reset();
    frontendEndpoint_.clear();
    context->terminate();
    throw;
  }
  context_ = context;
  sealer_ = std::move(sealer);
  ZMQSocket* frontend = frontend_.get();
  gate_ = std::make_unique<RequestGate>(requestLimits_, ReplyLedger::create(), [frontend](const std::string& source) {
    return frontend->guardedFarSideOf(source);
  });
  run_ = true;

  workerQueue_ = QoQueue<std::string>();
  for (int i = 0; i < workerCount; ++i) setUpWorker(backendUri, context_);
  // The sockets move to the broker thread; starting the thread orders their use.
  broker_ = std::thread([this] { run(); });
}

void QoRouter::stop() {
  std::lock_guard lock(lifecycleLock_);
  if (!context_) return;
  run_ = false;
  for (const auto& worker : workers_) worker->stop();
  // A worker waiting for room in the sealer returns; replies not yet passed on are dropped.
  if (sealer_) sealer_->stop();
  // Wakes the broker's poll and every worker's wait; each then leaves its loop.
  context_->shutdown();
  if (broker_.joinable()) broker_.join();
  joinWorkers();
  sealer_.reset();
  context_->terminate();
  context_.reset();
  gate_.reset();
  frontend_.reset();
  backend_.reset();
  frontendEndpoint_.clear();
}

std::string QoRouter::frontendEndpoint() const {
  std::lock_guard lock(lifecycleLock_);
  return frontendEndpoint_;
}

void QoRouter::setRequestLimits(const RequestGate::Limits& limits) {
  std::lock_guard lock(lifecycleLock_);
  requestLimits_ = limits;
}

void QoRouter::setGuardConnections(const ZMQFrameGuard::Connections& connections) {
  std::lock_guard lock(lifecycleLock_);
  guardConnections_ = connections;
}

ZMQFrameGuard::Connections QoRouter::guardConnections() const {
  ZMQFrameGuard::Connections connections = guardConnections_;
  if (!connections.trusted) {
    auto hosts = TrustedHosts::create();
    connections.trusted = [hosts](const std::string& host) { return hosts->contains(host); };
  }
  return connections;
}

RequestGate::Stats QoRouter::requestStats() const {
  std::lock_guard lock(lifecycleLock_);
  return gate_ ? gate_->stats() : RequestGate::Stats{};
}

size_t QoRouter::heldReplyBytes() const {
  std::lock_guard lock(lifecycleLock_);
  return gate_ ? gate_->ledger().total() : 0;
}

void QoRouter::setUpWorker(const std::string& uri, const std::shared_ptr<ZMQContext>& context) {
  auto worker = std::make_shared<QoWorker>(uri);
  worker->setZmqContext(context);
  worker->setDelegate(this);
  worker->setReplySealer(sealer_.get());
  workers_.push_back(worker);
  workerThreads_.emplace_back([worker] {
    nameThisThread("VelborWorker");
    try {
      worker->run();
    } catch (const std::exception& e) {
      QoLog("*** Worker({}) run failed, {}", worker->identity(), e.what());
    }
  });
}

void QoRouter::joinWorkers() {
  for (const auto& worker : workers_) worker->stop();
  for (auto& thread : workerThreads_) {
    if (thread.joinable()) thread.join();
  }
  workerThreads_.clear();
  workers_.clear();
}

void QoRouter::run() {
  nameThisThread("VelborRouter");
  // One unexpected state ends one round, never the broker: a broker that stopped would
  // leave the process running and answering nothing.
  LoopRoundFailures failures("Router");
  auto nextSweep = RequestGate::Clock::now();
  while (run_) {
    try {
      if (!serveRound(nextSweep)) break;
      failures.succeeded();
    } catch (const ZMQException& e) {
      // ETERM: stop() shut the context down.
      if (e.getErrorCode() == ETERM) break;
      failures.failed(e.what());
    } catch (const std::exception& e) {
      failures.failed(e.what());
    } catch (...) {
      failures.failed("unknown exception");
    }
  }
  frontend_->closeWithoutLinger();
  backend_->closeWithoutLinger();
}

bool QoRouter::serveRound(RequestGate::Clock::time_point& nextSweep) {
  zmq_pollitem_t items[4]{};
  backend_->getPollItem(items[0], ZMQ_POLLIN);
  items[1].fd = sealer_->readyFd();
  items[1].events = ZMQ_POLLIN;
  items[2].fd = gate_->ledger().releasedFd();
  items[2].events = ZMQ_POLLIN;
  frontend_->getPollItem(items[3], ZMQ_POLLIN);
  // Requests are taken only while a worker is idle; the rest wait in the frontend.
  const int count = workerQueue_.empty() ? 3 : 4;
  long timeoutMs = -1;
  if (gate_->sweepWanted()) {
    timeoutMs =
        std::max<long>(0, std::chrono::ceil<std::chrono::milliseconds>(nextSweep - RequestGate::Clock::now()).count());
  }
  if (ZMQContext::pollWithItems(items, count, timeoutMs) < 0) {
    const int error = zmq_errno();
    if (error == EINTR) return true;
    // ETERM: stop() shut the context down.
    if (error == ETERM) return false;
    throw ZMQException(fmt::format("Router poll error!! epoll items count({})", count), error);
  }
  if (items[2].revents & ZMQ_POLLIN) {
    gate_->ledger().clearReleased();
    forwardAdmittedRequests();
  }
  // The requests that waited for room may have taken every idle worker: a request seen in
  // the frontend then waits there for the next worker to come free.
  if (count == 4 && (items[3].revents & ZMQ_POLLIN)) forwardRequest();
  if (items[0].revents & ZMQ_POLLIN) forwardReply();
  if (items[1].revents & ZMQ_POLLIN) forwardSealedReplies();
  const auto now = RequestGate::Clock::now();
  if (now >= nextSweep) {
    if (gate_->sweepWanted()) {
      gate_->sweep(now);
      // A cut-off connection's replies free room as ZeroMQ drops them; whatever else
      // changed, waiting requests are looked at again.
      forwardAdmittedRequests();
    }
    nextSweep = now + gate_->sweepInterval();
  }
  return true;
}

std::optional<ZMQMessage> QoRouter::receiveBounded(ZMQSocket& socket) {
  return receiveBounded(socket, static_cast<size_t>(ZMQSocket::kMaxNetworkMessageSize));
}

std::optional<ZMQMessage> QoRouter::receiveBounded(ZMQSocket& socket, size_t maxBytes) {
  try {
    return ZMQMessage::recvFromSocket(socket, maxBytes);
  } catch (const ZMQException& e) {
    if (e.getErrorCode() == EMSGSIZE) return std::nullopt;
    throw;
  }
}

std::string QoRouter::takeIdleWorker() {
  std::optional<std::string> worker = workerQueue_.dequeue();
  QoAssert(worker.has_value(), "must have avail workers!");
  return std::move(*worker);
}

void QoRouter::forwardRequest() {
  // A request is taken only for an idle worker.
  if (workerQueue_.empty()) return;
  std::optional<ZMQMessage> message = receiveBounded(*frontend_, kMaxRequestBytes);
  if (!message) return;
  if (!gate_->admit(*message, frontend_->lastSourceFd(), frontend_->lastSourceAddress())) return;
  dispatch(*message);
}

void QoRouter::dispatch(ZMQMessage& request) {
  request.insertEmptyFrameAtHead();
  request.insertFrameAtHead(takeIdleWorker());
  if (!request.sendToSocket(*backend_)) QoLog("*** Router request not passed to a worker");
}

void QoRouter::forwardAdmittedRequests() {
  while (!workerQueue_.empty()) {
    std::optional<ZMQMessage> request = gate_->nextWaiting();
    if (!request) break;
    dispatch(*request);
  }
}

void QoRouter::forwardWaitingRequests() {
  // Those that waited for room go first.
  forwardAdmittedRequests();
  zmq_pollitem_t item{};
  frontend_->getPollItem(item, ZMQ_POLLIN);
  while (!workerQueue_.empty() && ZMQContext::pollWithItems(&item, 1, 0) > 0 && (item.revents & ZMQ_POLLIN)) {
    forwardRequest();
  }
}

void QoRouter::forwardReply() {
  // Passed on as ZeroMQ's frames: a reply carrying a file part is not copied here.
  ZMQFrames message = ZMQFrames::recvFromSocket(*backend_);
  QoAssert(message.size() > 0, "worker identity missing");
  workerQueue_.enqueue(message.takeHead());
  message.takeHead();
  // The worker that is free again takes a request that waits before this reply goes on:
  // under load its wait for the next request is what holds the router back.
  forwardWaitingRequests();
  const bool hasClient = message.size() > 0;
  const std::string client = message.takeHead();
  if (!hasClient || QoWorker::isReadyMessageFromWorker(client)) return;
  // What remains is the empty frame and the reply envelope.
  message.pushHead(client);
  if (!message.sendToSocket(*frontend_)) QoLog("*** Router reply not passed to the client");
}

void QoRouter::forwardSealedReplies() {
  sealer_->clearReady();
  for (ReplySealer::Sealed& reply : sealer_->takeSealed()) {
    if (reply.notOpened) countNotOpened(reply.client);
    if (!reply.frames.sendToSocket(*frontend_, gate_->accountFor(reply.client))) {
      QoLog("*** Router reply not passed to the client");
    }
  }
}

void QoRouter::countNotOpened(const std::string& client) {
  std::string host = gate_->farHostOf(client);
  // A connection that ended right after its request is gone before the request is read:
  // the host its source address was given to is still known.
  if (host.empty()) {
    const std::string source = gate_->sourceHostOf(client);
    if (!source.empty()) host = frontend_->guardedFarHostOfSource(source).value_or(std::string());
  }
  // A trusted device's host is never refused (the guard tells): its failures are logged only.
  if (failingHosts_.failed(host)) frontend_->guardRefuseHost(host, FailingHosts::kRefusedFor);
}

void QoRouter::beforeHandleRequest(const QoMessage& request) {
  if (isEncryptNoneExclude(request.code()) || isEncryptAuthExclude(request.code(), request.level())) return;
  throw QoExceptionZePermissionDeny("Encrypt Level None is not allowed!");
}

void QoRouter::afterHandleRequest(const QoMessage& request, QoMessage& response) {
  filterOfMessageEncryptLevelWithRequest(request, response);
}

bool QoRouter::isEncryptNoneExclude(int32_t) const { return false; }

bool QoRouter::isEncryptAuthExclude(int32_t code, int32_t level) const {
  return code == pb::MsgCodeTrustPublishRequest || level > QoMessage::kLevelNone;
}

void QoRouter::filterOfMessageEncryptLevelWithRequest(const QoMessage& request, QoMessage& response) {
  const auto code = static_cast<uint32_t>(response.code());
  int level;
  if (code == pb::MsgCodeError) {
    level = QoMessage::kLevelNone;
  } else if ((code <= kTrustReplyMaxCode && ((kTrustReplyMask >> code) & 1U) != 0) ||
             code == pb::MsgCodeTreeAddResponse) {
    level = QoMessage::kLevelEncrypt;
  } else {
    level = std::clamp(std::min(request.level(), QoConfig::sharedQoConfig().encryptLevel()), QoMessage::kLevelNone,
                       QoMessage::kLevelEncrypt);
  }
  response.setLevel(level);
  if (level > QoMessage::kLevelNone) {
    response.setSrcDevice(QoDevice::getDeviceLocal());
    response.setDestDevice(request.srcDevice());
  } else {
    response.setSrcDevice(nullptr);
    response.setDestDevice(nullptr);
  }
}

}  // namespace velbor
