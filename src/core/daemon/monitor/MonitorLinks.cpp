// Files with several names (hard links). inotify reports a change under the name it was made
// through only: a write or a chmod through one name (by the user, or by a pull that sets the
// mode of its file) changes the others unseen. The monitor follows the files it has seen with
// more than one name and compares their other names itself.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "core/daemon/monitor/Monitor.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/state/Lockers.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "platform/Utf8.h"

namespace velbor {
namespace {

std::optional<LinkedFiles::State> linkStateAt(const std::string& path) {
  struct stat status {};
  const auto readStart = std::chrono::system_clock::now();
  if (::lstat(path.c_str(), &status) != 0) return std::nullopt;
  return LinkedFiles::State::of(status, readStart, std::chrono::system_clock::now());
}

}  // namespace

LinkedFiles& Monitor::linkedFilesOf(const CopyPtr& copy) {
  auto found = linkedFiles_.find(copy->uuid());
  if (found == linkedFiles_.end()) {
    found = linkedFiles_.emplace(copy->uuid(), LinkedFiles(copy->path(), bounds_.linkedFiles)).first;
  }
  return found->second;
}

size_t Monitor::linkedFileCount(const std::string& copyUuid) {
  LockerGuard lock(Lockers::monitor());
  const auto found = linkedFiles_.find(copyUuid);
  return found == linkedFiles_.end() ? 0 : found->second.size();
}

void Monitor::followAfterRescan(const CopyPtr& copy, const std::string& path) {
  {
    // Past the bound a copy of many linked files costs no further look at each.
    LockerGuard lock(Lockers::monitor());
    if (!linkedFilesOf(copy).hasRoomFor(path)) return;
  }
  const std::optional<LinkedFiles::State> state = linkStateAt(path);
  if (!state || !state->linked()) return;
  LockerGuard lock(Lockers::monitor());
  // The rescan read the whole copy: every name of the file in it is followed as well.
  linkedFilesOf(copy).follow(path, *state, true);
}

std::vector<std::string> Monitor::followLinks(const CopyPtr& copy, const std::string& path,
                                              const std::optional<LinkedFiles::State>& state, bool wholeCopy) {
  LockerGuard lock(Lockers::monitor());
  LinkedFiles& linked = linkedFilesOf(copy);
  if (!state || !state->linked()) {
    linked.forget(path);
    return {};
  }
  if (!linked.follow(path, *state, false)) return {};
  if (linked.takeUnknownNames(path)) {
    // A name made for a file recorded under another one: that name must be found to be followed.
    // It may be in another copy on the same disk, whose events tell nothing of this name; a
    // comparison of the whole copy reads every name in this one only.
    bool searched = false;
    for (const CopyPtr& each : syncdirCopys_) {
      if (wholeCopy && each->uuid() == copy->uuid()) continue;
      nameSearches_[each->uuid()].insert(LinkedFiles::Inode{state->device, state->inode});
      searched = true;
    }
    if (searched) QoLog("Monitor: ({}) has names not known yet, looked for in the sync folders on its disk", path);
  }
  return linked.otherNames(path);
}

void Monitor::compareLinkedFiles() {
  std::vector<std::pair<CopyPtr, std::vector<std::pair<std::string, LinkedFiles::State>>>> followed;
  {
    LockerGuard lock(Lockers::monitor());
    for (const CopyPtr& copy : syncdirCopys_) {
      const auto found = linkedFiles_.find(copy->uuid());
      if (found != linkedFiles_.end() && found->second.size() != 0)
        followed.emplace_back(copy, found->second.entries());
    }
  }
  // Read without the locker: the event filter goes on meanwhile.
  for (const auto& [copy, entries] : followed) {
    struct Moved {
      std::string path;
      std::optional<LinkedFiles::State> now;
      bool changed = false;
    };
    std::vector<Moved> moved;
    for (const auto& [path, seen] : entries) {
      std::optional<LinkedFiles::State> now = linkStateAt(path);
      const bool changed = !now || !(*now == seen);
      // A state read lately may hide a change made since with the very same times.
      if (changed || seen.racy) moved.push_back(Moved{path, std::move(now), changed});
    }
    if (moved.empty()) continue;
    LockerGuard lock(Lockers::monitor());
    const auto found = linkedFiles_.find(copy->uuid());
    // The copy is no longer watched.
    if (found == linkedFiles_.end()) continue;
    LinkedFiles& linked = found->second;
    for (const auto& [path, now, changed] : moved) {
      // Forgotten meanwhile: the classifier has looked at it since.
      if (!linked.follows(path)) continue;
      if (now && now->linked()) {
        linked.follow(path, *now, false);
      } else {
        linked.forget(path);
      }
      if (changed) QoLog("Change of linked file {}", path);
      noteChange(copy, path);
    }
  }
}

void Monitor::searchLinkNames() {
  std::vector<std::pair<CopyPtr, std::set<LinkedFiles::Inode>>> searches;
  {
    LockerGuard lock(Lockers::monitor());
    for (const CopyPtr& copy : syncdirCopys_) {
      const auto found = nameSearches_.find(copy->uuid());
      if (found == nameSearches_.end()) continue;
      searches.emplace_back(copy, std::move(found->second));
      nameSearches_.erase(found);
    }
  }
  for (const auto& [copy, inodes] : searches) {
    struct stat rootStatus {};
    // A copy on another disk holds no name of these files.
    if (::stat(copy->path().c_str(), &rootStatus) != 0 ||
        std::none_of(inodes.begin(), inodes.end(),
                     [&](const LinkedFiles::Inode& inode) { return inode.first == rootStatus.st_dev; })) {
      continue;
    }
    if (!copyRootPresent(copy)) continue;
    const std::string& root = copy->path();
    std::vector<std::string> folders{root};
    while (!folders.empty() && !stopping_.stop_requested()) {
      const std::string folder = std::move(folders.back());
      folders.pop_back();
      // The root may be a link the user chose; folders below it are never entered through one.
      const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (folder == root ? 0 : O_NOFOLLOW));
      DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
      if (dir == nullptr) {
        if (fd >= 0) ::close(fd);
        continue;
      }
      std::vector<std::pair<std::string, LinkedFiles::State>> found;
      while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || !isValidUtf8(name)) continue;
        const std::string path = folder + "/" + name;
        if (QoFile::matchIgnoreFilter(path)) continue;
        if (entry->d_type == DT_DIR) {
          folders.push_back(path);
          continue;
        }
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
        struct stat status {};
        const auto readStart = std::chrono::system_clock::now();
        if (::fstatat(::dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(status.st_mode)) {
          folders.push_back(path);
        } else if (inodes.count(LinkedFiles::Inode{status.st_dev, status.st_ino}) != 0) {
          found.emplace_back(path, LinkedFiles::State::of(status, readStart, std::chrono::system_clock::now()));
        }
      }
      ::closedir(dir);
      if (found.empty()) continue;
      LockerGuard lock(Lockers::monitor());
      LinkedFiles& linked = linkedFilesOf(copy);
      for (const auto& [path, state] : found) {
        if (linked.follows(path) || !state.linked() || !linked.follow(path, state, true)) continue;
        QoLog("Change of linked file {}", path);
        noteChange(copy, path);
      }
    }
  }
}

}  // namespace velbor
