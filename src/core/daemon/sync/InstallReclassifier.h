#pragma once

#include <cstdint>
#include <memory>

namespace velbor {

class QoFileAndSyncdirCopyRelation;

// Applies an arriving record against the local state as it is when it is applied. A pull
// sorts a whole page before it applies anything, and its downloads take time: meanwhile the
// monitor may record a local edit of the path, or another pull into the same folder may
// install another device's version there. Installing what was decided against the state
// before would put the arriving version over one that it never saw. So the record is sorted
// again against the local record of now, under the locker every writer of records takes,
// held until it is applied: an update over a version it does not descend from becomes a
// conflict (both kept), one the local version already holds is skipped.
class InstallReclassifier {
 public:
  using Relation = std::shared_ptr<QoFileAndSyncdirCopyRelation>;

  // What an arriving record asks of the local state now.
  struct Sorted {
    enum class Action {
      // Apply `event`.
      kApply,
      // Nothing to do: the local version holds the arriving one already.
      kSkip,
      // It now needs content that was not downloaded: fetched again by the next pull.
      kFetchAgain,
    };
    Action action = Action::kApply;
    int32_t event = 0;
  };

  InstallReclassifier() = delete;

  // Sorts `record` again when the local record of its path is no longer the one it was
  // compared with (its local version); otherwise it stays `event`. `downloaded`: its content
  // is in its temporary file. Takes the new local record into `record`. The caller holds the
  // "transaction" locker.
  static Sorted eventAgainstLocalNow(QoFileAndSyncdirCopyRelation& record, int32_t event, bool downloaded);
  // Whether the local record of the record's path is still the one it was compared with (or
  // it was never compared). The caller holds the "transaction" locker.
  static bool localAsCompared(const QoFileAndSyncdirCopyRelation& record);
  // Under the "transaction" locker: sorts again, then applies the record (handleFetchEvent).
  // Answers false when it failed, or is to be fetched again (the pairing's failed usn is then
  // set); a skip answers true.
  static bool install(const Relation& record, int32_t event, bool downloaded);
  // The arriving folder `record`'s name is free here now (the other spelling that held it took
  // this one): its install is made at once, not after the wait of its earlier refusals.
  static void clashOver(const QoFileAndSyncdirCopyRelation& record);
};

}  // namespace velbor
