#pragma once

#include <thread>

#include "platform/EventSignal.h"

namespace velbor {

// Tells when the mount table of this process's mount namespace changes: the kernel marks
// /proc/self/mountinfo with POLLPRI whenever a mount is added or removed. A disk unmounted
// where another mount still holds it (a bind mount, another mount namespace) ends no inotify
// watch; only the table tells. A thread of its own waits on the table; fd() becomes readable
// after a change, and the owner clears it before looking at what changed.
class MountTableWatch {
 public:
  MountTableWatch();
  ~MountTableWatch();
  MountTableWatch(const MountTableWatch&) = delete;
  MountTableWatch& operator=(const MountTableWatch&) = delete;

  // False when the table cannot be watched (no /proc): nothing is ever told.
  bool watching() const { return table_ >= 0; }
  // Readable from a change until clear().
  int fd() const { return changed_.fd(); }
  void clear() { changed_.clear(); }

 private:
  void run();

  int table_ = -1;
  EventSignal changed_;
  EventSignal stop_;
  std::thread thread_;
};

}  // namespace velbor
