#include "core/daemon/sync/KeyedBackoff.h"

#include <algorithm>

namespace velbor {

KeyedBackoff::KeyedBackoff(Clock::duration firstWait, Clock::duration longestWait, int failuresWithoutWait,
                           size_t maxEntries)
    : firstWait_(firstWait),
      longestWait_(longestWait),
      failuresWithoutWait_(failuresWithoutWait),
      failures_(maxEntries) {}

bool KeyedBackoff::waiting(const std::string& key, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const Failures* failures = failures_.find(key);
  return failures != nullptr && now < failures->retryAt;
}

KeyedBackoff::Clock::duration KeyedBackoff::failed(const std::string& key, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const Failures* earlier = failures_.find(key);
  const int count = earlier ? earlier->count + 1 : 1;
  Clock::duration wait{};
  if (count > failuresWithoutWait_) {
    wait = firstWait_;
    for (int more = failuresWithoutWait_ + 1; more < count && wait < longestWait_; ++more) wait *= 2;
    wait = std::min(wait, longestWait_);
  }
  failures_.note(key, Failures{count, now + wait});
  return wait;
}

void KeyedBackoff::forget(const std::string& key) {
  std::lock_guard lock(mutex_);
  failures_.erase(key);
}

void KeyedBackoff::clear() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

}  // namespace velbor
