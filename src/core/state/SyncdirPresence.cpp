#include "core/state/SyncdirPresence.h"

#include <sys/stat.h>

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

bool SyncdirPresence::inPlace(const CopyPtr& copy) {
  struct stat status {};
  return ::stat(copy->path().c_str(), &status) == 0 && S_ISDIR(status.st_mode) && SyncdirMark::inPlace(*copy);
}

bool SyncdirPresence::check(const CopyPtr& copy) {
  if (!copy) return false;
  const bool present = inPlace(copy);
  std::lock_guard lock(mutex_);
  if (present) {
    if (missing_.erase(copy->uuid()) > 0) QoLog("syncdir({}) is back, it syncs again", copy->path());
    return true;
  }
  if (missing_.emplace(copy->uuid(), copy).second) {
    QoLog("*** syncdir({}) is missing or not the folder recorded (a disk not mounted?), nothing in it is removed",
          copy->path());
    QoNotices::post(notice::SyncdirMissing{copy->path()});
  }
  return false;
}

std::vector<SyncdirPresence::CopyPtr> SyncdirPresence::recheck(const std::vector<CopyPtr>& current) {
  std::vector<CopyPtr> candidates;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(missing_, [&](const auto& entry) {
      return std::none_of(current.begin(), current.end(),
                          [&](const CopyPtr& copy) { return copy->uuid() == entry.first; });
    });
    for (const CopyPtr& copy : current) {
      if (missing_.count(copy->uuid()) > 0) candidates.push_back(copy);
    }
  }
  std::vector<CopyPtr> back;
  for (const CopyPtr& copy : candidates) {
    if (check(copy)) back.push_back(copy);
  }
  return back;
}

bool SyncdirPresence::isMissing(const std::string& uuid) {
  std::lock_guard lock(mutex_);
  return missing_.count(uuid) > 0;
}

}  // namespace velbor
