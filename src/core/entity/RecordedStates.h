#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "core/entity/NotedPaths.h"
#include "core/entity/OwnInstalls.h"

namespace velbor {

// What the disk told, to the nanosecond, about the files whose content was recorded lately.
// A record keeps the modification time in milliseconds only; two writes of the same size in
// one millisecond, or a write whose time was set back afterwards, leave it unchanged. The
// change time, the inode and the times' nanoseconds still move, but the records have no
// column for them, so they are kept here, in memory: a file whose state differs from the one
// noted for its record may hold other content and is read again.
//
// A state is `racy` when the file changed while it was being read, or so shortly before that
// a later write could carry the very same times (the file system stamps with a coarse clock):
// such a state vouches for nothing, and the file is read again on its next event.
//
// Bounded in number (the oldest go first); a path not found here is judged by its record alone.
class RecordedStates {
 public:
  using State = OwnInstalls::State;

  static constexpr size_t kMaxEntries = 16384;

  static RecordedStates& shared();

  // The record of `path` (absolute) describes the file as it is in `state`.
  void note(const std::string& path, const State& state, bool racy = false);
  // Whether the file, now in `state`, may hold other content than its record although its
  // size and time (ms) agree: a state was noted for it, and it is racy or not this one.
  bool mayDiffer(const std::string& path, const State& state);
  void forget(const std::string& path);
  void clear();
  size_t size();

 private:
  struct Noted {
    State state;
    bool racy = false;
  };

  std::mutex mutex_;
  NotedPaths<Noted> noted_{kMaxEntries};
};

}  // namespace velbor
