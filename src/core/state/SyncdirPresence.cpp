#include "core/state/SyncdirPresence.h"

#include <algorithm>

#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/SyncdirMark.h"
#include "core/state/QoNotices.h"
#include "platform/QoLog.h"

namespace velbor {

SyncdirPresence& SyncdirPresence::shared() {
  static auto* presence = new SyncdirPresence();
  return *presence;
}

bool SyncdirPresence::inPlace(const CopyPtr& copy) { return SyncdirMark::inPlace(*copy); }

bool SyncdirPresence::check(const CopyPtr& copy) {
  if (!copy) return false;
  const bool present = inPlace(copy);
  std::lock_guard lock(mutex_);
  if (present) {
    if (missing_.erase(copy->uuid()) > 0) {
      back_.insert(copy->uuid());
      QoLog("syncdir({}) is back, it syncs again", copy->path());
      QoNotices::post(notice::SyncdirBack{copy->path(), copy->uuid()});
    }
    return true;
  }
  if (missing_.emplace(copy->uuid(), copy).second) {
    // Told once, with what the mark of the copy's folder must hold for it to be taken again.
    QoLog(
        "*** syncdir({}) is missing or not the folder recorded (a disk not mounted, or another disk in its "
        "place?), nothing in it is removed: {}; its own folder holds {} with {}",
        copy->path(), SyncdirMark::explain(*copy), SyncdirMark::kName, copy->uuid());
    QoNotices::post(notice::SyncdirMissing{copy->path(), copy->uuid()});
  }
  return false;
}

std::vector<SyncdirPresence::CopyPtr> SyncdirPresence::recheck(const std::vector<CopyPtr>& current) {
  const auto isCurrent = [&](const std::string& uuid) {
    return std::any_of(current.begin(), current.end(), [&](const CopyPtr& copy) { return copy->uuid() == uuid; });
  };
  std::vector<CopyPtr> candidates;
  std::vector<CopyPtr> back;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(missing_, [&](const auto& entry) { return !isCurrent(entry.first); });
    for (const CopyPtr& copy : current) {
      if (missing_.count(copy->uuid()) > 0) candidates.push_back(copy);
      if (back_.erase(copy->uuid()) > 0) back.push_back(copy);
    }
    back_.clear();
  }
  for (const CopyPtr& copy : candidates) {
    if (!check(copy)) continue;
    std::lock_guard lock(mutex_);
    if (back_.erase(copy->uuid()) > 0) back.push_back(copy);
  }
  return back;
}

bool SyncdirPresence::isMissing(const std::string& uuid) {
  std::lock_guard lock(mutex_);
  return missing_.count(uuid) > 0;
}

}  // namespace velbor
