#include "core/entity/MarkedCopies.h"

#include <mutex>
#include <set>
#include <utility>

namespace velbor {

namespace {

std::mutex installedMutex;

MarkedCopies inMemory() {
  static std::mutex& lock = *new std::mutex;
  static std::set<std::string>& marked = *new std::set<std::string>;
  return MarkedCopies(
      [](const std::string& uuid) {
        std::lock_guard guard(lock);
        return marked.count(uuid) > 0;
      },
      [](const std::string& uuid) {
        std::lock_guard guard(lock);
        marked.insert(uuid);
      });
}

MarkedCopies& installedStore() {
  // Never destroyed: jobs still running at exit look at marks.
  static auto* store = new MarkedCopies(inMemory());
  return *store;
}

}  // namespace

MarkedCopies::MarkedCopies(Query wasMarked, Record setMarked)
    : wasMarked_(std::move(wasMarked)), setMarked_(std::move(setMarked)) {}

bool MarkedCopies::wasMarked(const std::string& copyUuid) const { return wasMarked_ && wasMarked_(copyUuid); }

void MarkedCopies::setMarked(const std::string& copyUuid) const {
  if (setMarked_) setMarked_(copyUuid);
}

void MarkedCopies::install(MarkedCopies store) {
  std::lock_guard lock(installedMutex);
  installedStore() = std::move(store);
}

MarkedCopies MarkedCopies::installed() {
  // A copy: the store runs outside the lock, so it may take locks of its own.
  std::lock_guard lock(installedMutex);
  return installedStore();
}

}  // namespace velbor
