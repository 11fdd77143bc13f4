#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

#include "core/entity/NotedPaths.h"

namespace velbor {

// Tries known by a key that keep failing wait before they are made again: the first
// `failuresWithoutWait` failures of a key none, the next `firstWait`, and each further one
// twice as long, up to `longestWait`. Bounded in number (the oldest go first). Thread-safe.
class KeyedBackoff {
 public:
  using Clock = std::chrono::steady_clock;

  KeyedBackoff(Clock::duration firstWait, Clock::duration longestWait, int failuresWithoutWait, size_t maxEntries);

  // Whether the try `key` must still wait.
  bool waiting(const std::string& key, Clock::time_point now);
  // The try `key` failed: answers how long it waits from now.
  Clock::duration failed(const std::string& key, Clock::time_point now);
  // The try `key` went through: it never waits again for its earlier failures.
  void forget(const std::string& key);
  void clear();

 private:
  struct Failures {
    int count = 0;
    Clock::time_point retryAt;
  };

  const Clock::duration firstWait_;
  const Clock::duration longestWait_;
  const int failuresWithoutWait_;
  std::mutex mutex_;
  NotedPaths<Failures> failures_;
};

}  // namespace velbor
