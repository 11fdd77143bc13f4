#include <memory>
#include <mutex>
#include <string>

#include "core/daemon/router/QoRequestBody.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/state/DataSource.h"
#include "core/state/Lockers.h"
#include "core/state/QoNotices.h"
#include "core/state/QoPeer.h"
#include "core/utils/QoUtils.h"
#include "framework/crypto/QoEncrypt.h"
#include "framework/errors/QoExceptionProto.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

void fillDeviceInfo(const QoDevice& device, pb::DeviceInfo& info) {
  info.set_id(device.pk());
  info.set_uuid(device.uuid());
  info.set_name(device.name());
  info.set_route_uri(device.routeUri());
  info.set_pub_uri(device.pubUri());
  info.set_type(static_cast<pb::DeviceType>(QoPeer::convertDeviceTypeFromQoToPb(device.type())));
  info.set_is_self(static_cast<pb::PbBool>(QoPeer::convertBoolFromQoToPb(device.isLocalDevice())));
  info.set_pair_status(static_cast<pb::PairStatus>(QoPeer::convertDeviceStatusFromQoToPb(device.status())));
  info.set_is_online(static_cast<pb::PbBool>(QoPeer::convertBoolFromQoToPb(device.isOnline())));
}

// The device record keeps a public key as PEM text. The request may carry it as DER (the
// form discovery sends) or PEM; either is checked by converting it, and an empty key
// stores none. A key that does not read is refused rather than stored broken.
std::string publicKeyToStore(const std::string& key) {
  if (key.empty()) return {};
  try {
    const bool pem = key.rfind("-----BEGIN", 0) == 0;
    return QoEncrypt::convertPublicKeyFromDerToPem(pem ? QoEncrypt::convertPublicKeyFromPemToDer(key) : key);
  } catch (const std::exception& e) {
    throw QoExceptionZeBadFormat::defaultExceptionWithReason("Bad public key, {}", e.what());
  }
}

}  // namespace

QoMessage::Ptr QoWorker::handleDeviceShowRequest(const QoRequest& request) {
  QoAssert(!request.body, "Device show request must be nil!!");
  QoLog("handle DeviceShow message");
  try {
    auto response = std::make_shared<pb::MsgDeviceShowResponse>();
    QoDevice::List devices;
    if (auto local = QoDevice::getDeviceLocal()) devices.push_back(local);
    for (const auto& device : QoDevice::getDeviceRemoteOnline()) devices.push_back(device);
    for (const auto& device : devices) fillDeviceInfo(*device, *response->add_devices());
    return QoMessage::qoMessageWithMsgCode(pb::MsgCodeDeviceShowResponse, std::move(response));
  } catch (const Exception& e) {
    QoLog("*** {}: {}", e.name(), e.what());
    throw;
  }
}

QoMessage::Ptr QoWorker::handleDeviceAddRequest(const QoRequest& request) {
  QoLog("handle DeviceAdd message");
  const auto body = requireBody<pb::MsgDeviceAddRequest>(request);
  if (!QoUtils::checkUuid(body->uuid())) throw QoExceptionZeBadUuid::defaultExceptionWithReason("Bad Uuid");

  auto device = std::make_shared<QoDevice>();
  {
    // Checked and stored under one lock, so two requests cannot both add the device.
    LockerGuard lock(Lockers::transaction());
    if (auto stored = QoDevice::getDeviceWithUuid(body->uuid())) {
      throw QoExceptionZeExist::defaultExceptionWithReason("Device({}:{}) exist!", stored->name(), body->uuid());
    }
    device->setUuid(body->uuid());
    device->setName(body->name());
    device->setRouteUri(body->route_uri());
    device->setPubUri(body->pub_uri());
    device->setType(QoPeer::convertDeviceTypeFromPbToQo(body->type()));
    device->setPubKey(publicKeyToStore(body->public_key()));
    device->setRegisterTime(QoUtils::timestampNow());
    device->save();
  }
  auto reply = QoMessage::qoMessageWithMsgCode(pb::MsgCodeDeviceAddResponse, nullptr);
  QoNotices::post(notice::DeviceAddResponse{{device}});
  return reply;
}

QoMessage::Ptr QoWorker::handleDeviceDeleteRequest(const QoRequest& request) {
  const auto body = requireBody<pb::MsgDeviceDeleteRequest>(request);
  if (!QoUtils::checkUuid(body->uuid()))
    return QoMessage::qoMessageErrorWithErrorCode(pb::ErrorCodeBadUuid, "Bad uuid");
  const auto device = QoDevice::getDeviceWithUuid(body->uuid());
  if (!device) throw QoExceptionZeNoent::defaultExceptionWithReason("Device({}) not exist.", body->uuid());
  // Without its own row the device could no longer sign, answer or hold its copies.
  if (device->pk() == 0 || device->isLocalDevice()) {
    throw QoExceptionZeBadDevice::defaultExceptionWithReason("Local device({}) can not be deleted.", body->uuid());
  }
  // Takes the device's copies (and their pairings) off with it. It logs and rolls back a
  // failure instead of raising, so the row is looked up again.
  device->forceRemove();
  if (QoDevice::getDeviceWithUuid(body->uuid())) {
    throw QoExceptionZeGeneral::defaultExceptionWithReason("Device({}) delete failed.", body->uuid());
  }
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeDeviceDeleteResponse, nullptr);
}

}  // namespace velbor
