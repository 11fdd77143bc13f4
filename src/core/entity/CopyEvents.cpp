#include "core/entity/CopyEvents.h"

#include <mutex>
#include <utility>

namespace velbor {

namespace {

std::mutex installedMutex;

std::shared_ptr<CopyEvents>& installedEvents() {
  // Never destroyed: workers may still report during exit.
  static auto* events = new std::shared_ptr<CopyEvents>(std::make_shared<CopyEvents>());
  return *events;
}

}  // namespace

void CopyEvents::indexPrepare(const std::shared_ptr<QoSyncdirCopy>&) {}

void CopyEvents::indexBegin(const std::shared_ptr<QoSyncdirCopy>&, int64_t) {}

void CopyEvents::indexing(const std::shared_ptr<QoSyncdirCopy>&, const std::string&) {}

void CopyEvents::indexEnd(const std::shared_ptr<QoSyncdirCopy>&) {}

void CopyEvents::fileChanged(const std::shared_ptr<QoSyncdirCopy>&) {}

void CopyEvents::install(std::shared_ptr<CopyEvents> events) {
  if (!events) events = std::make_shared<CopyEvents>();
  std::lock_guard lock(installedMutex);
  installedEvents() = std::move(events);
}

std::shared_ptr<CopyEvents> CopyEvents::installed() {
  // A reference of the caller's own: the observer runs outside the lock.
  std::lock_guard lock(installedMutex);
  return installedEvents();
}

}  // namespace velbor
