#include "core/daemon/sync/InstallRetry.h"

#include <algorithm>

namespace velbor {

InstallRetry& InstallRetry::shared() {
  // Never destroyed: a pull still running at exit asks it.
  static auto* instance = new InstallRetry();
  return *instance;
}

bool InstallRetry::mayFetch(const std::string& key, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const Failures* failures = failures_.find(key);
  return failures == nullptr || now >= failures->retryAt;
}

void InstallRetry::failed(const std::string& key, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const Failures* earlier = failures_.find(key);
  Failures failures{earlier ? earlier->count + 1 : 1, now};
  if (failures.count > 1) {
    auto wait = kFirstWait;
    for (int more = 2; more < failures.count && wait < kLongestWait; ++more) wait *= 2;
    failures.retryAt = now + std::min(wait, kLongestWait);
  }
  failures_.note(key, failures);
}

void InstallRetry::installed(const std::string& key) {
  std::lock_guard lock(mutex_);
  failures_.erase(key);
}

void InstallRetry::clear() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

}  // namespace velbor
