#include "core/daemon/sync/FolderClashWait.h"

#include <algorithm>

namespace velbor {

FolderClashWait& FolderClashWait::shared() {
  // Never destroyed: a pull still running at exit asks it.
  static auto* instance = new FolderClashWait();
  return *instance;
}

bool FolderClashWait::waiting(const std::string& key, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const Refusals* refusals = refusals_.find(key);
  return refusals != nullptr && now < refusals->retryAt;
}

FolderClashWait::Clock::duration FolderClashWait::refused(const std::string& key, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const Refusals* earlier = refusals_.find(key);
  const int count = earlier ? earlier->count + 1 : 1;
  auto wait = kFirstWait;
  for (int more = 1; more < count && wait < kLongestWait; ++more) wait *= 2;
  const Clock::duration waited = std::min(wait, kLongestWait);
  refusals_.note(key, Refusals{count, now + waited});
  return waited;
}

void FolderClashWait::made(const std::string& key) {
  std::lock_guard lock(mutex_);
  refusals_.erase(key);
}

void FolderClashWait::clear() {
  std::lock_guard lock(mutex_);
  refusals_.clear();
}

}  // namespace velbor
