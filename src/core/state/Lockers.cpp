#include "core/state/Lockers.h"

#include <charconv>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

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

// The 32-bit key that follows `prefix` in `name`, written as getLocker(name, userId) writes it.
std::optional<int32_t> keyAfter(const std::string& name, std::string_view prefix) {
  if (!name.starts_with(prefix)) return std::nullopt;
  const std::string digits = name.substr(prefix.size());
  int32_t key = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), key);
  if (error != std::errc() || end != digits.data() + digits.size() || std::to_string(key) != digits) {
    return std::nullopt;
  }
  return key;
}

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

RecursiveLocker& Lockers::named(const std::string& name) {
  if (name == "transaction") return transaction();
  if (name == "monitor") return monitor();
  if (name == "failedUsn") return failedUsn();
  if (const auto key = keyAfter(name, "syncOnce-")) return syncOnce(*key);
  if (name.starts_with("trust-")) return trust(name.substr(6));
  static auto* lockers = new KeyedLockers<std::string>();
  return lockers->get(name);
}

}  // namespace velbor
