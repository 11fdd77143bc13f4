#include "framework/persistence/NamedLockers.h"

#include <map>
#include <memory>

namespace velbor {

std::recursive_mutex& NamedLockers::getLocker(const std::string& name) {
  static std::mutex mapMutex;
  // Never destroyed: lockers may still be taken by threads that outlive static destruction.
  static auto* lockers = new std::map<std::string, std::unique_ptr<std::recursive_mutex>>();
  std::lock_guard<std::mutex> guard(mapMutex);
  auto& slot = (*lockers)[name];
  if (!slot) {
    slot = std::make_unique<std::recursive_mutex>();
  }
  return *slot;
}

}  // namespace velbor
