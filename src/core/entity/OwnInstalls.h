#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

#include "core/entity/NotedPaths.h"

namespace velbor {

// The files a pull has just installed and recorded, each with the exact state it had on disk
// right after the install. The file-system monitor hears of every install, and an event for
// such a path, while the item is still in exactly that state, reports the install itself: disk
// and records agree, and the monitor need not compare them. Any later change to the item (a
// write, a chmod, a touch, a replacement) moves its change time at least, so it no longer
// matches and is classified as usual.
//
// Entries are used once, expire after kLifetime and are bounded in number (the oldest go
// first): a path not found here is simply classified, which is always right.
class OwnInstalls {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::chrono::seconds kLifetime{30};
  static constexpr size_t kMaxEntries = 8192;

  // What identifies the state of an item on disk, to the nanosecond.
  struct State {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    mode_t mode = 0;
    timespec mtime{};
    timespec ctime{};

    static State of(const struct stat& status);
    bool operator==(const State& other) const;
  };

  static OwnInstalls& shared();

  // `path` (absolute) was installed and recorded, and is now in `state`.
  void note(const std::string& path, const State& state, Clock::time_point now = Clock::now());
  // Whether `path` is still exactly as installed; the entry is used up either way.
  bool matches(const std::string& path, const State& state, Clock::time_point now = Clock::now());
  void clear();
  size_t size();

 private:
  struct Installed {
    State state;
    Clock::time_point noted;
  };

  void dropStale(Clock::time_point now);

  std::mutex mutex_;
  NotedPaths<Installed> installed_{kMaxEntries};
};

}  // namespace velbor
