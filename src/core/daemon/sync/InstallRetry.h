#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "core/daemon/sync/KeyedBackoff.h"

namespace velbor {

// Downloads that arrived whole and checked, and still could not be installed (a local change
// in the way, a disk that refuses the move). Each is downloaded again at the next pass once,
// then only after a wait that doubles with every further failure, from kFirstWait up to
// kLongestWait: an install that keeps failing must not pull the whole file over the network
// on every pass. A try is known by its key, which names the version of the file and the
// local state it met (see the fetcher): another version, or anything changed here, is
// fetched at once. Bounded in number (the oldest go first).
class InstallRetry {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::chrono::seconds kFirstWait{30};
  static constexpr std::chrono::seconds kLongestWait{600};
  static constexpr size_t kMaxEntries = 4096;

  static InstallRetry& shared();

  // Whether the try may be made now.
  bool mayFetch(const std::string& key, Clock::time_point now = Clock::now()) { return !waits_.waiting(key, now); }
  // The try failed: answers how long it waits from now.
  Clock::duration failed(const std::string& key, Clock::time_point now = Clock::now()) {
    return waits_.failed(key, now);
  }
  void installed(const std::string& key) { waits_.forget(key); }
  void clear() { waits_.clear(); }

 private:
  // The first failure is fetched again at the next pass.
  KeyedBackoff waits_{kFirstWait, kLongestWait, 1, kMaxEntries};
};

}  // namespace velbor
