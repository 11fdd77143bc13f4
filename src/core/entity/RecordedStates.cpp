#include "core/entity/RecordedStates.h"

namespace velbor {

RecordedStates& RecordedStates::shared() {
  static RecordedStates instance;
  return instance;
}

void RecordedStates::note(const std::string& path, const State& state, bool racy) {
  std::lock_guard lock(mutex_);
  const uint64_t serial = ++serial_;
  entries_[path] = Entry{state, racy, serial};
  order_.emplace_back(path, serial);
  dropOldest();
}

bool RecordedStates::mayDiffer(const std::string& path, const State& state) {
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(path);
  return found != entries_.end() && (found->second.racy || !(found->second.state == state));
}

void RecordedStates::forget(const std::string& path) {
  std::lock_guard lock(mutex_);
  entries_.erase(path);
}

void RecordedStates::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  order_.clear();
}

size_t RecordedStates::size() {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

bool RecordedStates::isCurrent(const std::pair<std::string, uint64_t>& listed) const {
  const auto found = entries_.find(listed.first);
  return found != entries_.end() && found->second.serial == listed.second;
}

void RecordedStates::dropOldest() {
  while (entries_.size() > kMaxEntries && !order_.empty()) {
    if (isCurrent(order_.front())) entries_.erase(order_.front().first);
    order_.pop_front();
  }
  // Notes replaced or forgotten since stay listed until the list has grown to twice the bound.
  if (order_.size() > 2 * kMaxEntries) std::erase_if(order_, [this](const auto& listed) { return !isCurrent(listed); });
}

}  // namespace velbor
