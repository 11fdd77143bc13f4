// The handlers of the router's own requests: scan, a peer's exit notice and clearing the
// database.
#include "core/daemon/router/QoPeerChecks.h"
#include "core/daemon/router/QoSeenSignatures.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/state/DataSource.h"
#include "core/state/QoNotices.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

namespace {

// Status 2: this device waits for the peer's answer; 3: the peer asks this device.
bool isInTrustExchange(const QoDevice& device) { return device.status() == 2 || device.status() == 3; }

}  // namespace

QoMessage::Ptr QoWorker::handleScanRequest(const QoRequest&) {
  QoLog("handle ScanRequest message");
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeScanResponse, nullptr);
}

void QoWorker::takeExitedOffline(const QoDevice::Ptr& device) {
  QoDevice::Ptr current;
  {
    // The whole row is written back: read again under the writers' locker, or a change made
    // since the caller read it, or not yet committed then (the device removed, a trust
    // agreed), would be undone.
    LockerGuard writers(WriteTransaction::locker());
    current = QoDevice::getDeviceWithUuid(device->uuid());
    if (!current || current->pk() == 0 || !current->isOnline()) return;
    if (isInTrustExchange(*current)) {
      // Its offer or ours is still open: going offline must not drop it mid-exchange.
      current->setIsOnline(false);
      current->save();
    } else {
      current->setOffLine();
    }
  }
  QoNotices::post(notice::DeviceOffLine{{current}});
}

QoMessage::Ptr QoWorker::handlePubExit(const QoRequest& request) {
  try {
    auto body = request.bodyAs<pb::MsgPubExit>();
    QoAssert(body != nullptr, "PubExit request message can not be nil");
    const std::string& uuid = body->publisher();
    QoDevice::Ptr device = QoDevice::getDeviceWithUuid(uuid);
    if (!device || device->isLocalDevice()) return nullptr;
    if (request.sender && request.sender->uuid() != uuid) {
      QoLog("*** PubExit of ({}) signed by another device, ignored", uuid);
      return nullptr;
    }
    // Anyone can send this unsigned, as this build and the peers that follow the protocol
    // do. It takes effect at once, so that a device that quits is seen to go at once, and
    // the device is asked afterwards: one that still answers is back online before its
    // changes are missed. A signed one is the same bytes at every exit: one seen before may
    // be an old one replayed, and is only asked about, so that replaying it over and over
    // does not take the device offline, and pull from it, every time. An unsigned one for a
    // device that a check found answering a short while ago is only asked about too: a
    // stream of them would otherwise keep it offline most of the time.
    // A signed body with more than the uuid is another message relabelled (a status request
    // with its challenge is signed afresh each time): it is no exit of the device's.
    const bool replayed =
        request.sender && request.sign &&
        (!body->GetReflection()->GetUnknownFields(*body).empty() || !QoSeenSignatures::remember(uuid, *request.sign));
    const bool doubted = !request.sender && QoPeerChecks::answeredRecently(uuid);
    if (!replayed && !doubted && device->isOnline()) takeExitedOffline(device);
    QoPeerChecks::exitNoticeHeard(uuid);
  } catch (const std::exception& e) {
    QoLog("*** handlePubExit failed, {}", e.what());
  }
  return nullptr;
}

QoMessage::Ptr QoWorker::handleDatabaseClearRequest(const QoRequest& request) {
  // The request has no body, so its signature covers nothing of it: any signed bodiless
  // request a peer ever sent could be relabelled 400 and replayed. Only this device's own
  // requests may clear its database.
  if (request.fromNetwork) {
    throw QoExceptionZePermissionDeny("DatabaseClear request is not allowed from the network");
  }
  QoAssert(request.body == nullptr, "DatabaseClear request message must be nil");
  DataSource::sharedDataSource().dbClear();
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeDatabaseClearResponse, nullptr);
}

}  // namespace velbor
