#include "core/state/ChallengeAnswerers.h"

namespace velbor {

ChallengeAnswerers& ChallengeAnswerers::shared() {
  static auto& answerers = *new ChallengeAnswerers();
  return answerers;
}

void ChallengeAnswerers::add(const std::string& deviceUuid) {
  std::lock_guard lock(mutex_);
  devices_.insert(deviceUuid);
}

bool ChallengeAnswerers::contains(const std::string& deviceUuid) const {
  std::lock_guard lock(mutex_);
  return devices_.count(deviceUuid) != 0;
}

void ChallengeAnswerers::clear() {
  std::lock_guard lock(mutex_);
  devices_.clear();
}

}  // namespace velbor
