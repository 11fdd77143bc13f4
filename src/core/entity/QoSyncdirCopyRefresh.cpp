// Rescanning a local copy: the sorted listing of its folder and its sorted records are
// walked side by side, and every difference becomes a delete, an insert or an update.
// A folder that cannot be read never looks like a deletion: a missing or unreadable root
// changes nothing, and records below a folder that could not be listed are left alone.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>

#include "core/entity/CopyEvents.h"
#include "core/entity/EntitySettings.h"
#include "core/entity/FileTimes.h"
#include "core/entity/ModeKeeping.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/RescanWriter.h"
#include "core/entity/SyncdirMark.h"
#include "platform/Exception.h"
#include "platform/QoLog.h"
#include "platform/Utf8.h"

namespace velbor {
namespace {

// Guards the test-and-set of a copy's rescanning flag across threads.
std::mutex gRefreshingMutex;
// Copies (by uuid) being rescanned: several objects may stand for one copy.
std::set<std::string>& gRefreshingCopies = *new std::set<std::string>();

struct Listing {
  std::vector<std::string> paths;
  // Folders whose entries could not all be read.
  std::vector<std::string> unlisted;
  // Ended before the whole tree was read.
  bool stopped = false;
};

// Every entry below `root` (the root itself not included). Links are listed, never entered;
// hidden entries are skipped unless they are synchronised.
Listing listTree(const std::string& root, bool syncHiddenFile, const std::stop_token& stop) {
  Listing listing;
  std::vector<std::string> pending{root};
  while (!pending.empty()) {
    if (stop.stop_requested()) {
      listing.stopped = true;
      return listing;
    }
    const std::string folder = std::move(pending.back());
    pending.pop_back();
    // The root may be a link the user chose; folders below it are opened without following one.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (folder == root ? 0 : O_NOFOLLOW));
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (dir == nullptr) {
      QoLog("*** List folder({}) failed, {}", folder, std::strerror(errno));
      if (fd >= 0) ::close(fd);
      listing.unlisted.push_back(folder);
      continue;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      errno = 0;
      if (name == "." || name == "..") continue;
      if (!syncHiddenFile && name.front() == '.') continue;
      const std::string path = folder + "/" + name;
      if (!isValidUtf8(name)) {
        QoLog("* File({}) name is not UTF-8, skipped.", path);
        continue;
      }
      listing.paths.push_back(path);
      bool isFolder = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat status {};
        isFolder = ::fstatat(::dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode);
      }
      if (isFolder) pending.push_back(path);
      errno = 0;
    }
    if (errno != 0) {
      QoLog("*** List folder({}) failed, {}", folder, std::strerror(errno));
      listing.unlisted.push_back(folder);
    }
    ::closedir(dir);
  }
  return listing;
}

bool isAtOrBelow(const std::string& path, const std::string& folder) {
  return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

// The record of a listed path; null when it cannot be read. An entry that vanished since the
// listing is simply absent; any other failure protects the path from being marked removed.
QoFile::Ptr listedRecord(const std::string& path, std::vector<std::string>& unreadable) {
  QoFile::Ptr file = QoFile::initWithPath(path);
  if (file) return file;
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0 || errno != ENOENT) {
    QoLog("*** Read file({}) failed, {}", path, std::strerror(errno));
    unreadable.push_back(path);
  }
  return nullptr;
}

// The listed item's modification time is the record's (FileTimes.h); asked of the disk again
// only in the rare case that the milliseconds alone do not tell.
bool hasRecordedTime(const QoFile& listed, const QoFile& stored) {
  if (listed.contentModTime() == stored.contentModTime()) return true;
  if (listed.contentModTime() % 1000 != 0) return false;
  struct stat status {};
  return ::lstat(listed.path().c_str(), &status) == 0 &&
         isRecordedModificationTime(status.st_mtim, stored.contentModTime());
}

bool differs(const QoFile& listed, const QoFile& stored) {
  return listed.type() != stored.type() || stored.status() == 1 || !hasRecordedTime(listed, stored) ||
         listed.unixAttr() != stored.unixAttr() || listed.length() != stored.length();
}

}  // namespace

bool QoSyncdirCopy::refresh(const std::stop_token& stop, const std::function<void(const std::string&)>& linked) {
  {
    std::lock_guard<std::mutex> guard(gRefreshingMutex);
    if (isRefreshing() || !gRefreshingCopies.insert(uuid_).second) {
      // The rescan running answers for it.
      QoLog("Syncdir Copy({}) is refresh", path_);
      return true;
    }
    setRefreshing(true);
  }
  const Ptr copy = self();
  QoLog("Syncdir Copy({}) begin refreshing", path_);
  CopyEvents::installed()->indexPrepare(copy);
  bool complete = false;
  try {
    struct stat rootStatus {};
    Listing listing;
    if (::stat(path_.c_str(), &rootStatus) == 0 && S_ISDIR(rootStatus.st_mode)) {
      listing = listTree(path_, EntitySettings::installed().syncHiddenFile(), stop);
    }
    const bool rootUnreadable =
        !S_ISDIR(rootStatus.st_mode) || !SyncdirMark::inPlace(*this) ||
        std::find(listing.unlisted.begin(), listing.unlisted.end(), path_) != listing.unlisted.end();
    if (listing.stopped) {
      // Half a listing would make everything not reached look removed.
      QoLog("Syncdir Copy({}) refresh stopped, compared at its next rescan", path_);
    } else if (rootUnreadable) {
      // Watched again, and compared, once it is back.
      QoLog("*** syncdir({}) url is nil, maybe the directory is deleted", path_);
      complete = true;
    } else {
      // The modes read below mean something only where the disk keeps them.
      ModeKeeping::shared().learnAt(path_);
      std::vector<std::string>& paths = listing.paths;
      std::sort(paths.begin(), paths.end());
      RelationList records;
      for (auto& record : getAllFileRelations()) {
        if (record->file()) {
          records.push_back(std::move(record));
        } else {
          QoLog("*** FileRelation({})'s file is nil?!!!", record->pk());
        }
      }
      std::sort(records.begin(), records.end(),
                [](const auto& a, const auto& b) { return a->file()->path() < b->file()->path(); });

      // Entries that were listed but could not be read: kept with everything below them.
      std::vector<std::string> unreadable;
      const auto isKept = [&](const std::string& path) {
        for (const std::string& folder : listing.unlisted) {
          if (path.size() > folder.size() && isAtOrBelow(path, folder)) return true;
        }
        for (const std::string& entry : unreadable) {
          if (isAtOrBelow(path, entry)) return true;
        }
        return false;
      };
      FileList toDelete;
      FileList toInsert;
      FileList toUpdate;
      const auto removeUnlessKept = [&](const std::shared_ptr<QoFile>& stored) {
        if (stored->status() == 1 || isKept(stored->path())) return;
        // The listing is older than the records: an item installed since (a fetched change)
        // is on disk again and must not travel to the peers as removed.
        if (RescanWriter::mayStandOnDisk(path_, stored->path())) return;
        toDelete.push_back(stored);
      };

      const auto noteLinked = [&](const QoFile::Ptr& file) {
        if (linked && file && file->type() == 0 && file->linkCount() > 1) linked(file->path());
      };
      size_t nextPath = 0;
      size_t nextRecord = 0;
      QoFile::Ptr listed;
      const auto advancePath = [&] {
        ++nextPath;
        listed.reset();
      };
      while (nextPath < paths.size() && nextRecord < records.size()) {
        const std::string& path = paths[nextPath];
        if (QoFile::matchIgnoreFilter(path)) {
          QoLog("Change Ignore in refresh, {},", path);
          advancePath();
          continue;
        }
        if (!listed) {
          listed = listedRecord(path, unreadable);
          noteLinked(listed);
        }
        if (!listed || listed->type() == 3) {
          advancePath();
          continue;
        }
        const std::shared_ptr<QoFile>& stored = records[nextRecord]->file();
        const int order = path.compare(stored->path());
        if (order < 0) {
          toInsert.push_back(listed);
          advancePath();
        } else if (order > 0) {
          removeUnlessKept(stored);
          ++nextRecord;
        } else {
          listed->keepModeOf(*stored);
          if (differs(*listed, *stored)) {
            listed->setWinAttr(stored->winAttr());
            listed->setAndroidAttr(stored->androidAttr());
            listed->setPkPublic(stored->pk());
            toUpdate.push_back(listed);
          }
          advancePath();
          ++nextRecord;
        }
      }
      for (; nextPath < paths.size(); ++nextPath) {
        const std::string& path = paths[nextPath];
        if (QoFile::matchIgnoreFilter(path)) {
          QoLog("Change Ignore in refresh, {},", path);
          continue;
        }
        if (!listed) {
          listed = listedRecord(path, unreadable);
          noteLinked(listed);
        }
        if (listed && listed->type() != 3) toInsert.push_back(listed);
        listed.reset();
      }
      for (; nextRecord < records.size(); ++nextRecord) removeUnlessKept(records[nextRecord]->file());

      CopyEvents::installed()->indexBegin(copy,
                                          static_cast<int64_t>(toDelete.size() + toInsert.size() + toUpdate.size()));
      // In chunks that each stand alone: one that fails has logged and rolled back, the next
      // still runs, and files are hashed while the "transaction" locker is free.
      RescanWriter writer(copy, stop);
      bool changed = writer.deleteFiles(toDelete);
      changed = writer.insertFiles(toInsert) || changed;
      changed = writer.updateFiles(toUpdate) || changed;
      if (changed) CopyEvents::installed()->fileChanged(copy);
      complete = !writer.failed() && !stop.stop_requested();
    }
  } catch (const Exception& e) {
    QoLog("*** Syncdir Copy({}) refresh failed, {}: {}", path_, e.name(), e.reason());
  } catch (const std::exception& e) {
    QoLog("*** Syncdir Copy({}) refresh failed, {}: {}", path_, "std::exception", e.what());
  }
  {
    std::lock_guard<std::mutex> guard(gRefreshingMutex);
    gRefreshingCopies.erase(uuid_);
    setRefreshing(false);
  }
  CopyEvents::installed()->indexEnd(copy);
  return complete;
}

}  // namespace velbor
