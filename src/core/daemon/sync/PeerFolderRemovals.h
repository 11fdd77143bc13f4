#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "core/entity/NotedPaths.h"

namespace velbor {

// The folders whose latest record a peer gave in a pull says removed, per pairing, kept across
// the pages and passes of its pulls: a disk that ignores letter case may still hold such a
// folder's name (its removal refused for items the peer never saw, or kept for entries never
// synchronised) when the peer's folder of another spelling comes in a later page or pass, and
// the folder then takes the peer's spelling instead of refusing it for good. A record of the
// folder present again forgets it. Parents are matched ignoring letter case: the peer names the
// folder under the spellings of its parents there. Bounded in number (the oldest go first).
// Thread-safe.
class PeerFolderRemovals {
 public:
  static constexpr size_t kMaxEntries = 4096;

  static PeerFolderRemovals& shared();

  // The pairing of the copies `localCopy` and `remoteCopy` got the peer's record of the folder
  // `relativePath` (below the copy's root, starting with "/").
  void saw(const std::string& localCopy, const std::string& remoteCopy, const std::string& relativePath, bool removed);
  // Whether the latest record of the folder the pairing got says removed.
  bool removed(const std::string& localCopy, const std::string& remoteCopy, const std::string& relativePath);
  void clear();

 private:
  static std::string keyOf(const std::string& localCopy, const std::string& remoteCopy,
                           const std::string& relativePath);

  std::mutex mutex_;
  NotedPaths<bool> removed_{kMaxEntries};
};

}  // namespace velbor
