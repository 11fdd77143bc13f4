#include "core/daemon/monitor/LinkedFiles.h"

#include "core/entity/StampClock.h"

#include "platform/QoLog.h"

namespace velbor {

LinkedFiles::State LinkedFiles::State::of(const struct stat& status, std::chrono::system_clock::time_point readStart,
                                          std::chrono::system_clock::time_point readEnd) {
  State state{status.st_dev,  status.st_ino,  status.st_nlink, status.st_mode,
              status.st_size, status.st_mtim, status.st_ctim};
  state.racy = StampClock::changedLately(status.st_ctim, readStart, readEnd);
  return state;
}

bool LinkedFiles::State::operator==(const State& other) const {
  return device == other.device && inode == other.inode && links == other.links && mode == other.mode &&
         size == other.size && mtime.tv_sec == other.mtime.tv_sec && mtime.tv_nsec == other.mtime.tv_nsec &&
         ctime.tv_sec == other.ctime.tv_sec && ctime.tv_nsec == other.ctime.tv_nsec;
}

LinkedFiles::LinkedFiles(std::string label, size_t bound) : label_(std::move(label)), bound_(bound) {}

bool LinkedFiles::follow(const std::string& path, const State& state, bool searched) {
  const auto known = seen_.find(path);
  if (known == seen_.end() && seen_.size() >= bound_) {
    logBound();
    return false;
  }
  if (known != seen_.end()) {
    const Inode before{known->second.device, known->second.inode};
    if (before != Inode{state.device, state.inode}) {
      // Another file under the same name: it leaves the names of the old one.
      const auto names = names_.find(before);
      if (names != names_.end() && names->second.paths.erase(path) != 0 && names->second.paths.empty()) {
        names_.erase(names);
      }
    }
  }
  seen_[path] = state;
  Names& names = names_[Inode{state.device, state.inode}];
  names.paths.insert(path);
  names.searched = names.searched || searched;
  return true;
}

bool LinkedFiles::hasRoomFor(const std::string& path) {
  if (seen_.size() < bound_ || follows(path)) return true;
  logBound();
  return false;
}

void LinkedFiles::logBound() {
  if (boundLogged_) return;
  QoLog(
      "Monitor: more than {} files with several names in ({}), a change through another name of the others is not seen",
      bound_, label_);
  boundLogged_ = true;
}

void LinkedFiles::forget(const std::string& path) {
  const auto known = seen_.find(path);
  if (known == seen_.end()) return;
  const auto names = names_.find(Inode{known->second.device, known->second.inode});
  if (names != names_.end() && names->second.paths.erase(path) != 0 && names->second.paths.empty()) {
    names_.erase(names);
  }
  seen_.erase(known);
}

std::vector<std::string> LinkedFiles::otherNames(const std::string& path) const {
  std::vector<std::string> others;
  const auto known = seen_.find(path);
  if (known == seen_.end()) return others;
  const auto names = names_.find(Inode{known->second.device, known->second.inode});
  if (names == names_.end()) return others;
  for (const std::string& name : names->second.paths) {
    if (name != path) others.push_back(name);
  }
  return others;
}

bool LinkedFiles::takeUnknownNames(const std::string& path) {
  const auto known = seen_.find(path);
  if (known == seen_.end()) return false;
  const auto names = names_.find(Inode{known->second.device, known->second.inode});
  if (names == names_.end() || names->second.searched) return false;
  names->second.searched = true;
  return names->second.paths.size() < known->second.links;
}

std::vector<std::pair<std::string, LinkedFiles::State>> LinkedFiles::entries() const {
  return {seen_.begin(), seen_.end()};
}

}  // namespace velbor
