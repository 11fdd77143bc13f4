#include "core/state/PullsAwaitingPeer.h"

namespace velbor {

PullsAwaitingPeer& PullsAwaitingPeer::shared() {
  static auto& pulls = *new PullsAwaitingPeer();
  return pulls;
}

void PullsAwaitingPeer::add(const std::string& deviceUuid) {
  std::lock_guard lock(mutex_);
  devices_.insert(deviceUuid);
}

bool PullsAwaitingPeer::take(const std::string& deviceUuid) {
  std::lock_guard lock(mutex_);
  return devices_.erase(deviceUuid) != 0;
}

std::set<std::string> PullsAwaitingPeer::devices() const {
  std::lock_guard lock(mutex_);
  return devices_;
}

void PullsAwaitingPeer::clear() {
  std::lock_guard lock(mutex_);
  devices_.clear();
}

}  // namespace velbor
