#include "core/entity/LocalLooks.h"

#include <utility>

namespace velbor {

LocalLooks& LocalLooks::shared() {
  // Never destroyed: a pull still running at exit may ask.
  static auto* instance = new LocalLooks();
  return *instance;
}

void LocalLooks::ask(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (asked_.size() < kMaxEntries) asked_.insert(path);
}

std::vector<std::string> LocalLooks::take() {
  std::set<std::string> asked;
  {
    std::lock_guard lock(mutex_);
    asked.swap(asked_);
  }
  return {std::make_move_iterator(asked.begin()), std::make_move_iterator(asked.end())};
}

}  // namespace velbor
