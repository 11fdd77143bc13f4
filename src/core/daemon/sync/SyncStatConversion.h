#pragma once

#include <memory>
#include <string>
#include <vector>

#include "proto/VelborProto.pb.h"

namespace velbor {

class QoFile;
class QoFileAndSyncdirCopyRelation;
class QoSyncdirCopyRelation;

// A peer's Stat as a fetched-change record of the local copy. Kept beside the classification
// until QoPeer carries these conversions.
class SyncStatConversion {
 public:
  SyncStatConversion() = delete;

  // An unsaved file record with the Stat's values. Permissions keep their low nine bits; a
  // Stat without them gives 0644 to a file and 0755 to a folder. Absent Windows and Android
  // attributes read as 0xFFFFFFFF. Any type but file or folder fails an assertion.
  static std::shared_ptr<QoFile> convertToQoFileFromPbStat(const pb::Stat& stat, int deviceType);
  // An unsaved record of the pairing's local copy: its path made absolute below the copy's
  // root (a path that could leave it raises QoExceptionZeBadPath), its clock reordered from
  // the peer's copy order into the local one.
  static std::shared_ptr<QoFileAndSyncdirCopyRelation> convertToFileRelationFromPbStat(
      const pb::Stat& stat, const std::shared_ptr<QoSyncdirCopyRelation>& syncdirCopyRelation,
      const std::vector<std::string>& localUuidList, const std::vector<std::string>& remoteUuidList);
};

}  // namespace velbor
