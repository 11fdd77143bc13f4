#include "core/daemon/discovery/QoStatusCheck.h"

#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/daemon/client/QoClient.h"
#include "core/daemon/discovery/QoPeerRecheck.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/proto/QoPbMessageCode.h"
#include "core/state/ChallengeAnswerers.h"
#include "core/state/QoNotices.h"
#include "framework/crypto/Cryptor.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

using Relation = std::shared_ptr<QoSyncdirCopyRelation>;
// Random bytes of a challenge: never the same twice.
constexpr size_t kChallengeBytes = 16;
// A pairing by its two copies: the local (first) copy's uuid, then the remote one's.
using PairingKey = std::pair<std::string, std::string>;

void handleError(const QoDevice::Ptr& device, const QoMessage& reply) {
  const auto error = reply.pbBodyAs<pb::MsgError>();
  if (!error) {
    QoLog("*** Check({}) status failed, error reply without body", device->name());
    return;
  }
  if (error->errcode() == pb::ErrorCodeUntrusted) {
    // Error replies are unsigned: whoever holds the device's address can send this one. The
    // distrust check asks again over time before the trust ends.
    QoLog("Check Status: Device ({}) refuses this device, checking", device->name());
    QoPeerRecheck::checkDistrust(device->uuid());
    return;
  }
  QoLog("** sendStatusRequest Failed, {}: {}", getErrorString(*error).value_or("(null)"), error->errstr());
}

// The pairings the peer no longer reports, out of the local pairings with that peer.
std::vector<Relation> unreported(const QoDevice::Ptr& device, const pb::MsgStatusResponse& response) {
  std::map<PairingKey, Relation> local;
  for (const auto& relation : QoSyncdirCopyRelation::allObjects()) {
    const auto& first = relation->firstSyncdirCopy();
    const auto& second = relation->secondSyncdirCopy();
    if (!first || !second || !second->device() || second->device()->uuid() != device->uuid()) continue;
    local.emplace(PairingKey(first->uuid(), second->uuid()), relation);
  }
  // The peer reports its own copy as local and this device's copy as remote.
  for (const auto& sync : response.syncs()) local.erase(PairingKey(sync.remote_tree_uuid(), sync.local_tree_uuid()));
  std::vector<Relation> left;
  for (auto& [key, relation] : local) left.push_back(std::move(relation));
  return left;
}

void removeAll(const QoDevice::Ptr& device, std::vector<Relation> removed) {
  if (removed.empty()) return;
  for (const auto& relation : removed) {
    relation->forceRemove();
    QoLog("Check Status: Clear {} ({}=>{})", device->name(), relation->firstSyncdirCopy()->path(),
          relation->secondSyncdirCopy()->path());
  }
  QoNotices::post(notice::SyncDeleteResponse{std::move(removed)});
}

void check(const QoDevice::Ptr& device) {
  const std::string challenge = QoStatusCheck::newChallenge();
  const QoMessage::Ptr reply = QoClient::sendStatusRequestTo(device, QoClient::kOptionSync, challenge);
  if (!reply) return;
  if (reply->code() == pb::MsgCodeError) {
    handleError(device, *reply);
    return;
  }
  if (reply->code() != pb::MsgCodeStatusResponse) {
    QoLog("*** Check({}) status failed, Unkown response code({}: {})", device->name(), reply->code(),
          QoPbMessageCode::sharedQoPbMessageCode().getMessageByCode(reply->code()).value_or("(null)"));
    return;
  }
  // Removing pairings is taken only from the peer itself: anyone on the path can forge an
  // unsigned reply, and a reply without its list is no report that the list is empty.
  if (reply->level() < QoMessage::kLevelAuth || !reply->srcDevice() || reply->srcDevice()->uuid() != device->uuid()) {
    QoLog("*** Check({}) status failed, the reply is not signed by the device", device->name());
    return;
  }
  const auto response = reply->pbBodyAs<pb::MsgStatusResponse>();
  if (!response) {
    QoLog("*** Check({}) status failed, StatusResponse without body", device->name());
    return;
  }

  switch (QoStatusCheck::bindingOf(*response, challenge, device->uuid())) {
    case QoStatusCheck::Binding::kOtherRequest:
      QoLog("*** Check({}) status failed, the answer is one to another request", device->name());
      return;
    case QoStatusCheck::Binding::kThisRequest:
      QoPeerRecheck::pairingsSettled(device->uuid());
      removeAll(device, unreported(device, *response));
      return;
    case QoStatusCheck::Binding::kUnbound:
      break;
  }
  // Whoever holds the device's address may have sent an answer of the device's recorded
  // earlier: what it leaves out goes only when the device leaves it out over time.
  std::vector<Relation> left = unreported(device, *response);
  if (left.empty()) {
    QoPeerRecheck::pairingsSettled(device->uuid());
  } else if (QoPeerRecheck::pairingsLeftOut(device->uuid())) {
    removeAll(device, std::move(left));
  } else {
    QoLog("* Check({}) status, {} pairings left out by an answer without this request's challenge, asked again later",
          device->name(), left.size());
  }
}

}  // namespace

std::string QoStatusCheck::newChallenge() { return Cryptor::getKeyDataWithLength(kChallengeBytes); }

QoStatusCheck::Binding QoStatusCheck::bindingOf(const pb::MsgStatusResponse& response, const std::string& challenge,
                                                const std::string& deviceUuid) {
  ChallengeAnswerers& answerers = ChallengeAnswerers::shared();
  if (!response.has_challenge()) return answerers.contains(deviceUuid) ? Binding::kOtherRequest : Binding::kUnbound;
  if (response.challenge() != challenge) return Binding::kOtherRequest;
  answerers.add(deviceUuid);
  return Binding::kThisRequest;
}

void QoStatusCheck::handleSendStatusRequest(const std::shared_ptr<QoDevice>& device) {
  if (!device) {
    QoLog("*** Check status failed, device is nil");
    return;
  }
  try {
    check(device);
  } catch (const std::exception& e) {
    QoLog("*** Check({}) status failed, {}", device->name(), e.what());
  }
}

}  // namespace velbor
