#pragma once

#include <sys/stat.h>

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace velbor {

// Which spelling of a name a folder holds. A disk that ignores letter case (exFAT, FAT)
// answers a look-up of "notes.txt" with the entry "Notes.txt", and exfat-fuse even shows the
// two spellings of one entry with two inode numbers: that the disk answers for a path does not
// tell that the path is there. What the folder lists does: a name it does not list under that
// exact spelling is not there, and an item made under that name would take the place of the
// entry that is.
//
// A folder is listed only when in doubt: when the name's ASCII letters, swapped in case, reach
// an entry as well (a disk that ignores case, or two entries on one that does not), or when
// the name has only letters other than ASCII ones, which the swap cannot test. A listing is
// kept a short while and follows the changes made through noteAdded and noteRemoved, so a
// pass over a large folder lists it a few times, not once per entry. A name missing from a
// kept listing is looked for in a fresh one before it is told absent.
class NameSpelling {
 public:
  enum class Listed { kAbsent, kAsSpelled, kOtherSpelling };
  static constexpr std::chrono::milliseconds kLifetime{300};

  NameSpelling() = delete;

  // How the folder open as `folderFd` (-1: reached by its path), at `folderPath`, lists the
  // entry that `name` reaches. With kOtherSpelling, `spelling` gets the name listed (empty when
  // no entry there folds to `name` the way this class folds). An entry that cannot be looked
  // at, or a folder that cannot be listed, counts as spelled: the caller's own use of it fails
  // or not as before.
  static Listed inFolder(int folderFd, const std::string& folderPath, const std::string& name,
                         std::string* spelling = nullptr);
  // lstat of `path`, failing with ENOENT unless every component below `root` is listed under
  // its spelling. A path not below `root` is only looked at.
  static int lstatAsSpelled(const std::string& root, const std::string& path, struct stat& status);
  // Whether two names are spellings of one another (letters folded as Unicode's capitals).
  static bool sameFolded(const std::string& a, const std::string& b);
  // The form both spellings of a name fold to (see sameFolded).
  static std::string folded(const std::string& name);
  // Whether the folder, which holds `name`, answers for it with its ASCII letters swapped in
  // case: the disk ignores letter case.
  static bool ignoresCase(const std::string& folderPath, const std::string& name);

  // Changes made to a folder by this process; removing a folder's name drops the listings of
  // everything below it.
  static void noteAdded(const std::string& folderPath, const std::string& name);
  static void noteRemoved(const std::string& folderPath, const std::string& name);
  static void forget();
  // For a while every name in the folder is looked for in its listing, whatever a look-up of
  // it answers: a disk that ignores letter case may still answer for a spelling just removed
  // through another one (exfat-fuse keeps each spelling's entry a second after).
  static void doubt(const std::string& folderPath);
  static constexpr std::chrono::seconds kDoubtLifetime{3};

 private:
  using Clock = std::chrono::steady_clock;
  struct Listing {
    std::set<std::string> names;
    Clock::time_point read;
  };
  static std::mutex& mutex();
  static std::map<std::string, Listing>& listings();
  static std::map<std::string, Clock::time_point>& doubts();
  static bool doubted(const std::string& folderPath);
};

}  // namespace velbor
