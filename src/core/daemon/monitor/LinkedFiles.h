#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace velbor {

// The files of one copy that have more than one name (hard links), each with what the disk
// last showed of it. inotify reports a change only under the name it was made through, so the
// other names of a file are compared by hand: when a change through one of its names is
// classified, and on every tick, whatever name (in the copy or outside it) was used.
//
// Bounded in number: past the bound further names are not followed (logged once).
class LinkedFiles {
 public:
  using Inode = std::pair<dev_t, ino_t>;
  // What tells a change of a file, through any of its names: a write moves the size or the
  // modification time, a chmod the mode, and every change the change time.
  struct State {
    dev_t device = 0;
    ino_t inode = 0;
    nlink_t links = 0;
    mode_t mode = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
    // Read so shortly after its last change that a later one may leave the very same state (a
    // disk that stamps whole seconds): it is compared again on the next tick whatever it shows.
    // Not part of the comparison.
    bool racy = false;

    // `status` read between `readStart` and `readEnd`.
    static State of(const struct stat& status, std::chrono::system_clock::time_point readStart,
                    std::chrono::system_clock::time_point readEnd);
    // A regular file with more than one name.
    bool linked() const { return S_ISREG(mode) && links > 1; }
    bool operator==(const State& other) const;
  };

  // `label` names the copy in the log line.
  LinkedFiles(std::string label, size_t bound);

  // Follows `path`, a linked file now in `state`. `searched`: every name of the file within the
  // copy has been looked at (the whole copy was just read). False when the bound is reached.
  bool follow(const std::string& path, const State& state, bool searched);
  void forget(const std::string& path);
  bool follows(const std::string& path) const { return seen_.count(path) != 0; }
  // Whether `path`, a file with several names, is followed or could be; the bound reached is
  // logged once.
  bool hasRoomFor(const std::string& path);
  // The other names followed of the file that `path` names.
  std::vector<std::string> otherNames(const std::string& path) const;
  // Whether the file that `path` names has names in the copy that are not followed and that
  // were never looked for; answers true once for a file (it is taken as looked for).
  bool takeUnknownNames(const std::string& path);
  // Each followed path with the state last seen.
  std::vector<std::pair<std::string, State>> entries() const;
  size_t size() const { return seen_.size(); }
  void setBound(size_t bound) { bound_ = bound; }

 private:
  struct Names {
    std::set<std::string> paths;
    bool searched = false;
  };

  std::string label_;
  size_t bound_;
  bool boundLogged_ = false;
  void logBound();
  std::map<std::string, State> seen_;
  std::map<Inode, Names> names_;
};

}  // namespace velbor
