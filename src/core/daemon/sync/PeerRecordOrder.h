#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/utils/Vclock.h"

namespace velbor {

class QoFileAndSyncdirCopyRelation;

// The order of a peer's record against the local record of its path, for one pairing. By the
// clocks, except where they cannot be trusted: a copy's own counter that went back (a copy
// restored from a backup counts again from where the backup stood), or equal clocks over
// other content (a counter handed out twice). Those come out concurrent, so that both
// versions are kept rather than one silently taken for the other.
class PeerRecordOrder {
 public:
  // `localUuidList`: the local copy uuids in slot order; the two copies of the pairing.
  PeerRecordOrder(const std::vector<std::string>& localUuidList, const std::string& localUuid,
                  const std::string& peerUuid);

  VclockCompareResult compare(const QoFileAndSyncdirCopyRelation& local,
                              const QoFileAndSyncdirCopyRelation& incoming) const;

 private:
  std::optional<uint64_t> ownSlot_;
  std::optional<uint64_t> peerSlot_;
};

}  // namespace velbor
