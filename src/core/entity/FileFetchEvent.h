#pragma once

#include <cstdint>

namespace velbor {

// What a fetched record asks of the local copy (QoFileAndSyncdirCopyRelation::handleFetchEvent).
// In the conflict names the first letter is the local item's type, the second the incoming
// one's (F file, D directory).
enum FileFetchEvent : int32_t {
  EventSuccessful = 0,
  EventFailed = 1,
  EventCreateDirectory = 2,
  EventCreateFile = 3,
  EventUpdateFile = 4,
  EventUpdateDirectory = 5,
  EventDeleteFile = 6,
  EventFFConflict = 7,
  EventDFConflict = 8,
  EventFDConflict = 9,
  EventDDConflict = 10,
  EventCreateEmptyFile = 11,
  EventRenameFile = 12,
};

// The conflict event of an incoming item of type `remoteType` meeting a local item of type
// `localType` (0 file, 1 folder).
inline int32_t conflictEventOf(int32_t remoteType, int32_t localType) {
  if (remoteType != 0) return localType != 0 ? EventDDConflict : EventFDConflict;
  return localType != 0 ? EventDFConflict : EventFFConflict;
}

}  // namespace velbor
