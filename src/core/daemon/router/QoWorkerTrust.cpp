// The trust exchange, answering side: a peer's offer, its agreement, refusal or withdrawal,
// and the end of a trust.
//
// Every trust message is taken only from the device whose key signed it: the sender record
// is the authenticated one, never a uuid the body names. Each change of a device's trust
// status or trust contexts holds that device's trust locker, so a check and the change it
// allows cannot be split by another answer or by the device window.
#include <memory>
#include <mutex>
#include <string>

#include "core/daemon/router/QoPeerChecks.h"
#include "core/daemon/router/QoSeenSignatures.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/state/DataSource.h"
#include "core/state/Lockers.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "core/state/TrustInfo.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoExceptionProto.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

constexpr int32_t kStatusUntrusted = 0;
constexpr int32_t kStatusTrusted = 1;
constexpr int32_t kStatusWaitingForPeer = 2;

// The body of a trust message and its signed sender; a message without either (a level-0
// request, or one from this device's own client) is refused as bad format.
template <class M>
std::shared_ptr<M> trustBody(const QoRequest& request) {
  auto body = request.bodyAs<M>();
  QoAssert(body != nullptr && request.sender != nullptr, "request is nil");
  return body;
}

bool hasFieldsLeftOver(const google::protobuf::Message& body) {
  return !body.GetReflection()->GetUnknownFields(body).empty();
}

std::shared_ptr<TrustInfo> answerFrom(const QoRequest& request, const std::string& token) {
  return std::make_shared<TrustInfo>(TrustInfo{request.sender->uuid(), token, 0});
}

}  // namespace

bool QoWorker::_trustAnwser(const TrustInfo& info, int32_t status) {
  LockerGuard lock(Lockers::trust(info.deviceUuid));
  DataSource& dataSource = DataSource::sharedDataSource();
  const auto context = dataSource.getSendTrustContext(info.deviceUuid);
  if (!context) throw QoException("Maybe timeout(missing token in memory)");
  if (context->token != info.token) return false;
  // Read again under the lock: the status may have changed since the answer arrived.
  const auto device = QoDevice::getDeviceWithUuid(info.deviceUuid);
  QoAssert(device != nullptr, "device cannot be nil");
  // Only the status is written, and only while it is still the one read: the row was read
  // outside the writers' locker, and written back whole it would undo what another writer
  // changed meanwhile or had not committed yet (a device removed would come back).
  if (device->status() != kStatusWaitingForPeer ||
      !QoDevice::changeStatus(info.deviceUuid, {kStatusWaitingForPeer}, status)) {
    throw QoException("Maybe timeout(device status is not waiting for auth");
  }
  dataSource.cleanSendTrustContext(info.deviceUuid);
  return true;
}

QoMessage::Ptr QoWorker::handleTrustPublishRequest(const QoRequest& request) {
  QoLog("handle TrustPublishRequest message");
  const auto body = trustBody<pb::MsgTrustPublishRequest>(request);
  // The signature covers the body alone, and a part request reads as an offer with fields
  // left over. An offer is its timeout and token and nothing else.
  if (hasFieldsLeftOver(*body)) {
    throw QoExceptionZePermissionDeny::defaultExceptionWithReason(
        "TrustPublish request of device({}) carries more than its timeout and token", request.sender->uuid());
  }
  auto reply = QoMessage::qoMessageWithMsgCode(pb::MsgCodeTrustPublishResponse, nullptr);
  auto offer = std::make_shared<TrustInfo>(TrustInfo{request.sender->uuid(), body->token(), body->timeout()});
  bool trusted = false;
  {
    LockerGuard lock(Lockers::trust(offer->deviceUuid));
    // An offer from a device this one trusts changes nothing here and is not shown: anyone
    // can replay one, and answered or left to run out it would end the trust. The device
    // may have lost its trust in this one, though (a distrust sent while this one was
    // away): it is answered with an agreement carrying the offer's token, which only a
    // device that has that very offer open takes, and the two are paired again at once.
    const auto stored = QoDevice::getDeviceWithUuid(offer->deviceUuid);
    trusted = stored && stored->status() == kStatusTrusted;
    if (!trusted) DataSource::sharedDataSource().setRecvTrustContext(offer->deviceUuid, offer);
  }
  if (trusted) {
    QoLog("* TrustPublishRequest of trusted device({}) answered with an agreement", request.sender->name());
    QoPeerChecks::trustedDeviceOffered(offer->deviceUuid, offer->token);
    return reply;
  }
  QoNotices::post(notice::TrustPublishResponse{offer});
  return reply;
}

QoMessage::Ptr QoWorker::handleTrustRequest(const QoRequest& request) {
  QoLog("handle TrustAnswerAgreeRequest message");
  const auto body = trustBody<pb::MsgTrustRequest>(request);
  const auto answer = answerFrom(request, body->token());
  const bool accepted = _trustAnwser(*answer, kStatusTrusted);
  if (accepted) QoNotices::post(notice::TrustResponse{answer});
  auto response = std::make_shared<pb::MsgTrustResponse>();
  response->set_trust_result(accepted ? pb::TrustResultAccepted : pb::TrustResultRejected);
  // The answer names the offer it answers: an answer to an earlier one, sent again, is not this.
  response->set_token(body->token());
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeTrustResponse, std::move(response));
}

QoMessage::Ptr QoWorker::handleTrustDenyRequest(const QoRequest& request) {
  QoLog("handle TrustDenyRequest message");
  const auto body = trustBody<pb::MsgTrustDenyRequest>(request);
  const auto answer = answerFrom(request, body->token());
  if (_trustAnwser(*answer, kStatusUntrusted)) QoNotices::post(notice::TrustDenyResponse{answer});
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeTrustDenyResponse, nullptr);
}

QoMessage::Ptr QoWorker::handleTrustCancelRequest(const QoRequest& request) {
  QoLog("handle TrustCancelRequest message");
  const auto body = trustBody<pb::MsgTrustCancelRequest>(request);
  const auto withdrawal = answerFrom(request, body->token());
  bool matched = false;
  {
    // Only the offer this device holds from the sender can be withdrawn: a stale or made-up
    // token must not end a newer offer. The withdrawn offer is forgotten, so it can no
    // longer be agreed to.
    LockerGuard lock(Lockers::trust(withdrawal->deviceUuid));
    DataSource& dataSource = DataSource::sharedDataSource();
    const auto offer = dataSource.getRecvTrustContext(withdrawal->deviceUuid);
    matched = offer && offer->token == withdrawal->token;
    if (matched) dataSource.cleanRecvTrustContext(withdrawal->deviceUuid);
  }
  if (matched) {
    QoNotices::post(notice::TrustCancelResponse{withdrawal});
  } else {
    QoLog("* TrustCancelRequest from device({}) matches no offer", request.sender->name());
  }
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeTrustCancelResponse, nullptr);
}

QoDevice::Ptr QoWorker::endTrustOf(const std::string& deviceUuid) {
  QoDevice::Ptr device;
  {
    LockerGuard lock(Lockers::trust(deviceUuid));
    device = QoDevice::getDeviceWithUuid(deviceUuid);
    if (!device) return nullptr;
    device->setStatus(kStatusUntrusted);
    device->save();
    device->forceRemove();
  }
  QoNotices::post(notice::SyncDeleteResponse{});
  QoNotices::post(notice::DistrustResponse{device});
  return device;
}

QoMessage::Ptr QoWorker::handleDistrustRequest(const QoRequest& request) {
  QoLog("handle DisTrustRequest message");
  const auto body = request.bodyAs<pb::MsgDistrustRequest>();
  QoAssert(body != nullptr, "request is nil?");
  // A device may end only its own trust: the body's uuid is a claim, the signer is not.
  if (!request.sender) throw QoExceptionZePermissionDeny("Distrust request must be signed by its device");
  const std::string& uuid = body->device_uuid();
  if (uuid != request.sender->uuid()) {
    throw QoExceptionZePermissionDeny::defaultExceptionWithReason("Device({}) can not end the trust of device({})",
                                                                  request.sender->uuid(), uuid);
  }
  if (uuid == QoConfig::sharedQoConfig().deviceUuid() || request.sender->pk() == 0) {
    throw QoExceptionZePermissionDeny("The local device can not be distrusted");
  }
  // The signature covers the body alone: a signed message of another kind whose body
  // starts with the sender's uuid (a change notice) reads as a distrust with the rest left
  // over. A distrust is that uuid and nothing else.
  if (hasFieldsLeftOver(*body)) {
    throw QoExceptionZePermissionDeny::defaultExceptionWithReason(
        "Distrust request of device({}) carries more than its uuid", uuid);
  }
  // Every distrust, exit notice and status request of a device is the same signed body, and
  // the same signature: a distrust it once sent to another device, forwarded by that one, or
  // one captured and replayed, cannot be told from a fresh one. No distrust ends anything at
  // once: the device itself is asked whether it still trusts this one, and the trust ends
  // when it answers that it does not, again and again over time. The sender is answered as
  // for any distrust. The signature is remembered (only a trusted device's: devices of
  // anyone's making that discovery stored could otherwise push those out), so that an exit
  // notice bearing it is known for a replay.
  if (request.sign && request.sender->isTrusted()) QoSeenSignatures::remember(uuid, *request.sign);
  QoLog("* DisTrustRequest of device({}), asking the device", request.sender->name());
  QoPeerChecks::distrustHeard(uuid);
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeDistrustResponse, nullptr);
}

}  // namespace velbor
