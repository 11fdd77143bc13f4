#include <algorithm>
#include <memory>

#include "core/daemon/router/QoRequestBody.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/state/QoPeer.h"
#include "core/utils/QoUtils.h"
#include "core/utils/SmartDebugger.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "platform/Utf8.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

// The largest page served, whatever a peer asks: a page is held in memory whole, and a
// negative limit would otherwise read the whole tree at once.
constexpr int32_t kMaxFindLimit = 10000;
// Records read from the database at once while a page is filled: only the reply grows with
// the page, not the records it was made from as well.
constexpr int32_t kReadAtOnce = 500;

}  // namespace

QoMessage::Ptr QoWorker::handleFindRequest(const QoRequest& request) {
  const auto body = requireBody<pb::MsgFindRequest>(request);
  QoLog("handle Find Request message from usn({})", body->since());
  SmartDebugger& debugger = SmartDebugger::sharedSmartDebugger();
  debugger.clockStart("findRequest");

  if (!QoUtils::checkUuid(body->tree_uuid())) throw QoExceptionZeBadUuid::defaultException();
  if (!QoUtils::checkUuid(body->sync_uuid())) throw QoExceptionZeBadUuid::defaultException();

  const auto copy = QoSyncdirCopy::getSyncdirCopyWithUuid(body->tree_uuid());
  if (!copy || !copy->device() || copy->device()->pk() != 0) {
    throw QoExceptionZeNoent::defaultExceptionWithReason("Syncdir/SyncdirCopy is not exist");
  }
  if (copy->syncdirUuid() != body->sync_uuid()) throw QoExceptionZeSyncdirMismatch::defaultException();

  auto response = std::make_shared<pb::MsgFindResponse>();
  // Carried back inside the signed page, which then answers this request and no other.
  if (body->has_challenge()) response->set_challenge(body->challenge());

  const int32_t limit = body->limit() < 0 ? kMaxFindLimit : std::min(body->limit(), kMaxFindLimit);
  // A record whose path is not UTF-8 cannot go into a wire text field and is passed over, as is
  // one whose clock the wire cannot carry.
  // The page is filled from the records after it, so that a page is short only at the end
  // of the tree: the puller takes a short or empty page as the end of its pass.
  int64_t since = body->since();
  int32_t wanted = limit;
  // Read once per page: the category test reads the settings.
  const bool fileMeta = debugger.isCatagoryEnable("FileMeta");
  while (wanted > 0) {
    const int32_t asked = std::min(wanted, kReadAtOnce);
    // Read under the writers' locker: the one connection shows a writer's rows before they are
    // committed, and a record's file row is written before its clock, so a page read beside a
    // writer could carry a new usn with the old clock, which the peer would take as concurrent.
    LockerGuard writers(WriteTransaction::locker());
    const auto relations = copy->getFileRelationsWithUsn(since, asked);
    for (const auto& relation : relations) {
      std::shared_ptr<pb::Stat> stat;
      try {
        stat = QoPeer::convertToPbStatFromQoFileRelation(relation);
      } catch (const QoException& e) {
        // A counter the wire cannot carry: this record is left out, not the whole page.
        since = relation->file() ? relation->file()->usn() : since;
        QoLog("*** Find Request: skip file(usn {}), {}", since, e.description());
        continue;
      }
      QoAssert(stat != nullptr, "*** Convert to stat failed???");
      since = stat->usn();
      if (!isValidUtf8(stat->path())) {
        QoLog("*** Find Request: skip file(usn {}) whose path is not UTF-8", stat->usn());
        continue;
      }
      if (fileMeta) {
        debugger.debug("FileMeta", "{} vclock({})", stat->ShortDebugString(),
                       relation->getVclockObject().description());
      }
      response->add_stats()->Swap(stat.get());
      --wanted;
    }
    if (static_cast<int32_t>(relations.size()) < asked) break;  // the end of the tree
  }
  {
    // Read after the records: slots are only ever added, so every counter on the page has its
    // uuid in a list read later, even when a copy joined while the page was filled.
    LockerGuard writers(WriteTransaction::locker());
    for (const std::string& uuid : copy->getSyncdirCopysUuidList()) response->add_uuids(uuid);
  }
  QoLog("Find Request: file count({}), {:f}(s)", response->stats_size(), debugger.getClockInterval("findRequest"));
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeFindResponse, std::move(response));
}

}  // namespace velbor
