// The pull requests: SyncOnceRequest and PubFileChange, answered by the sync engine.
#include "core/daemon/router/QoRequestBody.h"
#include "core/daemon/router/QoWorker.h"
#include "core/daemon/sync/SyncEngine.h"
#include "core/entity/QoDevice.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

QoMessage::Ptr QoWorker::handleSyncOnceRequest(const QoRequest& request) {
  const auto body = requireBody<pb::MsgSyncOnceRequest>(request);
  switch (SyncEngine::pullOnce(body->local_tree_uuid(), body->remote_tree_uuid())) {
    case SyncEngine::Pull::kNoPairing:
      return QoMessage::qoMessageErrorWithErrorCode(pb::ErrorCodeBadSyncdir, "No syncdir in this device!!");
    case SyncEngine::Pull::kAlreadyRunning:
    case SyncEngine::Pull::kDone:
      return QoMessage::qoMessageWithMsgCode(pb::MsgCodeSyncOnceResponse, nullptr);
    case SyncEngine::Pull::kStopped:
      break;
  }
  // Stopped early: no reply, as after a time-out.
  return nullptr;
}

QoMessage::Ptr QoWorker::handlePubFileChange(const QoRequest& request) {
  const auto body = requireBody<pb::MsgPubFileChange>(request);
  // Notices go unsigned (a signed one could be relabelled as another request of its
  // publisher's), so anyone may send one. All it can do is start a pull from a trusted
  // device, and the pull speaks only to that device's stored endpoint with signed requests
  // and takes only its signed answers. One signed by another device than it names is
  // ignored.
  if (request.sender && request.sender->uuid() != body->publisher()) {
    QoLog("*** PubFileChange of ({}) signed by another device, ignored", body->publisher());
    return nullptr;
  }
  SyncEngine::takeChangeNotice(*body);
  return nullptr;
}

}  // namespace velbor
