#include "core/entity/RecordedStates.h"

namespace velbor {

RecordedStates& RecordedStates::shared() {
  // Never destroyed: a pull on a worker still running at exit notes its installs later.
  static auto* instance = new RecordedStates();
  return *instance;
}

void RecordedStates::note(const std::string& path, const State& state, bool racy) {
  std::lock_guard lock(mutex_);
  noted_.note(path, Noted{state, racy});
}

bool RecordedStates::mayDiffer(const std::string& path, const State& state) {
  std::lock_guard lock(mutex_);
  const Noted* noted = noted_.find(path);
  return noted != nullptr && (noted->racy || !(noted->state == state));
}

void RecordedStates::forget(const std::string& path) {
  std::lock_guard lock(mutex_);
  noted_.erase(path);
}

void RecordedStates::clear() {
  std::lock_guard lock(mutex_);
  noted_.clear();
}

size_t RecordedStates::size() {
  std::lock_guard lock(mutex_);
  return noted_.size();
}

}  // namespace velbor
