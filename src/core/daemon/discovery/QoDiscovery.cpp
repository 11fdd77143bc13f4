#include "core/daemon/discovery/QoDiscovery.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <utility>
#include <vector>

#include "core/daemon/http/QoHttpClient.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFeedback.h"
#include "core/envelope/QoMessage.h"
#include "core/state/Lockers.h"
#include "core/state/PullsAwaitingPeer.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "core/state/QoPeer.h"
#include "core/utils/QoUtils.h"
#include "framework/crypto/QoEncrypt.h"
#include "framework/errors/QoException.h"
#include "framework/network/DispatchUdpSocket.h"
#include "platform/Dispatch.h"
#include "platform/LockerGuard.h"
#include "platform/LogRateLimiter.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

// Lines a peer can cause (refused datagrams, failed registrations and challenges).
constexpr size_t kPeerLogLines = 20;
constexpr std::chrono::seconds kPeerLogInterval{60};

// Hands the receive socket's datagrams to discovery while it runs.
class DiscoveryDelegate : public DispatchUdpSocketDelegate {
 public:
  void udpSocketDidReceiveData(const std::shared_ptr<DispatchUdpSocket>& /*sock*/, const std::string& data,
                               const std::string& address, const std::any& /*filterContext*/) override {
    QoDiscovery& discovery = QoDiscovery::sharedQoDiscovery();
    if (discovery.isRunning()) discovery.didReceiveData(data, address);
  }
};

std::string exceptionName(const std::exception& e) {
  const auto* named = dynamic_cast<const Exception*>(&e);
  return named ? named->name() : "std::exception";
}

// Takes one device offline from a fresh read under "transaction", when `due` still holds for
// it then: a record read earlier may be stale (registered again, trusted since), and
// setOffLine writes the whole row back. Answers the device taken offline, or nullptr.
template <typename Due>
QoDevice::Ptr takeOffline(const std::string& uuid, Due due) {
  try {
    LockerGuard lock(Lockers::transaction());
    auto device = QoDevice::getDeviceWithUuid(uuid);
    if (!device || device->pk() == 0 || !due(*device)) return nullptr;
    device->setOffLine();
    return device;
  } catch (const std::exception& e) {
    QoLog("*** set device off line failed, {}", e.what());
    return nullptr;
  }
}

int64_t ticksOf(int64_t seconds) { return std::max<int64_t>(1, seconds / QoDiscovery::kTickInterval.count()); }

}  // namespace

QoDiscovery& QoDiscovery::sharedQoDiscovery() {
  // Never destroyed: jobs still running at exit use it.
  static QoDiscovery& instance = *new QoDiscovery();
  return instance;
}

QoDiscovery::QoDiscovery()
    : delegate_(std::make_shared<DiscoveryDelegate>()),
      peerLog_(std::make_unique<LogRateLimiter>("discovery", kPeerLogLines, kPeerLogInterval)) {}

QoDiscovery::~QoDiscovery() = default;

void QoDiscovery::run() {
  std::lock_guard<std::recursive_mutex> lock(udpSocketLock_);
  if (running_) return;
  stopping_ = false;
  fixTickCounts();
  counter_ = 0;
  const int error = udpServerStart();
  if (error != 0) raiseBindFailure(error);
  broadCast();
  tickQueue_ = DispatchQueue::createSerial("discoverTick");
  tickTimer_ = DispatchSource::makeTimer(kTickInterval, kTickInterval, tickQueue_);
  tickTimer_->setEventHandler([this] { threadTimerScheduler(); });
  tickTimer_->resume();
  running_ = true;
}

void QoDiscovery::stop() {
  std::shared_ptr<DispatchQueue> tickQueue;
  std::shared_ptr<DispatchQueue> udpQueue;
  std::shared_ptr<DispatchQueue> udpSendQueue;
  {
    std::lock_guard<std::recursive_mutex> lock(udpSocketLock_);
    running_ = false;
    stopping_ = true;
    if (tickTimer_) tickTimer_->cancel();
    tickTimer_.reset();
    tickQueue = std::move(tickQueue_);
    closeReceiveSocketLocked();
    udpQueue = std::move(udpQueue_);
  }
  {
    std::lock_guard<std::recursive_mutex> lock(udpSendSocketLock_);
    if (udpSendSocket_) udpSendSocket_->close();
    udpSendSocket_.reset();
    udpSendQueue = std::move(udpSendQueue_);
  }
  // Outside the locks: a queued datagram or tick may be waiting for them. Dropping a serial
  // queue runs what it holds, then ends its thread.
  if (tickQueue) tickQueue->sync([] {});
  if (udpQueue) udpQueue->sync([] {});
  waitForJobs();
  {
    // A new start challenges every claimed endpoint afresh, and logs afresh.
    std::lock_guard lock(challengeLock_);
    failedEndpoints_.clear();
  }
  peerLog_->restart();
  tickQueue.reset();
  udpQueue.reset();
  udpSendQueue.reset();
  stopping_ = false;
}

bool QoDiscovery::isRunning() const {
  std::lock_guard<std::recursive_mutex> lock(udpSocketLock_);
  return running_;
}

void QoDiscovery::fixTickCounts() {
  const QoConfig& config = QoConfig::sharedQoConfig();
  deviceTimeoutTTL_ = ticksOf(config.deviceOnlineTimeOut());
  broadCastTTL_ = ticksOf(config.broadCastInterval());
}

int64_t QoDiscovery::deviceTimeoutTTL() const { return deviceTimeoutTTL_; }

int64_t QoDiscovery::broadCastTTL() const { return broadCastTTL_; }

int QoDiscovery::udpServerStart() {
  std::lock_guard<std::recursive_mutex> lock(udpSocketLock_);
  std::optional<DispatchUdpSocketError> failure;
  try {
    const int port = QoConfig::sharedQoConfig().portUdp();
    for (const auto& device : QoDevice::getDeviceRemoteOnline()) {
      takeOffline(device->uuid(), [](const QoDevice& fresh) { return fresh.isOnline(); });
    }
    closeReceiveSocketLocked();
    udpQueue_ = DispatchQueue::createSerial("discoverUdp");
    udpSocket_ = DispatchUdpSocket::create(delegate_, udpQueue_);
    DispatchUdpSocketError error;
    if (!udpSocket_->bindToPort(static_cast<uint16_t>(port & 0xFFFF), &error)) {
      failure = error;
      QoAssert(false, "*** bind port({}) failed, {}", port, error.description());
    }
    if (!udpSocket_->beginReceiving(&error)) {
      failure = error;
      QoAssert(false, "*** begin receiving failed, {}", error.description());
    }
    broadCast();
    return 0;
  } catch (const std::exception& e) {
    QoLog("*** QoDiscovery run failed, {}", e.what());
    closeReceiveSocketLocked();
    return failure ? failure->code() : -1;
  }
}

void QoDiscovery::closeReceiveSocketLocked() {
  if (udpSocket_ && !udpSocket_->isClosed()) udpSocket_->close();
  udpSocket_.reset();
}

void QoDiscovery::raiseBindFailure(int error) {
  if (error == EADDRINUSE) throw QoException::exceptionWithName("Address already in use", "地址已经被占用");
  if (error == EACCES) throw QoException::exceptionWithName("Permission denied", "禁止绑定该端口");
  throw QoException::defaultExceptionWithReason("*** bind udp port({}) failed, {}",
                                                QoConfig::sharedQoConfig().portUdp(), error);
}

void QoDiscovery::restart() {
  std::lock_guard<std::recursive_mutex> lock(udpSocketLock_);
  closeReceiveSocketLocked();
  const int error = udpServerStart();
  if (error == EADDRINUSE || error == EACCES) raiseBindFailure(error);
  if (error == 0) broadCast();
}

int QoDiscovery::udpSendSocketInit() {
  std::lock_guard<std::recursive_mutex> lock(udpSendSocketLock_);
  std::optional<DispatchUdpSocketError> failure;
  try {
    udpSendQueue_ = DispatchQueue::createSerial("discoverUdp1");
    udpSendSocket_ = DispatchUdpSocket::create(delegate_, udpSendQueue_);
    DispatchUdpSocketError error;
    if (!udpSendSocket_->enableBroadcast(true, &error)) {
      failure = error;
      QoAssert(false, "*** enable async broadcast error, {}", error.description());
    }
    return 0;
  } catch (const std::exception& e) {
    QoLog("*** QoDiscovery run failed, {}", e.what());
    if (udpSendSocket_ && !udpSendSocket_->isClosed()) udpSendSocket_->close();
    udpSendSocket_.reset();
    return failure ? failure->code() : -1;
  }
}

std::shared_ptr<DispatchUdpSocket> QoDiscovery::getUdpSendSocket() {
  std::lock_guard<std::recursive_mutex> lock(udpSendSocketLock_);
  if ((!udpSendSocket_ || udpSendSocket_->isClosed()) && udpSendSocketInit() != 0) return nullptr;
  return udpSendSocket_;
}

std::shared_ptr<pb::MsgDiscover> QoDiscovery::localDiscover(bool isResponse) {
  const auto local = QoDevice::getDeviceLocal();
  if (!local) return nullptr;
  const QoConfig& config = QoConfig::sharedQoConfig();
  auto body = std::make_shared<pb::MsgDiscover>();
  body->set_is_response(isResponse ? pb::PbBoolTrue : pb::PbBoolFalse);
  body->set_device_uuid(local->uuid());
  body->set_device_name(local->name());
  body->set_device_type(static_cast<pb::DeviceType>(QoPeer::convertDeviceTypeFromQoToPb(local->type())));
  body->set_route_port(config.portRouter());
  body->set_pub_port(config.portPublisher());
  body->set_public_key(QoEncrypt::convertPublicKeyFromPemToDer(config.devicePublicKey()));
  return body;
}

void QoDiscovery::broadCast() {
  try {
    const std::string token = QoConfig::sharedQoConfig().deviceToken();
    // Without a token the datagram would open for every other device without one.
    if (token.empty()) return;
    const auto body = localDiscover(false);
    if (!body) {
      QoLog("*** local device is not regitered?");
      return;
    }
    const auto socket = getUdpSendSocket();
    if (!socket) return;
    QoMessage::qoMessageWithMsgCode(pb::MsgCodeDiscover, body)->discoverBroadCastToAsyncSocket(*socket);
  } catch (const std::exception& e) {
    QoLog("Broadcast execption, {}:{}", exceptionName(e), e.what());
  }
}

void QoDiscovery::timeoutCheck() {
  const int64_t timeout = QoConfig::sharedQoConfig().deviceOnlineTimeOut();
  const auto candidates = QoDevice::getDeviceTimeOut(timeout);
  if (candidates.empty()) return;
  std::vector<QoDevice::Ptr> offline;
  for (const auto& candidate : candidates) {
    auto device = takeOffline(candidate->uuid(), [timeout](const QoDevice& fresh) {
      return fresh.isOnline() && fresh.registerTime() + timeout < QoUtils::timestampNow();
    });
    if (device) offline.push_back(std::move(device));
  }
  if (!offline.empty()) QoNotices::post(notice::DeviceOffLine{std::move(offline)});
}

void QoDiscovery::threadTimerScheduler() {
  if (counter_ % kHttpCheckStatusTTL == 0) runTracked([this] { checkIn(); });
  ++counter_;
  if (counter_ % broadCastTTL_ == 0 || awaitsOnlineDevice()) broadCast();
  if (counter_ % deviceTimeoutTTL_ == 0) timeoutCheck();
  if (counter_ % kRefreshTTL == 0) QoNotices::post(notice::SyncAddResponse{});
}

bool QoDiscovery::awaitsOnlineDevice() {
  for (const std::string& uuid : PullsAwaitingPeer::shared().devices()) {
    const auto device = QoDevice::getDeviceWithUuid(uuid);
    // This device never answers its own announcement.
    if (device && device->pk() != 0 && device->isOnline()) return true;
  }
  return false;
}

void QoDiscovery::checkIn() {
  QoHttpClient::sendCheckStatusHttpRequest();
  for (const auto& feedback : QoFeedback::allObjects()) {
    if (stopping_) return;
    // The record stays stored until the service has taken it.
    if (QoHttpClient::sendHttpRequestWithFeedback(*feedback)) feedback->deleteObject();
  }
}

void QoDiscovery::runTracked(std::function<void()> job) {
  {
    std::lock_guard lock(jobsLock_);
    ++jobs_;
  }
  DispatchQueue::globalQueue()->async([this, job = std::move(job)] {
    try {
      job();
    } catch (const std::exception& e) {
      QoLog("*** discovery job failed, {}:{}", exceptionName(e), e.what());
    }
    std::lock_guard lock(jobsLock_);
    if (--jobs_ == 0) jobsDone_.notify_all();
  });
}

void QoDiscovery::waitForJobs() {
  std::unique_lock lock(jobsLock_);
  jobsDone_.wait(lock, [this] { return jobs_ == 0; });
}

}  // namespace velbor
