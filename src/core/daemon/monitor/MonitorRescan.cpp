// Comparing whole folders with their records, for changes too many to keep one by one (a
// full change set, or lost events). A folder is read and compared a batch of entries at a
// time, and a whole copy folder by folder, so what is held grows with the widest folder and
// the number of folders waiting, never with the number of files.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "core/daemon/monitor/Monitor.h"
#include "core/entity/NameSpelling.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/state/DataSource.h"
#include "core/state/Lockers.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "platform/Utf8.h"

namespace velbor {
namespace {

// Stored records read at once while looking for those whose item is gone.
constexpr size_t kRecordPage = 1000;

bool isGone(int error) { return error == ENOENT || error == ENOTDIR; }

}  // namespace

bool Monitor::rescanFolders(const CopyPtr& copy) {
  std::set<std::string> folders;
  {
    LockerGuard lock(Lockers::monitor());
    const auto found = folderRescans_.find(copy->uuid());
    if (found == folderRescans_.end()) return false;
    folders.swap(found->second);
    folderRescans_.erase(found);
  }
  bool changed = false;
  for (const std::string& folder : folders) changed = rescanFolder(copy, folder, false) || changed;
  return changed;
}

bool Monitor::rescanFolder(const CopyPtr& copy, const std::string& top, bool recursive) {
  const std::string& root = copy->path();
  bool changed = false;
  std::vector<std::string> batch;
  // Every name of every file is read: a file with several names has no other in the copy.
  const bool wholeCopy = recursive && top == root;
  const auto record = [&] { changed = recordInBatches(batch, copy, wholeCopy) || changed; };
  size_t batchPaths = 0;
  {
    LockerGuard lock(Lockers::monitor());
    batchPaths = bounds_.batchPaths;
  }
  std::vector<std::string> folders{top};
  while (!folders.empty()) {
    const std::string folder = std::move(folders.back());
    folders.pop_back();
    {
      std::lock_guard lock(timersMutex_);
      if (shutDown_) return changed;
    }
    if (!copyRootPresent(copy)) return changed;
    // What is on disk: every entry is compared with its record (an unchanged one costs a look).
    // The root may be a link the user chose; folders below it are never entered through one.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (folder == root ? 0 : O_NOFOLLOW));
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (dir == nullptr) {
      const int error = errno;
      if (fd >= 0) ::close(fd);
      if (!isGone(error)) {
        // Unreadable is not gone: its records stay as they are.
        QoLog("*** List folder({}) failed, {}", folder, std::strerror(error));
        continue;
      }
      // Gone, or no folder any more: its own record and those below it are compared too.
      if (folder != root) batch.push_back(folder);
    } else {
      while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + name;
        if (!isValidUtf8(name)) {
          QoLog("* File({}) name is not UTF-8, skipped.", path);
          continue;
        }
        if (QoFile::matchIgnoreFilter(path)) continue;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
          struct stat status {};
          isFolder =
              ::fstatat(::dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode);
        }
        if (isFolder && recursive) folders.push_back(path);
        batch.push_back(path);
        if (batch.size() >= batchPaths) record();
      }
      ::closedir(dir);
    }
    // What is only in the records: the items gone from this folder.
    const std::string prefix = folder + "/";
    // Past every path below the folder: "0" is the character after "/".
    const std::string end = folder + "0";
    std::string after = prefix;
    for (;;) {
      // Entries of the folder itself: no "/" after the prefix (counted in characters, as
      // SQLite counts text).
      const QoFile::List page = QoFile::findByCriteria(
          "WHERE path > ?1 AND path < ?2 AND status = 0 AND instr(substr(path, length(?3) + 1), '/') = 0 "
          "ORDER BY path LIMIT " +
              std::to_string(kRecordPage),
          QoFile::Parameters{after, end, prefix});
      for (const QoFile::Ptr& file : page) {
        struct stat status {};
        if (NameSpelling::lstatAsSpelled(root, file->path(), status) != 0) {
          if (isGone(errno)) batch.push_back(file->path());
        } else if (recursive && file->type() == 1 && !S_ISDIR(status.st_mode)) {
          // A folder replaced by something else: what was recorded below it is gone.
          folders.push_back(file->path());
        }
        if (batch.size() >= batchPaths) record();
      }
      if (page.size() < kRecordPage) break;
      after = page.back()->path();
    }
    record();
  }
  return changed;
}

}  // namespace velbor
