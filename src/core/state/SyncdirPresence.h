#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace velbor {

class QoSyncdirCopy;

// The local copies whose folder is missing or not the one recorded (SyncdirMark). Such a
// copy records nothing as removed and takes no pull; the log and a notice say so once, and a
// look now and then (recheck) finds it back when its disk is mounted again, as does any
// check (a pull): the log and a notice say that too, and the next recheck hands it over, so
// that whoever watches the copy watches and compares it again.
class SyncdirPresence {
 public:
  using CopyPtr = std::shared_ptr<QoSyncdirCopy>;

  // Never destroyed: pulls and rescans may ask until the process ends.
  static SyncdirPresence& shared();

  // Whether the copy's folder is in place; a change either way is logged (and a missing one
  // noticed) once.
  bool check(const CopyPtr& copy);
  // Of the copies found missing before, those that are in place again, now taken as such,
  // whether found so here or by a check since the last recheck; copies no longer among
  // `current` (the local copies) are forgotten.
  std::vector<CopyPtr> recheck(const std::vector<CopyPtr>& current);
  bool isMissing(const std::string& uuid);

 private:
  SyncdirPresence() = default;
  bool inPlace(const CopyPtr& copy);

  std::mutex mutex_;
  std::map<std::string, CopyPtr> missing_;  // by copy uuid
  std::set<std::string> back_;              // uuids found back, not yet handed over by recheck
};

}  // namespace velbor
