#include "core/daemon/discovery/QoPeerRecheck.h"

#include <exception>
#include <mutex>
#include <set>
#include <utility>

#include "core/daemon/QoNotices.h"
#include "core/daemon/client/QoClient.h"
#include "core/daemon/router/QoPeerChecks.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/utils/QoUtils.h"
#include "platform/Dispatch.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

// Devices with a check of one kind running.
class Running {
 public:
  bool enter(const std::string& uuid) {
    std::lock_guard guard(lock_);
    return uuids_.insert(uuid).second;
  }
  void leave(const std::string& uuid) {
    std::lock_guard guard(lock_);
    uuids_.erase(uuid);
  }

 private:
  std::mutex lock_;
  std::set<std::string> uuids_;
};

Running& runningExits() {
  static Running running;
  return running;
}

Running& runningDistrusts() {
  static Running running;
  return running;
}

// Runs `check` for the device unless one of its kind is running; never raises.
template <class Check>
void once(Running& running, const std::string& uuid, const char* what, Check&& check) {
  if (!running.enter(uuid)) return;
  try {
    check();
  } catch (const std::exception& e) {
    QoLog("*** {} check of device({}) failed, {}", what, uuid, e.what());
  }
  running.leave(uuid);
}

QoDevice::Ptr remoteDevice(const std::string& uuid) {
  QoDevice::Ptr device = QoDevice::getDeviceWithUuid(uuid);
  if (!device || device->isLocalDevice() || device->pk() == 0) return nullptr;
  return device;
}

// A device taken offline by a notice it did not send (it still answers): online again,
// subscribed again, and its pairings pulled for what was announced meanwhile.
void bringBack(const QoDevice::Ptr& device) {
  QoDevice::Ptr current = remoteDevice(device->uuid());
  if (!current || current->isOnline()) return;
  current->setIsOnline(true);
  current->setRegisterTime(QoUtils::timestampNow());
  current->save();
  QoLog("Device({}) still answers after its exit notice, back online", current->name());
  QoNotices::post(notice::DeviceAddResponse{{current}});
  if (current->isTrusted()) QoClient::syncOnceTo(current);
}

}  // namespace

void QoPeerRecheck::install() {
  QoPeerChecks::install([](const std::string& uuid, bool markedOffline) { checkExit(uuid, markedOffline); },
                        [](const std::string& uuid) { checkDistrust(uuid); });
}

void QoPeerRecheck::checkExit(const std::string& deviceUuid, bool markedOffline) {
  DispatchQueue::globalQueue()->after(kExitCheckDelay,
                                      [deviceUuid, markedOffline] { runExitCheck(deviceUuid, markedOffline); });
}

void QoPeerRecheck::checkDistrust(const std::string& deviceUuid) {
  DispatchQueue::globalQueue()->async([deviceUuid] { runDistrustCheck(deviceUuid); });
}

bool QoPeerRecheck::answers(const QoDevice::Ptr& device) {
  if (!device || !QoDevice::isPeerEndpoint(device->routeUri())) return false;
  try {
    return QoClient::sendMessageTo(device, QoMessage::qoMessageWithMsgCode(pb::MsgCodeScanRequest, nullptr)) != nullptr;
  } catch (const std::exception&) {
    return false;
  }
}

void QoPeerRecheck::runExitCheck(const std::string& deviceUuid, bool markedOffline) {
  once(runningExits(), deviceUuid, "Exit", [&] {
    QoDevice::Ptr device = remoteDevice(deviceUuid);
    // Without an endpoint there is nobody to ask: the offline check decides in time.
    if (!device || !QoDevice::isPeerEndpoint(device->routeUri())) return;
    if (!markedOffline && !device->isOnline()) return;
    if (answers(device)) {
      if (markedOffline) {
        bringBack(device);
      } else {
        QoLog("* Exit notice of device({}) ignored, it still answers", device->name());
      }
      return;
    }
    if (markedOffline) return;
    QoDevice::Ptr current = remoteDevice(deviceUuid);
    if (!current || !current->isOnline()) return;
    QoLog("Device({}) is gone after its exit notice", current->name());
    QoWorker::takeExitedOffline(current);
  });
}

void QoPeerRecheck::runDistrustCheck(const std::string& deviceUuid) {
  once(runningDistrusts(), deviceUuid, "Distrust", [&] {
    QoDevice::Ptr device = remoteDevice(deviceUuid);
    if (!device || !QoDevice::isPeerEndpoint(device->routeUri())) return;
    const QoMessage::Ptr reply = QoClient::sendStatusRequestTo(device, QoClient::kOptionSync);
    if (!reply) {
      QoLog("* Distrust of device({}) not confirmed, no answer", device->name());
      return;
    }
    const auto error = reply->code() == pb::MsgCodeError ? reply->pbBodyAs<pb::MsgError>() : nullptr;
    if (error && (error->errcode() == pb::ErrorCodeUntrusted || error->errcode() == pb::ErrorCodeNoent)) {
      QoLog("Device({}) no longer trusts this device, trust ended", device->name());
      QoWorker::endTrustOf(deviceUuid);
      return;
    }
    if (reply->code() == pb::MsgCodeStatusResponse) {
      QoLog("*** Distrust of device({}) refused, it still trusts this device", device->name());
      return;
    }
    QoLog("* Distrust of device({}) not confirmed, answer code({})", device->name(), reply->code());
  });
}

}  // namespace velbor
