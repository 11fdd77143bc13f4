#include "core/daemon/publisher/QoPublisher.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include <fmt/format.h>

#include "core/daemon/publisher/SubscriberConnections.h"
#include "core/daemon/sync/SyncEngine.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoException.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQException.h"
#include "framework/network/ZMQSocket.h"
#include "platform/Dispatch.h"
#include "platform/ForeignTcpSocket.h"
#include "platform/LoopRoundFailures.h"
#include "platform/QoLog.h"
#include "platform/ThreadName.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

namespace {

static_assert(QoPublisher::kMaxNoticeFrames + 4 <= ZMQSocket::kMaxMessageFrames);
static_assert(QoPublisher::kMaxNoticeBytes + 1024 <= ZMQSocket::kMaxNetworkMessageSize);

std::mutex& sharedLock() {
  static std::mutex lock;
  return lock;
}

std::shared_ptr<QoPublisher>& sharedInstance() {
  // Never destroyed: jobs still running at exit use it.
  static auto& instance = *new std::shared_ptr<QoPublisher>();
  return instance;
}

std::string exceptionName(const std::exception& e) {
  const auto* named = dynamic_cast<const Exception*>(&e);
  return named != nullptr ? named->name() : "std::exception";
}

std::string exceptionReason(const std::exception& e) {
  const auto* named = dynamic_cast<const Exception*>(&e);
  return named != nullptr ? named->reason() : e.what();
}

// "192.168.1.7" of "192.168.1.7:40312", "::1" of "[::1]:40312".
std::string hostOf(const std::string& address) {
  std::string host = address.substr(0, address.rfind(':'));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return host;
}

}  // namespace

std::shared_ptr<QoPublisher> QoPublisher::sharedQoPublisher() {
  std::lock_guard lock(sharedLock());
  if (!sharedInstance()) {
    sharedInstance() = std::make_shared<QoPublisher>();
    sharedInstance()->registerEvent();
  }
  return sharedInstance();
}

void QoPublisher::resetSharedQoPublisher() {
  std::shared_ptr<QoPublisher> instance;
  {
    std::lock_guard lock(sharedLock());
    instance.swap(sharedInstance());
  }
  if (instance) instance->stop();
}

QoPublisher::QoPublisher() {
  workerQueue_ = QoQueue<std::string>();
  if (::pipe(wakePipe_) != 0) throw Exception("QoPublisher", "wake pipe cannot be made");
  for (int fd : wakePipe_) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

QoPublisher::~QoPublisher() {
  for (const auto& token : observers_) NotificationCenter::defaultCenter().removeObserver(token);
  try {
    stop();
  } catch (const std::exception& e) {
    QoLog("*** Publisher stop failed, {}", e.what());
  }
  for (int fd : wakePipe_) ::close(fd);
}

void QoPublisher::registerEvent() {
  std::weak_ptr<QoPublisher> weak = weak_from_this();
  // Observers hold the publisher weakly: one dropped by a reset stops hearing at once.
  auto with = [weak](auto handle) {
    return [weak, handle](const auto& notice) {
      if (auto self = weak.lock()) handle(*self, notice);
    };
  };
  observers_.push_back(QoNotices::observe<notice::FileChanged>(
      with([](QoPublisher& self, const notice::FileChanged& n) { self.handleNotifyFileChanged(n); })));
  observers_.push_back(QoNotices::observe<notice::SyncAddResponse>(
      with([](QoPublisher& self, const notice::SyncAddResponse& n) { self.syncAddHandler(n); })));
  observers_.push_back(QoNotices::observe<notice::DeviceAddResponse>(
      with([](QoPublisher& self, const notice::DeviceAddResponse& n) { self.handleNotifyDeviceAddResponse(n); })));
  observers_.push_back(QoNotices::observe<notice::DeviceOffLine>(
      with([](QoPublisher& self, const notice::DeviceOffLine& n) { self.handleNotifyDeviceOffLine(n); })));
  observers_.push_back(QoNotices::observe<notice::ProcessExit>(
      with([](QoPublisher& self, const notice::ProcessExit&) { self.handleNotifyProcessExit(); })));
}

void QoPublisher::start() {
  std::lock_guard lock(lifecycleLock_);
  QoAssert(!context_, "Publisher is already running");
  const QoConfig& config = QoConfig::sharedQoConfig();
  const std::string backendUri = config.pullerBackendInprocUri();
  const std::string publisherUri = config.publisherUri();
  QoDevice::Ptr local = QoDevice::getDeviceLocal();

  auto context = std::make_shared<ZMQContext>(1);
  try {
    backend_ = context->socketWithType(ZMQ_ROUTER);
    publisher_ = context->socketWithType(ZMQ_XPUB);
    // Every subscription comes up to the broker, which lets only the protocol's stand.
    const int verbose = 1;
    publisher_->setData(std::string_view(reinterpret_cast<const char*>(&verbose), sizeof verbose), ZMQ_XPUB_VERBOSE);
    publisher_->setData(
        std::string_view(reinterpret_cast<const char*>(&kMaxSubscriptionBytes), sizeof kMaxSubscriptionBytes),
        ZMQ_MAXMSGSIZE);
    publisher_->setRecordsSources(true);
    subscriber_ = context->socketWithType(ZMQ_SUB);
    // Every publisher's, trusted or not: a notice that never ends is cut before ZeroMQ holds it.
    subscriber_->guardConnections("Subscriber", ZMQFrameCounter::Bounds{kMaxGuardedNoticeFrames, kMaxNoticeBytes},
                                  false);
    QoLog("Puller backend  bind on ({})", backendUri);
    backend_->bindToEndpoint(backendUri);
    QoLog("Publisher       bind on ({})", publisherUri);
    // ZeroMQ takes every subscription of a connection off its queue at once and keeps it
    // until the broker reads it: what a connection may send is bounded before ZeroMQ has it.
    publisherEndpoint_ = publisher_->bindBehindGuard(
        publisherUri, "Publisher", ZMQFrameCounter::Bounds{1, static_cast<uint64_t>(kMaxSubscriptionBytes)},
        kMaxSubscriptionMessages, false, guardConnections());
    subscriber_->setData("", ZMQ_SUBSCRIBE);
    subscriber_->setRecordsSources(true);
    connections_ = std::make_unique<SubscriberConnections>(*context, *subscriber_);
    // Before any connection: a peer's frame above a notice's size drops that connection.
    subscriber_->setData(std::string_view(reinterpret_cast<const char*>(&kMaxNoticeBytes), sizeof kMaxNoticeBytes),
                         ZMQ_MAXMSGSIZE);
    QoAssert(local != nullptr, "local device is not registered");
    // This device's own `pubUri`, at the port actually bound (the setting may ask for any).
    localPubUri_ = fmt::format("tcp://localhost:{}", publisherEndpoint_.substr(publisherEndpoint_.rfind(':') + 1));
    subscriber_->connectToEndpoint(localPubUri_);
    QoLog("Subscriber connect to ({})", localPubUri_);
  } catch (const std::exception& e) {
    QoLog("Puller run failed, {}", e.what());
    connections_.reset();
    backend_.reset();
    publisher_.reset();
    subscriber_.reset();
    publisherEndpoint_.clear();
    context->terminate();
    throw;
  }
  context_ = context;
  run_ = true;
  {
    std::lock_guard pendingLock(pendingLock_);
    pending_.clear();
    accepting_ = true;
    exitsQueued_ = 0;
    exitsPublished_ = 0;
  }
  {
    std::lock_guard devicesLock(devicesLock_);
    devicesMap_.clear();
  }

  const int workerCount = std::max(1, config.publisherWorkerCount());
  workerQueue_ = QoQueue<std::string>();
  for (int i = 0; i < workerCount; ++i) setUpWorker(backendUri, context_);
  broker_ = std::thread([this] { run(); });
  // Devices that came online before the start are connected now.
  wake();
}

void QoPublisher::stop() {
  std::lock_guard lock(lifecycleLock_);
  if (!context_) return;
  {
    std::lock_guard pendingLock(pendingLock_);
    accepting_ = false;
  }
  run_ = false;
  context_->shutdown();
  wake();
  if (broker_.joinable()) broker_.join();
  joinWorkers();
  // The PUB socket was closed with its linger: terminating waits until what it holds has
  // gone out, or the linger ran out.
  context_->terminate();
  context_.reset();
  backend_.reset();
  publisher_.reset();
  connections_.reset();
  subscriber_.reset();
  guardCut_.clear();
  publisherEndpoint_.clear();
  {
    std::lock_guard pendingLock(pendingLock_);
    pending_.clear();
  }
  std::lock_guard devicesLock(devicesLock_);
  devicesMap_.clear();
}

std::string QoPublisher::publisherEndpoint() const {
  std::lock_guard lock(lifecycleLock_);
  return publisherEndpoint_;
}

void QoPublisher::wake() {
  const char byte = 1;
  // A full pipe already holds a wake-up.
  [[maybe_unused]] ssize_t written = ::write(wakePipe_[1], &byte, 1);
}

bool QoPublisher::sendQoMessageToPusher(const QoMessage::Ptr& message) {
  ZMQMessage frames;
  try {
    frames = message->getSendZMQMessage();
  } catch (const std::exception&) {
    QoLog("Send message to publish failed");
    throw;
  }
  {
    std::lock_guard lock(pendingLock_);
    if (!accepting_) return false;
    if (pending_.size() >= kMaxPendingNotices) {
      QoLog("*** Publisher queue full, notice({}) dropped", message->code());
      return false;
    }
    const bool isExit = message->code() == pb::MsgCodePubExit;
    pending_.push_back(Pending{std::move(frames), isExit});
    if (isExit) ++exitsQueued_;
  }
  wake();
  return true;
}

bool QoPublisher::waitForExitPublished(std::chrono::milliseconds timeout) { return waitForExitPublished(0, timeout); }

uint64_t QoPublisher::exitTicket() {
  std::lock_guard lock(pendingLock_);
  return exitsQueued_;
}

bool QoPublisher::waitForExitPublished(uint64_t ticket, std::chrono::milliseconds timeout) {
  std::unique_lock lock(pendingLock_);
  return exitPublished_.wait_for(lock, timeout, [this, ticket] { return exitsPublished_ > ticket; });
}

void QoPublisher::handleNotifyFileChanged(const notice::FileChanged& notice) {
  const auto& copy = notice.copy;
  if (!copy) return;
  if (!copy->device()) {
    // A removed copy keeps its row without a device: there is nobody to name as publisher.
    QoLog("*** File change: tree({}) has no device, not announced", copy->path());
    return;
  }
  try {
    auto body = std::make_shared<pb::MsgPubFileChange>();
    body->set_publisher(copy->device()->uuid());
    body->set_sync_uuid(copy->syncdirUuid());
    body->set_tree_uuid(copy->uuid());
    body->set_usn(DataSource::sharedDataSource().getCurrentUsn());
    QoLog("File change: tree({})", copy->path());
    sendQoMessageToPusher(QoMessage::qoMessageWithMsgCode(pb::MsgCodePubFileChange, std::move(body)));
  } catch (const std::exception& e) {
    QoLog("*** File change: tree({}) not announced, {}", copy->path(), e.what());
  }
}

void QoPublisher::handleNotifyProcessExit() {
  try {
    auto body = std::make_shared<pb::MsgPubExit>();
    body->set_publisher(QoConfig::sharedQoConfig().deviceUuid());
    sendQoMessageToPusher(QoMessage::qoMessageWithMsgCode(pb::MsgCodePubExit, std::move(body)));
  } catch (const std::exception& e) {
    QoLog("*** Process exit not announced, {}", e.what());
  }
}

void QoPublisher::handleNotifyDeviceAddResponse(const notice::DeviceAddResponse& notice) {
  if (notice.devices.empty()) return;
  {
    std::lock_guard lock(wantedLock_);
    for (const auto& device : notice.devices) {
      if (!device || device->isLocalDevice()) continue;
      // A device already wanted at another address is moved there by the broker.
      wanted_[device->uuid()] = Subscription{device->name(), device->pubUri(), device->isTrusted()};
    }
  }
  wake();
}

void QoPublisher::handleNotifyDeviceOffLine(const notice::DeviceOffLine& notice) {
  if (notice.devices.empty()) return;
  {
    std::lock_guard lock(wantedLock_);
    for (const auto& device : notice.devices) {
      if (device) wanted_.erase(device->uuid());
    }
  }
  wake();
}

void QoPublisher::refreshTrust() {
  {
    std::lock_guard lock(wantedLock_);
    if (std::all_of(wanted_.begin(), wanted_.end(), [](const auto& entry) { return entry.second.trusted; })) return;
  }
  std::set<std::string> trusted;
  try {
    for (const auto& device : QoDevice::findByCriteria("WHERE status = 1")) trusted.insert(device->uuid());
  } catch (const std::exception& e) {
    QoLog("*** Publisher: trusted devices not read, {}", e.what());
    return;
  }
  bool changed = false;
  {
    std::lock_guard lock(wantedLock_);
    for (auto& [uuid, subscription] : wanted_) {
      if (subscription.trusted || trusted.count(uuid) == 0) continue;
      subscription.trusted = true;
      changed = true;
    }
  }
  if (changed) wake();
}

void QoPublisher::syncAddHandler(const notice::SyncAddResponse& notice) {
  refreshTrust();
  const auto& relation = notice.relation;
  if (!relation || !relation->firstSyncdirCopy() || !relation->secondSyncdirCopy()) return;
  SyncEngine::pullOnceInBackground(
      relation->firstSyncdirCopy()->uuid(), relation->secondSyncdirCopy()->uuid(), [](const std::exception& e) {
        QoLog("*** QoPublisher synconce failed, {}: {}", exceptionName(e), exceptionReason(e));
      });
}

std::map<std::string, std::string> QoPublisher::onlineDevices() const {
  std::lock_guard lock(devicesLock_);
  std::map<std::string, std::string> devices;
  for (const auto& [uuid, subscription] : devicesMap_) devices.emplace(uuid, subscription.pubUri);
  return devices;
}

bool QoPublisher::isOnlineDevice(const std::string& uuid) const {
  std::lock_guard lock(devicesLock_);
  return devicesMap_.count(uuid) != 0;
}

bool QoPublisher::isEncryptAuthExclude(int32_t code, int32_t level) const {
  return code == pb::MsgCodePubExit || code == pb::MsgCodePubFileChange || code == pb::MsgCodeTrustPublishRequest ||
         level > QoMessage::kLevelNone;
}

void QoPublisher::run() {
  nameThisThread("VelborPublish");
  // One unexpected state ends one round, never the broker: a broker that stopped would
  // leave the process running, deaf to its peers' notices and telling them nothing.
  LoopRoundFailures failures("Puller");
  auto nextWatch = std::chrono::steady_clock::now();
  while (run_) {
    try {
      if (!serveRound(nextWatch)) break;
      failures.succeeded();
    } catch (const ZMQException& e) {
      if (e.getErrorCode() == ETERM) break;
      failures.failed(e.what());
    } catch (const std::exception& e) {
      failures.failed(e.what());
    } catch (...) {
      failures.failed("unknown exception");
    }
  }
  closeSockets();
}

bool QoPublisher::serveRound(std::chrono::steady_clock::time_point& nextWatch) {
  zmq_pollitem_t items[5]{};
  backend_->getPollItem(items[0], ZMQ_POLLIN);
  items[1].fd = wakePipe_[0];
  items[1].events = ZMQ_POLLIN;
  publisher_->getPollItem(items[2], ZMQ_POLLIN);
  connections_->monitor().getPollItem(items[3], ZMQ_POLLIN);
  subscriber_->getPollItem(items[4], ZMQ_POLLIN);
  // Notices wait in the SUB socket while every worker is busy.
  const int count = workerQueue_.empty() ? 4 : 5;
  if (ZMQContext::pollWithItems(items, count, connections_->empty() ? -1 : kWatchIntervalMs) < 0) {
    const int error = zmq_errno();
    if (error == EINTR) return true;
    if (error == ETERM) return false;
    throw ZMQException(fmt::format("Puller poll error!! epoll items count({})", count), error);
  }
  if (items[0].revents & ZMQ_POLLIN) takeWorkerReply();
  // A poll that saw a notice has taken its first frame from one connection: the notice
  // is received whole before any connection changes, or libzmq aborts reading the rest
  // from another one.
  if (count == 5 && (items[4].revents & ZMQ_POLLIN)) passNoticeToWorker();
  if (items[2].revents & ZMQ_POLLIN) takeSubscriptions();
  if (items[3].revents & ZMQ_POLLIN) pullReconnected(connections_->takeEvents());
  if (items[1].revents & ZMQ_POLLIN) {
    char drain[64];
    while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
    }
    publishPending();
    updateSubscriptions();
  }
  const auto now = std::chrono::steady_clock::now();
  if (now >= nextWatch) {
    cutOverrunPublishers();
    nextWatch = now + std::chrono::milliseconds(kWatchIntervalMs);
  }
  return true;
}

void QoPublisher::closeSockets() {
  connections_->close();
  backend_->closeWithoutLinger();
  subscriber_->closeWithoutLinger();
  publisher_->close();
}

void QoPublisher::publishPending() {
  std::deque<Pending> batch;
  {
    std::lock_guard lock(pendingLock_);
    batch.swap(pending_);
  }
  uint64_t exits = 0;
  for (Pending& notice : batch) {
    if (notice.frames.sendToSocket(*publisher_)) {
      if (notice.isExit) ++exits;
    } else {
      QoLog("Send message to publish failed");
    }
  }
  if (exits == 0) return;
  {
    std::lock_guard lock(pendingLock_);
    exitsPublished_ += exits;
  }
  exitPublished_.notify_all();
}

void QoPublisher::updateSubscriptions() {
  std::map<std::string, Subscription> wanted;
  {
    std::lock_guard lock(wantedLock_);
    wanted = wanted_;
  }
  std::vector<std::string> failed;
  std::lock_guard lock(devicesLock_);
  std::vector<Subscription> gone;
  for (auto it = devicesMap_.begin(); it != devicesMap_.end();) {
    auto found = wanted.find(it->first);
    if (found != wanted.end() && found->second.pubUri == it->second.pubUri) {
      ++it;
      continue;
    }
    // Offline, or moved to another address.
    gone.push_back(it->second);
    it = devicesMap_.erase(it);
  }
  for (const Subscription& subscription : gone) {
    // The connection goes with the last device at its endpoint: ZeroMQ drops every
    // connection to an endpoint at once, and anyone can announce a device at another's.
    if (hasEndpoint(subscription.pubUri)) continue;
    try {
      subscriber_->disconnectToEndpoint(subscription.pubUri);
      QoLog("Subscriber disconnect to ({}):({})", subscription.name, subscription.pubUri);
    } catch (const std::exception& e) {
      QoLog("*** Subscriber disconnect to ({}):({}) failed, {}", subscription.name, subscription.pubUri, e.what());
    }
  }
  size_t untrusted = 0;
  for (auto& [uuid, connected] : devicesMap_) {
    // Trusted since it was connected, or no longer.
    connected.trusted = wanted[uuid].trusted;
    if (!connected.trusted) ++untrusted;
  }
  for (const auto& [uuid, subscription] : wanted) {
    if (devicesMap_.count(uuid) != 0) continue;
    // Any host can announce devices at will; what the untrusted ones publish changes
    // little here, so only a few of them are listened to. They wait for a free place.
    if (!subscription.trusted && untrusted >= kMaxUntrustedPublishers) continue;
    if (!subscription.trusted) ++untrusted;
    if (hasEndpoint(subscription.pubUri)) {
      devicesMap_.emplace(uuid, subscription);
      continue;
    }
    try {
      subscriber_->connectToEndpoint(subscription.pubUri);
      QoLog("Subscriber connect to ({}):({})", subscription.name, subscription.pubUri);
      devicesMap_.emplace(uuid, subscription);
    } catch (const std::exception& e) {
      QoLog("*** Subscriber connect to ({}):({}) failed, {}", subscription.name, subscription.pubUri, e.what());
      failed.push_back(uuid);
    }
  }
  if (failed.empty()) return;
  // A failed connect is tried again when the device is announced again, not at every wake-up.
  std::lock_guard wantedLock(wantedLock_);
  for (const auto& uuid : failed) {
    auto it = wanted_.find(uuid);
    if (it != wanted_.end() && it->second.pubUri == wanted[uuid].pubUri) wanted_.erase(it);
  }
}

bool QoPublisher::hasEndpoint(const std::string& pubUri) const {
  return std::any_of(devicesMap_.begin(), devicesMap_.end(),
                     [&](const auto& entry) { return entry.second.pubUri == pubUri; });
}

void QoPublisher::takeSubscriptions() {
  zmq_pollitem_t item{};
  publisher_->getPollItem(item, ZMQ_POLLIN);
  for (size_t i = 0; i < kSubscriptionsPerRound; ++i) {
    if (i > 0 && (ZMQContext::pollWithItems(&item, 1, 0) <= 0 || !(item.revents & ZMQ_POLLIN))) return;
    const std::string frame = publisher_->receiveDataWithFlags(0);
    // Peers subscribe to everything ("\x01") and may cancel it ("\x00"); ZeroMQ has
    // applied that already. Anything else is stored by ZeroMQ for as long as the connection
    // lasts, so the connection goes.
    if (!publisher_->msgMore() && frame.size() == 1 && (frame[0] == 0 || frame[0] == 1)) continue;
    cutSubscriber(fmt::format("it sent {} bytes that are no subscription of ours", frame.size()));
  }
}

void QoPublisher::cutSubscriber(const std::string& why) {
  const int fd = publisher_->lastSourceFd();
  const std::string& host = publisher_->lastSourceAddress();
  std::optional<std::string> peer = fd >= 0 ? ForeignTcpSocket::peerAddress(fd) : std::nullopt;
  // The descriptor may have gone to another connection meanwhile: only one of the same host
  // is cut (a frame still waiting from a connection already cut may end a later one of that
  // host that got its descriptor).
  if (peer && hostOf(*peer) == host && ForeignTcpSocket::cutIfConnectedTo(fd, *peer)) {
    refusedSubscriberLog_.log("*** Publisher: subscriber({}) cut, {}", *peer, why);
  }
}

void QoPublisher::cutOverrunPublishers() {
  std::lock_guard lock(devicesLock_);
  // Trusted devices (and untrusted ones announced at their endpoint) and this device's own
  // publisher are not left: a connection of theirs that was cut is made again.
  auto watched = [this](const std::string& endpoint) {
    return hasEndpoint(endpoint) && std::none_of(devicesMap_.begin(), devicesMap_.end(), [&](const auto& entry) {
             return entry.second.pubUri == endpoint && entry.second.trusted;
           });
  };
  std::vector<std::pair<std::string, std::string>> cut;
  for (const std::string& endpoint : connections_->cutOverrun(watched)) {
    cut.emplace_back(endpoint, fmt::format("it sent more than {} bytes that are no whole notice",
                                           SubscriberConnections::kMaxUnreadBytes));
  }
  takeGuardCuts();
  for (auto it = guardCut_.begin(); it != guardCut_.end();) {
    // Gone since: nothing to leave, and no reconnection to tell apart.
    if (!hasEndpoint(*it)) {
      it = guardCut_.erase(it);
      continue;
    }
    if (!watched(*it)) {
      ++it;
      continue;
    }
    cut.emplace_back(*it, "it sent a message that is no notice");
    it = guardCut_.erase(it);
  }
  for (const auto& [endpoint, why] : cut) {
    for (auto it = devicesMap_.begin(); it != devicesMap_.end();) {
      if (it->second.pubUri != endpoint) {
        ++it;
        continue;
      }
      droppedNoticeLog_.log("*** Subscriber cut ({}):({}), {}", it->second.name, endpoint, why);
      try {
        subscriber_->disconnectToEndpoint(endpoint);
      } catch (const std::exception& e) {
        QoLog("*** Subscriber disconnect to ({}) failed, {}", endpoint, e.what());
      }
      // Listened to again when it is announced again.
      {
        std::lock_guard wantedLock(wantedLock_);
        auto wanted = wanted_.find(it->first);
        if (wanted != wanted_.end() && wanted->second.pubUri == endpoint) wanted_.erase(wanted);
      }
      it = devicesMap_.erase(it);
    }
  }
}

void QoPublisher::takeGuardCuts() {
  for (std::string& endpoint : subscriber_->takeGuardCutEndpoints()) guardCut_.insert(std::move(endpoint));
}

void QoPublisher::pullReconnected(const std::vector<std::string>& endpoints) {
  if (endpoints.empty()) return;
  std::set<std::string> devices;
  takeGuardCuts();
  {
    std::lock_guard lock(devicesLock_);
    for (const auto& [uuid, subscription] : devicesMap_) {
      if (!subscription.trusted) continue;
      if (std::find(endpoints.begin(), endpoints.end(), subscription.pubUri) == endpoints.end()) continue;
      // Connected again after the guard cut what it sent, not after it was away: pulling
      // it at each reconnection would let its publisher make this device pull without end.
      if (guardCut_.erase(subscription.pubUri) != 0) continue;
      QoLog("Subscriber reached ({}):({}), pulling it", subscription.name, subscription.pubUri);
      devices.insert(uuid);
    }
  }
  if (devices.empty()) return;
  DispatchQueue::globalQueue()->async([devices] {
    try {
      for (const auto& copy : QoSyncdirCopy::getSyncdirCopyInLocalDevice()) {
        for (const auto& pairing : copy->getAllSyncdirCopyRelations()) {
          const auto& local = pairing->firstSyncdirCopy();
          const auto& remote = pairing->secondSyncdirCopy();
          if (!local || !remote || local->uuid() != copy->uuid() || !remote->device()) continue;
          if (devices.count(remote->device()->uuid()) == 0) continue;
          try {
            SyncEngine::pullOnce(local->uuid(), remote->uuid());
          } catch (const std::exception& e) {
            QoLog("*** QoPublisher synconce failed, {}: {}", exceptionName(e), exceptionReason(e));
          }
        }
      }
    } catch (const std::exception& e) {
      QoLog("*** Publisher: pairings of a device reached again not read, {}", e.what());
    }
  });
}

void QoPublisher::takeWorkerReply() {
  ZMQMessage message = ZMQMessage::recvFromSocket(*backend_);
  std::optional<std::string> worker = message.getNextFrame();
  QoAssert(worker.has_value(), "worker identity missing");
  workerQueue_.enqueue(std::move(*worker));
}

void QoPublisher::passNoticeToWorker() {
  std::optional<ZMQMessage> message = receiveBounded(*subscriber_, kMaxNoticeBytes);
  if (!message) return;
  connections_->noticeTaken(subscriber_->lastSourceFd(), message->frameCount(), message->byteSize());
  if (message->frameCount() > kMaxNoticeFrames) {
    droppedNoticeLog_.log("*** Publisher notice of {} frames dropped", message->frameCount());
    return;
  }
  message->insertEmptyFrameAtHead();
  message->insertFrameAtHead(kDummyIdentity);
  message->insertEmptyFrameAtHead();
  message->insertFrameAtHead(takeIdleWorker());
  if (!message->sendToSocket(*backend_)) QoLog("*** Publisher notice not passed to a worker");
}

}  // namespace velbor
