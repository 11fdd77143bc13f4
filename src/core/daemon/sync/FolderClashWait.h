#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "core/daemon/sync/KeyedBackoff.h"

namespace velbor {

// Folders that a disk ignoring letter case refuses to make because it holds their name in
// another spelling (the peer keeps `Album` and `album` apart, or one comes before the rename
// that respells the other here). Tried on every pass, each would fail and say so again and
// again; instead it waits kFirstWait after its first refusal and twice as long after each
// further one, up to kLongestWait, and is not tried meanwhile. A try is known by its key,
// the version of the folder (copy, path, peer usn): another version is tried at once.
// Bounded in number (the oldest go first).
class FolderClashWait {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::chrono::seconds kFirstWait{30};
  static constexpr std::chrono::seconds kLongestWait{600};
  static constexpr size_t kMaxEntries = 4096;

  static FolderClashWait& shared();

  // Whether the try `key` waits still.
  bool waiting(const std::string& key, Clock::time_point now = Clock::now()) { return waits_.waiting(key, now); }
  // The try `key` was refused: answers how long it waits from now.
  Clock::duration refused(const std::string& key, Clock::time_point now = Clock::now()) {
    return waits_.failed(key, now);
  }
  void made(const std::string& key) { waits_.forget(key); }
  void clear() { waits_.clear(); }

 private:
  KeyedBackoff waits_{kFirstWait, kLongestWait, 0, kMaxEntries};
};

}  // namespace velbor
