#include "core/daemon/discovery/QoPeerRecheck.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "core/daemon/client/QoClient.h"
#include "core/daemon/discovery/PeerCheckLanes.h"
#include "core/daemon/discovery/QoStatusCheck.h"
#include "core/daemon/router/QoPeerChecks.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/state/Lockers.h"
#include "core/state/QoNotices.h"
#include "core/utils/QoUtils.h"
#include "platform/Dispatch.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

// Checks of peers that may run at once, for trusted devices and for the others apart: the
// others can be made up by anyone with the token, and their checks must not hold up those of
// the trusted ones. The rest wait their turn without holding a worker.
constexpr size_t kCheckLanes = 2;

PeerCheckLanes& trustedLanes() {
  static auto* lanes = new PeerCheckLanes(kCheckLanes);
  return *lanes;
}

PeerCheckLanes& otherLanes() {
  static auto* lanes = new PeerCheckLanes(kCheckLanes);
  return *lanes;
}

PeerCheckLanes& lanesFor(const std::string& uuid) {
  try {
    const auto device = QoDevice::getDeviceWithUuid(uuid);
    if (device && device->isTrusted()) return trustedLanes();
  } catch (const std::exception& e) {
    QoLog("*** device({}) not read, {}", uuid, e.what());
  }
  return otherLanes();
}

// Devices with a check of one kind running, or queued. The sets are never destroyed: a reply
// thread of the client may still leave one while the process exits.
class Running {
 public:
  // False when the device is in already; it is then marked as asked again meanwhile.
  bool enter(const std::string& uuid) {
    std::lock_guard guard(lock_);
    if (uuids_.insert(uuid).second) return true;
    again_.insert(uuid);
    return false;
  }
  // Whether the device was asked again while it was in.
  bool leave(const std::string& uuid) {
    std::lock_guard guard(lock_);
    uuids_.erase(uuid);
    return again_.erase(uuid) > 0;
  }

 private:
  std::mutex lock_;
  std::set<std::string> uuids_;
  std::set<std::string> again_;
};

Running& runningExits() {
  static auto* running = new Running();
  return *running;
}

Running& runningDistrusts() {
  static auto* running = new Running();
  return *running;
}

Running& runningPairingChecks() {
  static auto* running = new Running();
  return *running;
}

// Devices with a check of one kind queued and not yet started.
Running& waitingExits() {
  static auto* waiting = new Running();
  return *waiting;
}

Running& waitingDistrusts() {
  static auto* waiting = new Running();
  return *waiting;
}

// Runs `check` for the device unless one of its kind is running; never raises. Answers
// whether the device was asked about again while the check ran: what was asked may be
// newer than what the check saw (a device that quits while it was asked), so the caller
// queues one more check.
template <class Check>
bool once(Running& running, const std::string& uuid, const char* what, Check&& check) {
  if (!running.enter(uuid)) return false;
  try {
    check();
  } catch (const std::exception& e) {
    QoLog("*** {} check of device({}) failed, {}", what, uuid, e.what());
  }
  return running.leave(uuid);
}

// Queues `check` for the device unless one of its kind is waiting already: a flood of
// notices queues at most one check per device (and one more while that one runs). A notice
// that came while the check waited may be newer than what the check sees when it runs
// (a device that announces its exit just before it goes), so one more check follows it.
template <class Check>
void queueOnce(Running& waiting, const std::string& uuid, const char* what, std::chrono::milliseconds delay,
               Check check) {
  if (!waiting.enter(uuid)) return;
  auto job = [&waiting, uuid, what, delay, check] {
    const bool askedAgain = waiting.leave(uuid);
    check();
    if (askedAgain) queueOnce(waiting, uuid, what, delay, check);
  };
  try {
    lanesFor(uuid).runAfter(delay, job);
  } catch (const std::exception& e) {
    waiting.leave(uuid);
    QoLog("*** {} check of device({}) not queued, {}", what, uuid, e.what());
  }
}

// Refusals of trust by devices, unsigned as every error reply is: whoever holds the device's
// address can send one. A trust ends only when the device refuses again and again, over the
// whole of a span of time: one refusal counts only when it comes at least one recheck delay
// after the last one counted (those of one moment count once), and one that comes more than
// two recheck delays after it starts the count afresh. kDistrustConfirmations refusals so
// counted span at least (kDistrustConfirmations - 1) recheck delays, each of them answered.
class Refusals {
 public:
  // Counts one; answers whether the refusals now suffice to end the trust.
  bool add(const std::string& uuid, bool trusted, std::chrono::milliseconds recheckDelay) {
    std::lock_guard guard(lock_);
    const auto now = std::chrono::steady_clock::now();
    auto entry = seen_.find(uuid);
    if (entry == seen_.end()) {
      if (seen_.size() >= kMaxDevices && !makeRoom(trusted)) return false;
      entry = seen_.emplace(uuid, Entry{}).first;
    }
    Entry& counted = entry->second;
    counted.trusted = trusted;
    if (counted.count > 0) {
      if (now - counted.last < recheckDelay) return false;
      if (now - counted.last > recheckDelay * 2) counted.count = 0;
    }
    ++counted.count;
    counted.last = now;
    return counted.count >= QoPeerRecheck::kDistrustConfirmations;
  }
  void clear(const std::string& uuid) {
    std::lock_guard guard(lock_);
    seen_.erase(uuid);
  }

 private:
  // Far more devices than any user trusts. Devices not trusted (anyone with the token can
  // have discovery store them) give way to trusted ones.
  static constexpr size_t kMaxDevices = 4096;
  struct Entry {
    int count = 0;
    std::chrono::steady_clock::time_point last;
    bool trusted = false;
  };
  bool makeRoom(bool forTrusted) {
    if (!forTrusted) return false;
    for (auto entry = seen_.begin(); entry != seen_.end(); ++entry) {
      if (entry->second.trusted) continue;
      seen_.erase(entry);
      return true;
    }
    return false;
  }
  std::mutex lock_;
  std::map<std::string, Entry> seen_;
};

// Devices whose next asking about a distrust is waiting for its time.
Running& scheduledRechecks() {
  static auto* scheduled = new Running();
  return *scheduled;
}

// Offers of trusted devices waiting for their agreement, the latest token of each device.
std::mutex& offerLock() {
  static auto* lock = new std::mutex();
  return *lock;
}

std::map<std::string, std::string>& pendingOffers() {
  static auto* offers = new std::map<std::string, std::string>();
  return *offers;
}

Refusals& refusals() {
  static auto* refusals = new Refusals();
  return *refusals;
}

// Status answers without their request's challenge that left pairings out, counted as refusals.
Refusals& omissions() {
  static auto* omissions = new Refusals();
  return *omissions;
}

Running& scheduledPairingChecks() {
  static auto* scheduled = new Running();
  return *scheduled;
}

std::atomic<int64_t>& distrustRecheckDelayMs() {
  static std::atomic<int64_t> delay{
      std::chrono::duration_cast<std::chrono::milliseconds>(QoPeerRecheck::kDistrustRecheckDelay).count()};
  return delay;
}

std::chrono::milliseconds distrustRecheckDelay() { return std::chrono::milliseconds(distrustRecheckDelayMs().load()); }

QoDevice::Ptr remoteDevice(const std::string& uuid) {
  QoDevice::Ptr device = QoDevice::getDeviceWithUuid(uuid);
  if (!device || device->isLocalDevice() || device->pk() == 0) return nullptr;
  return device;
}

bool signedBy(const QoMessage& reply, const QoDevice& device) {
  return reply.level() >= QoMessage::kLevelAuth && reply.srcDevice() && reply.srcDevice()->uuid() == device.uuid();
}

// A device taken offline by a notice it did not send (it still answers): online again,
// subscribed again, and its pairings pulled for what was announced meanwhile.
void bringBack(const QoDevice::Ptr& device) {
  QoDevice::Ptr current;
  {
    // The whole row is written back: read under the writers' locker, or a change not yet
    // committed when it was read (the device removed) would be undone.
    LockerGuard writers(Lockers::transaction());
    current = remoteDevice(device->uuid());
    if (!current || current->isOnline()) return;
    current->setIsOnline(true);
    current->setRegisterTime(QoUtils::timestampNow());
    current->save();
  }
  QoLog("Device({}) still answers after its exit notice, back online", current->name());
  QoNotices::post(notice::DeviceAddResponse{{current}});
  if (current->isTrusted()) QoClient::syncOnceTo(current);
}

}  // namespace

void QoPeerRecheck::install() {
  QoPeerChecks::install([](const std::string& uuid) { checkExit(uuid); },
                        [](const std::string& uuid) { checkDistrust(uuid); });
  QoPeerChecks::installOfferAnswer(
      [](const std::string& uuid, const std::string& token) { agreeToOffer(uuid, token); });
}

void QoPeerRecheck::checkExit(const std::string& deviceUuid) {
  queueOnce(waitingExits(), deviceUuid, "Exit", kExitCheckDelay, [deviceUuid] { runExitCheck(deviceUuid); });
}

void QoPeerRecheck::checkDistrust(const std::string& deviceUuid) {
  queueOnce(waitingDistrusts(), deviceUuid, "Distrust", std::chrono::milliseconds(0),
            [deviceUuid] { runDistrustCheck(deviceUuid); });
}

void QoPeerRecheck::setDistrustRecheckDelay(std::chrono::milliseconds delay) {
  distrustRecheckDelayMs() = delay.count();
}

bool QoPeerRecheck::answers(const QoDevice::Ptr& device) {
  if (!device || !QoDevice::isPeerEndpoint(device->routeUri())) return false;
  try {
    return QoClient::sendMessageTo(device, QoMessage::qoMessageWithMsgCode(pb::MsgCodeScanRequest, nullptr)) != nullptr;
  } catch (const std::exception&) {
    return false;
  }
}

// After an exit notice the device's state follows what it does: one that answers is online
// (back online when the notice took it offline), one that does not is offline.
void QoPeerRecheck::runExitCheck(const std::string& deviceUuid) {
  const bool askedAgain = once(runningExits(), deviceUuid, "Exit", [&] {
    QoDevice::Ptr device = remoteDevice(deviceUuid);
    // Without an endpoint there is nobody to ask: the offline check decides in time.
    if (!device || !QoDevice::isPeerEndpoint(device->routeUri())) return;
    if (answers(device)) {
      QoPeerChecks::deviceAnswered(deviceUuid);
      if (device->isOnline()) {
        QoLog("* Exit notice of device({}) ignored, it still answers", device->name());
      } else {
        bringBack(device);
      }
      return;
    }
    QoDevice::Ptr current = remoteDevice(deviceUuid);
    if (!current || !current->isOnline()) return;
    QoLog("Device({}) is gone after its exit notice", current->name());
    QoWorker::takeExitedOffline(current);
  });
  if (askedAgain) checkExit(deviceUuid);
}

// A signed status answer refuses the distrust; a refusal of trust (unsigned, as every error
// reply) ends the trust only when it is given again and again over time, each time asked
// anew: a host that holds the device's address for a moment, or for a few moments, cannot
// end it. Asked of a device trusted here, and of one whose trust here lapsed while it still
// holds copies paired here (it may still trust this device); one with neither has nothing
// here that a distrust would end.
void QoPeerRecheck::runDistrustCheck(const std::string& deviceUuid) {
  bool recheck = false;
  const bool askedAgain = once(runningDistrusts(), deviceUuid, "Distrust", [&] {
    QoDevice::Ptr device = remoteDevice(deviceUuid);
    if (!device || !QoDevice::isPeerEndpoint(device->routeUri()) ||
        (!device->isTrusted() && QoDevice::getDeviceSyncdirCopys(device->pk()).empty())) {
      refusals().clear(deviceUuid);
      return;
    }
    const std::string challenge = QoStatusCheck::newChallenge();
    const QoMessage::Ptr reply = QoClient::sendStatusRequestTo(device, QoClient::kOptionSync, challenge);
    if (!reply) {
      QoLog("* Distrust of device({}) not confirmed, no answer", device->name());
      return;
    }
    const auto error = reply->code() == pb::MsgCodeError ? reply->pbBodyAs<pb::MsgError>() : nullptr;
    if (error && (error->errcode() == pb::ErrorCodeUntrusted || error->errcode() == pb::ErrorCodeNoent)) {
      if (!refusals().add(deviceUuid, device->isTrusted(), distrustRecheckDelay())) {
        QoLog("* Device({}) refuses this device, asked again later", device->name());
        recheck = true;
        return;
      }
      refusals().clear(deviceUuid);
      QoLog("Device({}) no longer trusts this device, trust ended", device->name());
      QoWorker::endTrustOf(deviceUuid);
      return;
    }
    const auto status = reply->code() == pb::MsgCodeStatusResponse ? reply->pbBodyAs<pb::MsgStatusResponse>() : nullptr;
    // An answer to another request was recorded and sent again: it tells nothing of now.
    if (status && signedBy(*reply, *device) &&
        QoStatusCheck::bindingOf(*status, challenge, deviceUuid) != QoStatusCheck::Binding::kOtherRequest) {
      refusals().clear(deviceUuid);
      QoLog("*** Distrust of device({}) refused, it still trusts this device", device->name());
      return;
    }
    QoLog("* Distrust of device({}) not confirmed, answer code({}) level({})", device->name(), reply->code(),
          reply->level());
  });
  // One asking waits at a time: further refusals of the same moment count for nothing.
  if (recheck && scheduledRechecks().enter(deviceUuid)) {
    lanesFor(deviceUuid).runAfter(distrustRecheckDelay(), [deviceUuid] {
      scheduledRechecks().leave(deviceUuid);
      checkDistrust(deviceUuid);
    });
  } else if (askedAgain) {
    checkDistrust(deviceUuid);
  }
}

bool QoPeerRecheck::pairingsLeftOut(const std::string& deviceUuid) {
  if (omissions().add(deviceUuid, true, distrustRecheckDelay())) {
    omissions().clear(deviceUuid);
    return true;
  }
  // One asking waits at a time, as for a refusal of trust.
  if (scheduledPairingChecks().enter(deviceUuid)) {
    lanesFor(deviceUuid).runAfter(distrustRecheckDelay(), [deviceUuid] {
      scheduledPairingChecks().leave(deviceUuid);
      runPairingCheck(deviceUuid);
    });
  }
  return false;
}

void QoPeerRecheck::pairingsSettled(const std::string& deviceUuid) { omissions().clear(deviceUuid); }

void QoPeerRecheck::runPairingCheck(const std::string& deviceUuid) {
  once(runningPairingChecks(), deviceUuid, "Pairing", [&] {
    QoDevice::Ptr device = remoteDevice(deviceUuid);
    if (!device || !device->isTrusted() || !QoDevice::isPeerEndpoint(device->routeUri())) {
      omissions().clear(deviceUuid);
      return;
    }
    QoStatusCheck::handleSendStatusRequest(device);
  });
}

void QoPeerRecheck::agreeToOffer(const std::string& deviceUuid, const std::string& token) {
  {
    std::lock_guard guard(offerLock());
    const bool queued = pendingOffers().count(deviceUuid) != 0;
    pendingOffers()[deviceUuid] = token;
    if (queued) return;
  }
  trustedLanes().run([deviceUuid] { runOfferAgreement(deviceUuid); });
}

void QoPeerRecheck::runOfferAgreement(const std::string& deviceUuid) {
  std::string token;
  {
    std::lock_guard guard(offerLock());
    auto pending = pendingOffers().find(deviceUuid);
    if (pending == pendingOffers().end()) return;
    token = std::move(pending->second);
    pendingOffers().erase(pending);
  }
  // Sent to where the device is known to be, whoever delivered the offer: only the device
  // that holds this offer open takes the agreement, and nothing changes here either way.
  QoDevice::Ptr device = remoteDevice(deviceUuid);
  if (!device || !device->isTrusted() || !QoDevice::isPeerEndpoint(device->routeUri())) return;
  const QoMessage::Ptr reply = QoClient::sendTrustRequestTo(device, QoClient::kOptionSync, token);
  const auto answer = reply ? reply->pbBodyAs<pb::MsgTrustResponse>() : nullptr;
  if (answer && reply->code() == pb::MsgCodeTrustResponse && answer->trust_result() == pb::TrustResultAccepted) {
    QoLog("Device({}) took the agreement to its offer, trusted on both sides", device->name());
  } else {
    QoLog("* Device({}) did not take the agreement to its offer", device->name());
  }
}

}  // namespace velbor
