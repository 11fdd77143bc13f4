#include <memory>
#include <mutex>
#include <string>

#include "core/daemon/router/QoRequestBody.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/state/DataSource.h"
#include "core/state/Lockers.h"
#include "core/state/QoNotices.h"
#include "core/state/QoPeer.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoExceptionProto.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

void checkUuids(std::initializer_list<const std::string*> uuids) {
  for (const std::string* uuid : uuids) {
    if (!QoUtils::checkUuid(*uuid)) throw QoExceptionZeBadUuid::defaultException();
  }
}

// The copy of the pairing on the other side: the stored row (given the device when it has
// none) or a new row on `device`, which takes the next vector-clock slot.
QoSyncdirCopy::Ptr remoteCopyFor(const pb::MsgSyncAddRequest& body, const QoDevice::Ptr& device,
                                 const QoSyncdirCopy::Ptr& local) {
  auto remote = QoSyncdirCopy::getSyncdirCopyWithUuid(body.remote_tree_uuid());
  // A pairing of two local trees joins trees that exist. A new copy on this device would be
  // a tree rooted at the request's unchecked root, which only a tree add may make.
  if (device->pk() == 0 && (!remote || !remote->device())) {
    throw QoExceptionZeBadTree::defaultExceptionWithReason("Syncdir copy({}) is not exist!", body.remote_tree_uuid());
  }
  if (!remote) {
    remote = std::make_shared<QoSyncdirCopy>();
    remote->setDevice(device);
    remote->setPath(body.remote_tree_root());
    remote->setSyncdirUuid(body.remote_sync_uuid());
    remote->setUuid(body.remote_tree_uuid());
    remote->insert();
    if (remote->pk() < 0) {
      throw QoExceptionZeGeneral::defaultExceptionWithReason("Remote tree({}) can not be stored",
                                                             body.remote_tree_uuid());
    }
    return remote;
  }
  if (!remote->device()) {
    remote->setDevice(device);
    remote->save();
  }
  if (remote->syncdirUuid() != body.remote_sync_uuid()) {
    throw QoExceptionZeSyncdirMismatch::defaultExceptionWithReason("Remote uuid is not matched with syncdir");
  }
  if (remote->device()->uuid() != body.remote_device_uuid()) {
    throw QoExceptionZeGeneral::defaultExceptionWithReason(
        "Exist syncdircopy({}) must belong to one device, but there are two now!!({})=>({})", body.remote_tree_uuid(),
        remote->device()->uuid(), body.remote_device_uuid());
  }
  if (QoSyncdirCopyRelation::getSyncdirCopyRelationWithFirstPk(local->pk(), remote->pk())) {
    throw QoExceptionZeExist::defaultExceptionWithReason("The syncdirCopy pair already exist. local=>remote:({})=>({})",
                                                         local->uuid(), remote->uuid());
  }
  return remote;
}

}  // namespace

QoMessage::Ptr QoWorker::handleSyncAddRequest(const QoRequest& request) {
  QoLog("handle SyncAddRequest message");
  const auto body = requireBody<pb::MsgSyncAddRequest>(request);
  checkUuids(
      {&body->local_tree_uuid(), &body->remote_device_uuid(), &body->remote_tree_uuid(), &body->remote_sync_uuid()});
  if (body->local_tree_uuid() == body->remote_tree_uuid()) throw QoExceptionZeSyncWithSelf::defaultException();

  auto relation = std::make_shared<QoSyncdirCopyRelation>();
  {
    // Checked and stored under one lock, so the same pairing is never stored twice.
    LockerGuard lock(Lockers::transaction());
    const auto local = QoSyncdirCopy::getSyncdirCopyWithUuid(body->local_tree_uuid());
    if (!local) {
      QoLog("Local syncdir Copy is not exist");
      throw QoExceptionZeBadTree::defaultExceptionWithReason("Local syncdir copy({}) is not exist!",
                                                             body->local_tree_uuid());
    }
    // The first copy of a pairing is the one this device pulls into.
    if (!local->device() || local->device()->pk() != 0) {
      QoLog("Local syncdir Copy is not on this device");
      throw QoExceptionZeBadTree::defaultExceptionWithReason("Syncdir copy({}) is not on this device!",
                                                             body->local_tree_uuid());
    }
    if (local->syncdirUuid() != body->remote_sync_uuid()) throw QoExceptionZeSyncdirMismatch::defaultException();
    const auto device = QoDevice::getDeviceWithUuid(body->remote_device_uuid());
    if (!device) {
      QoLog("Device is not exist. {}", body->remote_device_uuid());
      throw QoExceptionZeBadDevice::defaultExceptionWithReason("Device do not exist, please add device({}) first",
                                                               body->remote_device_uuid());
    }
    relation->setFirstSyncdirCopy(local);
    relation->setSecondSyncdirCopy(remoteCopyFor(*body, device, local));
    relation->save();
    // Saving logs its failure instead of raising: never answer a pairing that was not stored.
    if (relation->pk() < 0) throw QoExceptionZeGeneral::defaultExceptionWithReason("Sync can not be stored");
  }
  auto reply = QoMessage::qoMessageWithMsgCode(pb::MsgCodeSyncAddResponse, nullptr);
  QoNotices::post(notice::SyncAddResponse{relation});
  return reply;
}

QoMessage::Ptr QoWorker::handleSyncDeleteRequest(const QoRequest& request) {
  QoLog("handle SyncDeleteRequest message");
  const auto body = requireBody<pb::MsgSyncDeleteRequest>(request);
  checkUuids({&body->local_tree_uuid(), &body->remote_tree_uuid()});
  const auto relation =
      QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstUuid(body->local_tree_uuid(), body->remote_tree_uuid());
  if (!relation) throw QoExceptionZeNoent::defaultExceptionWithReason("Sync is deleted already");
  relation->forceRemove();
  auto reply = QoMessage::qoMessageWithMsgCode(pb::MsgCodeSyncDeleteResponse, nullptr);
  QoNotices::post(notice::SyncDeleteResponse{{relation}});
  return reply;
}

QoMessage::Ptr QoWorker::handleSyncShowRequest(const QoRequest& /*request*/) {
  QoLog("handle SyncShowRequest message");
  auto response = std::make_shared<pb::MsgSyncShowResponse>();
  for (const auto& relation : QoSyncdirCopyRelation::allObjects()) {
    *response->add_syncs() = QoPeer::convertSyncInfoFromQoToPb(relation);
  }
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeSyncShowResponse, std::move(response));
}

}  // namespace velbor
