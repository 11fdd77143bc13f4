// The peer status check, answering side: the pairings this device holds with the asker.
#include <memory>
#include <string>

#include "core/daemon/router/QoSeenSignatures.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/state/QoPeer.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

QoMessage::Ptr QoWorker::handleStatusRequest(const QoRequest& request) {
  QoLog("handle StatusRequest message");
  const auto body = request.bodyAs<pb::MsgStatusRequest>();
  QoAssert(body != nullptr, "request is nil?");
  // Over the network the answer is for the device that signed the request: the uuid in
  // the body is only a claim, and would let any trusted device list another's pairings.
  std::string asker;
  if (request.fromNetwork) {
    if (!request.sender) throw QoExceptionZePermissionDeny("Status request must be signed by its device");
    asker = request.sender->uuid();
    // A body that is the asker's uuid alone doubles as its distrust: a later distrust bearing
    // the same signature is no fresh one. One with a challenge is signed afresh each time.
    if (request.sign && body->device_uuid() == asker && !body->has_challenge()) {
      QoSeenSignatures::remember(asker, *request.sign);
    }
  } else {
    asker = body->device_uuid();
  }

  auto response = std::make_shared<pb::MsgStatusResponse>();
  // Carried back inside the signed answer, which then answers this request and no other.
  if (body->has_challenge()) response->set_challenge(body->challenge());
  QoSyncdirCopyRelation::List relations;
  {
    // Read under the writers' locker: the one connection shows a pairing's removal before it
    // is committed, and it may yet be rolled back, while the asker drops for good every
    // pairing the answer leaves out.
    LockerGuard writers(WriteTransaction::locker());
    relations = QoSyncdirCopyRelation::allObjects();
  }
  for (const auto& relation : relations) {
    const auto& second = relation->secondSyncdirCopy();
    if (second && second->device() && second->device()->uuid() == asker) {
      *response->add_syncs() = QoPeer::convertSyncInfoFromQoToPb(relation);
    }
  }
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeStatusResponse, std::move(response));
}

}  // namespace velbor
