#include "core/state/Lockers.h"

#include <map>
#include <memory>
#include <mutex>

namespace velbor {
namespace {

// One family's lockers by key. Never destroyed (nor the lockers): they may still be taken by
// threads that outlive static destruction.
template <class Key>
class KeyedLockers {
 public:
  RecursiveLocker& get(const Key& key) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto& slot = lockers_[key];
    if (!slot) slot = std::make_unique<RecursiveLocker>();
    return *slot;
  }

 private:
  std::mutex mutex_;
  std::map<Key, std::unique_ptr<RecursiveLocker>> lockers_;
};

}  // namespace

RecursiveLocker& Lockers::monitor() {
  static auto* locker = new RecursiveLocker();
  return *locker;
}

RecursiveLocker& Lockers::failedUsn() {
  static auto* locker = new RecursiveLocker();
  return *locker;
}

RecursiveLocker& Lockers::syncOnce(int32_t relationPk) {
  static auto* lockers = new KeyedLockers<int32_t>();
  return lockers->get(relationPk);
}

RecursiveLocker& Lockers::trust(const std::string& deviceUuid) {
  static auto* lockers = new KeyedLockers<std::string>();
  return lockers->get(deviceUuid);
}

}  // namespace velbor
