// The handlers of the router's own requests: scan, a peer's exit notice and clearing the
// database.
#include "core/daemon/DataSource.h"
#include "core/daemon/QoNotices.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/utils/QoExceptionProto.h"
#include "core/utils/QoUtils.h"
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

QoMessage::Ptr QoWorker::handlePubExit(const QoRequest& request) {
  try {
    auto body = request.bodyAs<pb::MsgPubExit>();
    QoAssert(body != nullptr, "PubExit request message can not be nil");
    // Only the device itself may say it is gone: anyone else could take it offline, or
    // remove it while it is not trusted.
    if (!request.sender || request.sender->uuid() != body->publisher()) {
      QoLog("*** PubExit of ({}) not signed by it, ignored", body->publisher());
      return nullptr;
    }
    QoDevice::Ptr device = QoDevice::getDeviceWithUuid(body->publisher());
    if (device && !device->isLocalDevice()) {
      if (isInTrustExchange(*device)) {
        // Its offer or ours is still open: going offline must not drop it mid-exchange.
        device->setIsOnline(false);
        device->save();
      } else {
        device->setOffLine();
      }
      QoNotices::post(notice::DeviceOffLine{{device}});
    }
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
