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

QoMessage::Ptr QoWorker::handleScanRequest(const QoRequest&) {
  QoLog("handle ScanRequest message");
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeScanResponse, nullptr);
}

QoMessage::Ptr QoWorker::handlePubExit(const QoRequest& request) {
  try {
    auto body = request.bodyAs<pb::MsgPubExit>();
    QoAssert(body != nullptr, "PubExit request message can not be nil");
    QoDevice::Ptr device = QoDevice::getDeviceWithUuid(body->publisher());
    if (device && !device->isLocalDevice()) {
      device->setOffLine();
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
