#pragma once

#include <QString>

#include <memory>
#include <optional>
#include <string>

namespace velbor {

class QoDevice;
class QoSyncdirCopy;
namespace pb {
class TreeInfo;
}  // namespace pb

// Whether a local folder can be paired with a tree on a device, and what pairing it takes.
// Only reads: a folder that must join the tree's sync folder joins it when the pairing is
// made, never while the user is still choosing.
class SyncLinkCheck {
 public:
  enum class Result {
    Incomplete,       // folder, device or tree still missing
    NewTree,          // the folder is no tree yet: one is made in the tree's sync folder
    JoinSyncdir,      // an unpaired tree of another sync folder: it is made a tree of the tree's
    Link,             // a tree of the same sync folder, not paired with that tree yet
    SameFolder,       // the tree is this very folder
    PairedElsewhere,  // a tree of another sync folder that has pairings
    PairExists,       // the pairing is there already
  };

  static SyncLinkCheck check(const std::optional<std::string>& localPath, const std::shared_ptr<QoDevice>& remoteDevice,
                             const std::shared_ptr<pb::TreeInfo>& remoteTree);

  Result result() const { return result_; }
  // The local device's tree at the folder, or null.
  const std::shared_ptr<QoSyncdirCopy>& localCopy() const { return localCopy_; }
  bool canLink() const;
  // The warning that tells why the choice cannot be paired; null when it can, or while
  // the choice is incomplete.
  QString alertText() const;

 private:
  SyncLinkCheck(Result result, std::shared_ptr<QoSyncdirCopy> localCopy);

  Result result_;
  std::shared_ptr<QoSyncdirCopy> localCopy_;
};

}  // namespace velbor
