#include "core/daemon/sync/PeerRecordOrder.h"

#include <algorithm>

#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"

namespace velbor {
namespace {

std::optional<uint64_t> slotOf(const std::vector<std::string>& uuids, const std::string& uuid) {
  const auto found = std::find(uuids.begin(), uuids.end(), uuid);
  if (found == uuids.end()) return std::nullopt;
  return static_cast<uint64_t>(found - uuids.begin());
}

// Two versions that one clock cannot both stand for. A missing SHA-1 (a file that could not
// be read when recorded) tells nothing.
bool differ(const QoFile& local, const QoFile& incoming) {
  // Two removals leave nothing either way; a removal taken over keeps the local item's kind,
  // so the peer's record may name another under the same clock.
  if (local.status() == 1 && incoming.status() == 1) return false;
  if (local.type() != incoming.type() || local.status() != incoming.status()) return true;
  if (local.type() != 0 || local.status() != 0) return false;
  return !local.sha1().empty() && !incoming.sha1().empty() && local.sha1() != incoming.sha1();
}

}  // namespace

PeerRecordOrder::PeerRecordOrder(const std::vector<std::string>& localUuidList, const std::string& localUuid,
                                 const std::string& peerUuid)
    : ownSlot_(slotOf(localUuidList, localUuid)), peerSlot_(slotOf(localUuidList, peerUuid)) {}

VclockCompareResult PeerRecordOrder::compare(const QoFileAndSyncdirCopyRelation& local,
                                             const QoFileAndSyncdirCopyRelation& incoming) const {
  const Vclock mine = local.getVclockObject();
  const Vclock theirs = incoming.getVclockObject();
  VclockCompareResult result =
      ownSlot_ && peerSlot_ ? mine.compareToPeerVclock(theirs, *ownSlot_, *peerSlot_) : mine.compareToVclock(theirs);
  if (result == VclockCompareEqual && local.file() && incoming.file() && differ(*local.file(), *incoming.file())) {
    result = VclockCompareConcurrent;
  }
  return result;
}

}  // namespace velbor
