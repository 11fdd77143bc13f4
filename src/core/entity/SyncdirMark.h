#pragma once

#include <string_view>

namespace velbor {

class QoSyncdirCopy;

// The hidden mark in the root folder of a local copy: an empty file, written whenever the
// folder is evidently the recorded one. A root without the mark that holds none of the
// entries recorded at its top while the copy still has files recorded is not that folder (the
// mount point of a disk that is not mounted, another disk in its place, a folder made again):
// what is recorded there must not be taken as removed. A copy recorded before marks existed
// holds its files, so it is marked on its first look.
class SyncdirMark {
 public:
  static constexpr std::string_view kName = ".Velbor.Syncdir";

  SyncdirMark() = delete;

  // Whether a file name (no folder) is the mark's: never recorded nor sent.
  static bool isMarkName(std::string_view name) { return name == kName; }
  // Whether the copy's folder is there and is the one recorded; marks it when it evidently is.
  static bool inPlace(const QoSyncdirCopy& copy);
  // Whether the copy's folder is, as it stands, not the one recorded; writes nothing. What
  // arrives during a pull is refused there: written on the empty mount point of a disk gone
  // meanwhile, it would have the folder marked and every file recorded taken as removed.
  static bool looksMissing(const QoSyncdirCopy& copy);
};

}  // namespace velbor
