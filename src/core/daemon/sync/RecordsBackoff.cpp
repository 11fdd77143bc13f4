#include "core/daemon/sync/RecordsBackoff.h"

#include <algorithm>

namespace velbor {

RecordsBackoff& RecordsBackoff::shared() {
  // Never destroyed: a pull still running at exit asks it.
  static auto* instance = new RecordsBackoff();
  return *instance;
}

RecordsBackoff::Clock::duration RecordsBackoff::waitLeft(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  return now < until_ ? until_ - now : Clock::duration::zero();
}

RecordsBackoff::Clock::duration RecordsBackoff::refused(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  Clock::duration wait = kFirstWait;
  for (int more = 0; more < refusals_ && wait < kLongestWait; ++more) wait *= 2;
  wait = std::min<Clock::duration>(wait, kLongestWait);
  ++refusals_;
  until_ = now + wait;
  return wait;
}

void RecordsBackoff::recorded() {
  std::lock_guard lock(mutex_);
  refusals_ = 0;
  until_ = {};
}

bool RecordsBackoff::keep(const std::string& key) {
  std::lock_guard lock(mutex_);
  return kept_.insert(key).second;
}

bool RecordsBackoff::taken(const std::string& key) {
  std::lock_guard lock(mutex_);
  return kept_.erase(key) != 0;
}

void RecordsBackoff::clear() {
  std::lock_guard lock(mutex_);
  refusals_ = 0;
  until_ = {};
  kept_.clear();
}

}  // namespace velbor
