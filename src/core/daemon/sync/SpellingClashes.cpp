#include "core/daemon/sync/SpellingClashes.h"

namespace velbor {

SpellingClashes& SpellingClashes::shared() {
  // Never destroyed: a pull still running at exit asks it.
  static auto* instance = new SpellingClashes();
  return *instance;
}

void SpellingClashes::refused(const std::string& pairing, const std::string& key) {
  std::lock_guard lock(mutex_);
  // The first refusal counts: a later one of the same try does not put it off.
  if (refusals_.find(key) != nullptr) return;
  refusals_.note(key, Refusal{pairing, passes_[pairing]});
}

bool SpellingClashes::persisted(const std::string& key) {
  std::lock_guard lock(mutex_);
  const Refusal* refusal = refusals_.find(key);
  if (refusal == nullptr) return false;
  const auto passes = passes_.find(refusal->pairing);
  return passes != passes_.end() && passes->second > refusal->passesBefore;
}

void SpellingClashes::passCompleted(const std::string& pairing) {
  std::lock_guard lock(mutex_);
  ++passes_[pairing];
}

void SpellingClashes::installed(const std::string& key) {
  std::lock_guard lock(mutex_);
  refusals_.erase(key);
}

void SpellingClashes::clear() {
  std::lock_guard lock(mutex_);
  refusals_.clear();
  passes_.clear();
}

}  // namespace velbor
