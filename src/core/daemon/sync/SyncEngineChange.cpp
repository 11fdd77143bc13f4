// A peer's change notice: every pairing whose peer copy changed pulls it, one after another,
// on the publisher worker's thread.
#include "core/daemon/sync/SyncEngine.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

void SyncEngine::takeChangeNotice(const pb::MsgPubFileChange& notice) {
  for (const auto& pairing : QoSyncdirCopyRelation::getSyncdirCopyRelationsWithRemoteUuid(notice.tree_uuid())) {
    const auto& local = pairing->firstSyncdirCopy();
    const auto& remote = pairing->secondSyncdirCopy();
    if (!local || !remote) continue;
    const std::string path = local->path();
    try {
      if (local->uuid() == notice.tree_uuid()) continue;
      // The changed copy must be the publisher's own.
      if (!remote->device() || remote->device()->uuid() != notice.publisher()) continue;
      if (!remote->device()->isLocalDevice() && !remote->device()->isTrusted()) continue;
      QoLog("handle pub File change: from tree({}) usn({})", path, notice.usn());
      pullOnce(local->uuid(), remote->uuid());
    } catch (const std::exception& e) {
      QoLog("*** HandlePubFileChangeError({}), {}", path, e.what());
    }
  }
}

}  // namespace velbor
