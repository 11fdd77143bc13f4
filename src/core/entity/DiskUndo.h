#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "core/entity/CopyItemFolder.h"

namespace velbor {

// Puts back the disk work of a fetched change whose records were not committed (a full
// database disk refuses the commit): the disk then holds nothing the records do not, and the
// change comes again with the next pull. Each step is tied to the open transaction
// (PersistentObject::onRollback / onCommit) and undone only while the items are still the
// ones it left, told by their inodes, sizes and times; anything changed since stays as it is.
class DiskUndo {
 public:
  DiskUndo() = delete;

  // installFile put the file from `sourceName` of `source` at `targetName` of `target` as
  // `placement` says, in the state `placed` (the one it read before the rename). Undone, it
  // leaves the target again: back to its source name with
  // `backToSource` (a local file renamed), else removed (a download, fetched again); an item
  // exchanged out of the target goes back there. Committed, that exchanged item goes. An item
  // replaced for good (a disk without exchange) cannot come back. With `attributesBefore` (a
  // local file renamed, given the record's attributes on its way), back at its source name it
  // has those again, unless it no longer holds `content` (its SHA-1): a write landed meanwhile,
  // and its time is then now.
  static void installed(CopyItemFolder::Placement placement, const CopyItemFolder& source,
                        const std::string& sourceName, const CopyItemFolder& target, const std::string& targetName,
                        const struct stat& placed, bool backToSource,
                        const std::optional<struct stat>& attributesBefore = std::nullopt,
                        const std::string& content = std::string());
  // `from` of `folder` was renamed `to` there, where nothing stood: undone, it goes back.
  static void moved(const CopyItemFolder& folder, const std::string& from, const std::string& to);
  // The folder `name` of `folder` was made: undone, it goes again while it is empty.
  static void madeFolder(const CopyItemFolder& folder, const std::string& name);
  // `name` of `folder` had the status `before` when its permissions and time were just set,
  // leaving it `stamped`: undone, it has them again, unless it changed since they were set (or,
  // with `content`, no longer holds it: then its time is now).
  static void attributesSet(const CopyItemFolder& folder, const std::string& name, const struct stat& before,
                            const struct stat& stamped, const std::string& content = std::string());
};

}  // namespace velbor
