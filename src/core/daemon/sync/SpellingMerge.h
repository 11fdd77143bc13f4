#pragma once

#include <optional>
#include <string>
#include <utility>

namespace velbor {

// What a folder holds under an old spelling, brought into the folder of its new spelling (a
// peer renamed it in letter case only) where the disk keeps the two apart. Each item whose
// name the new spelling does not hold moves there; a folder both hold is merged the same way,
// all the way down; a file both hold stays once where the content is the same, and otherwise
// comes in under a conflict copy's name, so nothing written is lost. The emptied folders of the
// old spelling go; downloads under way stay, with the folders holding them. The monitor records
// the moves as local changes, and so they reach the peers. Callers hold the locker of every
// writer of records.
class SpellingMerge {
 public:
  SpellingMerge() = delete;

  // Merges the folder `from` into the folder `into`, both below `root`. Answers whether `from`
  // is left empty (it stays: its removal is the caller's).
  static bool merge(const std::string& root, const std::string& from, const std::string& into);
  // How the rename that respelled a folder stands in the records.
  enum class Rename { kRecorded, kNotYetRecorded };

  // The folder here whose path differs from `path` only in the letter case of some of its
  // names, and that the disk keeps apart from it: recorded present, or with kNotYetRecorded
  // not (new to the records, or recorded removed); nothing when there is none.
  static std::optional<std::string> respellingOf(const std::string& root, const std::string& path,
                                                 Rename rename = Rename::kRecorded);
  // The folder at `path` or, when a folder on the way is not there as spelled, the nearest such
  // folder that the disk holds in another spelling: its path and the spelling held (empty when
  // no entry folds to its name the way names are folded here); nothing when neither clashes so.
  static std::optional<std::pair<std::string, std::string>> clashOnTheWay(const std::string& root, std::string path);
  // Removes the folder `path` when it is empty; answers whether it is gone.
  static bool removeIfEmpty(const std::string& root, const std::string& path);

 private:
  // Brings the item `name` of `from` into `into`; answers whether it left `from`.
  static bool mergeItem(const std::string& root, const std::string& from, const std::string& into,
                        const std::string& name);
};

}  // namespace velbor
