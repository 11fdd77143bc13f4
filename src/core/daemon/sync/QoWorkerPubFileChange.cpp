// A peer's change notice (QoWorker::handlePubFileChange): every pairing whose peer copy
// changed pulls it, one after another, on the publisher worker's thread.
#include "core/daemon/router/QoRequestBody.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

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
  for (const auto& pairing : QoSyncdirCopyRelation::getSyncdirCopyRelationsWithRemoteUuid(body->tree_uuid())) {
    const auto& local = pairing->firstSyncdirCopy();
    const auto& remote = pairing->secondSyncdirCopy();
    if (!local || !remote) continue;
    const std::string path = local->path();
    try {
      if (local->uuid() == body->tree_uuid()) continue;
      // The changed copy must be the publisher's own.
      if (!remote->device() || remote->device()->uuid() != body->publisher()) continue;
      if (!remote->device()->isLocalDevice() && !remote->device()->isTrusted()) continue;
      QoLog("handle pub File change: from tree({}) usn({})", path, body->usn());
      auto syncOnce = std::make_shared<pb::MsgSyncOnceRequest>();
      syncOnce->set_local_tree_uuid(local->uuid());
      syncOnce->set_remote_tree_uuid(remote->uuid());
      QoRequest pull;
      pull.body = std::move(syncOnce);
      pull.fromNetwork = false;
      handleSyncOnceRequest(pull);
    } catch (const std::exception& e) {
      QoLog("*** HandlePubFileChangeError({}), {}", path, e.what());
    }
  }
  return nullptr;
}

}  // namespace velbor
