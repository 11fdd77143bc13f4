#pragma once

#include <string>
#include <string_view>

namespace velbor {

class QoSyncdirCopy;

// The hidden mark in the root folder of a local copy: a file that holds the copy's uuid. A
// folder is taken as the copy's only when it holds that copy's mark: the mark of another copy
// (another sync disk mounted in its place, a folder copied with `cp -a`) or no mark where
// this copy had one (an empty mount point, a spare disk, a folder made again) is not the
// copy's folder, and what is recorded there must not be taken as removed. A copy never marked
// (recorded before marks held uuids) is marked only on evidence that no other disk gives by
// chance, nor an older backup of the folder: most of the recorded non-empty files looked at
// there with their recorded size and modification time (and content, where small enough to
// read), nothing recorded as present at all, or, with the empty mark of an earlier version,
// all of a copy of folders and empty files as recorded.
class SyncdirMark {
 public:
  static constexpr std::string_view kName = ".Velbor.Syncdir";

  // What the folder of a copy is, as it stands.
  enum class State {
    kInPlace,     // the copy's own mark, or a copy never marked whose folder shows it is the one
    kNoFolder,    // nothing (or no folder) at the copy's path
    kOtherMark,   // the mark of another copy
    kMarkLost,    // no mark where this copy had one
    kNoEvidence,  // never marked, and nothing recorded of it is there
  };

  SyncdirMark() = delete;

  // Whether a file name (no folder) is the mark's or its temporary file's: never recorded nor sent.
  static bool isMarkName(std::string_view name);
  // Whether the copy's folder is there and is the one recorded; marks it when it evidently is
  // and has no mark yet.
  static bool inPlace(const QoSyncdirCopy& copy);
  // The state of the copy's folder; writes nothing. What arrives during a pull is refused
  // where the folder is not the copy's: written on the empty mount point of a disk gone
  // meanwhile, it would be taken for the copy's files.
  static State stateOf(const QoSyncdirCopy& copy);
  static bool looksMissing(const QoSyncdirCopy& copy) { return stateOf(copy) != State::kInPlace; }
  // Marks the folder as the copy's, replacing a mark there (a new copy made on a folder that
  // was copied from another one). False, after a log line, when it cannot be written.
  static bool markAs(const QoSyncdirCopy& copy);
  // A few words on a state, for the log.
  static const char* describe(State state);
  // The same for the copy's folder as it stands, with what its recorded files showed.
  static std::string explain(const QoSyncdirCopy& copy);
};

}  // namespace velbor
