// The request client's senders, one per request, and the operations built on them.
#include <exception>
#include <mutex>
#include <string_view>

#include "core/daemon/client/QoClient.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/proto/PbMessage.h"
#include "core/state/ChallengeAnswerers.h"
#include "core/state/DataSource.h"
#include "core/state/Lockers.h"
#include "core/state/QoConfig.h"
#include "core/state/TrustInfo.h"
#include "core/utils/QoUtils.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

std::string deviceName(const QoClient::DevicePtr& device) { return device ? device->name() : "(null)"; }

// Runs one sender; a failure is logged as "*** <what> failed, <name><separator><reason>"
// and answered with nullptr.
template <class Send>
QoMessage::Ptr logFailure(std::string_view what, std::string_view separator, Send&& send) {
  try {
    return send();
  } catch (const std::exception& e) {
    const auto* named = dynamic_cast<const Exception*>(&e);
    QoLog("*** {} failed, {}{}{}", what, named ? named->name() : "std::exception", separator,
          named ? named->reason() : e.what());
    return nullptr;
  }
}

const QoClient::DevicePtr& requireDevice(const QoClient::DevicePtr& device) {
  QoAssert(device != nullptr, "can not send message to nil device");
  return device;
}

// A TrustResponse names the token of the agreement it answers (devices of earlier versions
// name none): one naming another token was recorded for an earlier offer and sent again, and
// so was one naming none from a device that has named ours before.
QoMessage::Ptr answerToToken(const QoClient::DevicePtr& device, QoMessage::Ptr reply, const std::string& token) {
  const auto answer =
      reply && reply->code() == pb::MsgCodeTrustResponse ? reply->pbBodyAs<pb::MsgTrustResponse>() : nullptr;
  if (!answer) return reply;
  ChallengeAnswerers& answerers = ChallengeAnswerers::shared();
  const std::string& uuid = device->uuid();
  if (answer->has_token() && answer->token() == token) {
    // Only the device's own signature marks it as one that names tokens.
    if (reply->level() >= QoMessage::kLevelAuth && reply->srcDevice() && reply->srcDevice()->uuid() == uuid) {
      answerers.add(uuid);
    }
    return reply;
  }
  if (!answer->has_token() && !answerers.contains(uuid)) return reply;
  QoLog("*** TrustResponse of device({}) answers another offer, dropped", deviceName(device));
  return nullptr;
}

enum class Offer { kReceived, kSent };

// Sends a trust message carrying the token of the offer received from the device (an
// answer) or made to it (a withdrawal). Without that offer the body stays incomplete, and
// checking it raises "UninitializedMessage" before anything is sent.
template <class M>
QoMessage::Ptr sendToken(const QoClient::DevicePtr& device, int32_t option, int32_t code, std::string_view what,
                         Offer which) {
  QoLog("{} message to {}", what, deviceName(device));
  return logFailure(what, ": ", [&] {
    const std::string& uuid = requireDevice(device)->uuid();
    DataSource& dataSource = DataSource::sharedDataSource();
    const auto offer =
        which == Offer::kReceived ? dataSource.getRecvTrustContext(uuid) : dataSource.getSendTrustContext(uuid);
    auto body = std::make_shared<M>();
    if (offer) body->set_token(offer->token);
    PbMessage::checkInitialized(*body);
    const std::string token = body->token();
    return answerToToken(device, QoClient::sendReuqestTo(device, code, option, std::move(body)), token);
  });
}

}  // namespace

QoMessage::Ptr QoClient::sendTreeShowRequestTo(const DevicePtr& device, int32_t option) {
  return logFailure("sendTreeShowRequest", ":",
                    [&] { return sendReuqestTo(device, pb::MsgCodeTreeShowRequest, option, nullptr); });
}

QoMessage::Ptr QoClient::sendSyncAddRequestTo(const DevicePtr& device, int32_t option, const std::string& localTreeUuid,
                                              const std::string& syncUuid, const std::string& remoteTreeUuid,
                                              const std::string& remoteTreeRoot, const std::string& remoteDeviceUuid) {
  return logFailure("SendSyncAddRequest", ":", [&] {
    return sendReuqestTo(device, pb::MsgCodeSyncAddRequest, option,
                         syncAddRequestBody(localTreeUuid, syncUuid, remoteTreeUuid, remoteTreeRoot, remoteDeviceUuid));
  });
}

QoMessage::Body QoClient::syncAddRequestBody(const std::string& localTreeUuid, const std::string& syncUuid,
                                             const std::string& remoteTreeUuid, const std::string& remoteTreeRoot,
                                             const std::string& remoteDeviceUuid) {
  auto body = std::make_shared<pb::MsgSyncAddRequest>();
  body->set_local_tree_uuid(localTreeUuid);
  body->set_remote_sync_uuid(syncUuid);
  body->set_remote_tree_uuid(remoteTreeUuid);
  body->set_remote_tree_root(remoteTreeRoot);
  body->set_remote_device_uuid(remoteDeviceUuid);
  return body;
}

QoMessage::Ptr QoClient::sendTrustPublishRequestTo(const DevicePtr& device, int32_t option) {
  return logFailure("SendTrustPublishRequest", ":", [&] {
    const std::string& uuid = requireDevice(device)->uuid();
    auto offer = std::make_shared<TrustInfo>(
        TrustInfo{uuid, QoUtils::generateUuid(), QoConfig::sharedQoConfig().trustAuthTimeOut()});
    {
      LockerGuard lock(Lockers::trust(uuid));
      DataSource::sharedDataSource().setSendTrustContext(uuid, offer);
    }
    auto body = std::make_shared<pb::MsgTrustPublishRequest>();
    body->set_timeout(offer->timeout);
    body->set_token(offer->token);
    return sendReuqestTo(device, pb::MsgCodeTrustPublishRequest, option, std::move(body));
  });
}

QoMessage::Ptr QoClient::sendTrustRequestTo(const DevicePtr& device, int32_t option) {
  return sendToken<pb::MsgTrustRequest>(device, option, pb::MsgCodeTrustRequest, "SendTrustAnswerAgreeRequest",
                                        Offer::kReceived);
}

QoMessage::Ptr QoClient::sendTrustRequestTo(const DevicePtr& device, int32_t option, const std::string& token) {
  QoLog("{} message to {}", "SendTrustAnswerAgreeRequest", deviceName(device));
  return logFailure("SendTrustAnswerAgreeRequest", ": ", [&] {
    requireDevice(device);
    auto body = std::make_shared<pb::MsgTrustRequest>();
    body->set_token(token);
    return answerToToken(device, sendReuqestTo(device, pb::MsgCodeTrustRequest, option, std::move(body)), token);
  });
}

QoMessage::Ptr QoClient::sendTrustDenyRequestTo(const DevicePtr& device, int32_t option) {
  return sendToken<pb::MsgTrustDenyRequest>(device, option, pb::MsgCodeTrustDenyRequest,
                                            "SendTrustAnswerDisagreeRequest", Offer::kReceived);
}

QoMessage::Ptr QoClient::sendTrustCancelRequestTo(const DevicePtr& device, int32_t option) {
  return sendToken<pb::MsgTrustCancelRequest>(device, option, pb::MsgCodeTrustCancelRequest, "SendTrustCancelRequestTo",
                                              Offer::kSent);
}

QoMessage::Ptr QoClient::sendDisTrustRequestTo(const DevicePtr& device, int32_t option) {
  QoLog("SendDisTrustRequest message to {}", deviceName(device));
  return logFailure("SendDisTrustRequest", ": ", [&] {
    auto body = std::make_shared<pb::MsgDistrustRequest>();
    body->set_device_uuid(QoConfig::sharedQoConfig().deviceUuid());
    return sendReuqestTo(device, pb::MsgCodeDistrustRequest, option, std::move(body));
  });
}

QoMessage::Ptr QoClient::sendSyncOnceRequestTo(const DevicePtr& device, int32_t option,
                                               const RelationPtr& syncdirCopyRelation) {
  QoLog("SendSyncOnceRequest message to {}", deviceName(device));
  return logFailure("SendSyncOnceRequest", ": ", [&] {
    QoAssert(syncdirCopyRelation && syncdirCopyRelation->firstSyncdirCopy() && syncdirCopyRelation->secondSyncdirCopy(),
             "sync relation is nil");
    auto body = std::make_shared<pb::MsgSyncOnceRequest>();
    body->set_local_tree_uuid(syncdirCopyRelation->firstSyncdirCopy()->uuid());
    body->set_remote_tree_uuid(syncdirCopyRelation->secondSyncdirCopy()->uuid());
    return sendReuqestTo(device, pb::MsgCodeSyncOnceRequest, option, std::move(body));
  });
}

QoMessage::Ptr QoClient::sendStatusRequestTo(const DevicePtr& device, int32_t option,
                                             const std::optional<std::string>& challenge) {
  QoLog("SendStatusRequest message to {}", deviceName(device));
  return logFailure("SendStatusRequest", ": ", [&] {
    auto body = std::make_shared<pb::MsgStatusRequest>();
    body->set_device_uuid(QoConfig::sharedQoConfig().deviceUuid());
    if (challenge) body->set_challenge(*challenge);
    return sendReuqestTo(device, pb::MsgCodeStatusRequest, option, std::move(body));
  });
}

void QoClient::syncOnceTo(const DevicePtr& device) {
  for (const auto& copy : QoSyncdirCopy::getSyncdirCopyInLocalDevice()) {
    for (const auto& relation : copy->getAllSyncdirCopyRelations()) {
      const auto& first = relation->firstSyncdirCopy();
      const auto& second = relation->secondSyncdirCopy();
      const DevicePtr firstDevice = first ? first->device() : nullptr;
      const DevicePtr remote = second ? second->device() : nullptr;
      if (!firstDevice || !remote) continue;
      if (device && device->uuid() != remote->uuid()) continue;
      if (!remote->isLocalDevice() && !remote->isOnline()) continue;
      if (!remote->isTrusted()) continue;
      sendSyncOnceRequestTo(firstDevice, kOptionAsync, relation);
    }
  }
}

QoMessage::Ptr QoClient::localTreeAddSyncUuid(const std::optional<std::string>& syncUuid, const std::string& treeRoot,
                                              const std::optional<std::string>& treeUuid) {
  auto body = std::make_shared<pb::MsgTreeAddRequest>();
  body->set_sync_uuid(syncUuid.value_or(QoUtils::generateUuid()));
  body->set_tree_root(treeRoot);
  if (treeUuid) body->set_tree_uuid(*treeUuid);
  QoRequest request;
  request.body = std::move(body);
  request.fromNetwork = false;
  return QoWorker::handleTreeAddRequest(request);
}

QoMessage::Ptr QoClient::localTreeDelete(const std::string& treeUuid) {
  auto body = std::make_shared<pb::MsgTreeDeleteRequest>();
  body->set_tree_uuid(treeUuid);
  QoRequest request;
  request.body = std::move(body);
  request.fromNetwork = false;
  return QoWorker::handleTreeDeleteRequest(request);
}

}  // namespace velbor
