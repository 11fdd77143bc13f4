// The classifier: each changed path is compared between disk and database and the
// difference recorded. Files are read and hashed before the "transaction" locker is taken, so
// a large file never holds up the pulls; inside the transaction each item is checked to be
// still what was read, or it waits for the next tick.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/daemon/monitor/Monitor.h"
#include "core/daemon/monitor/RecordedSpellings.h"
#include "core/entity/FileTimes.h"
#include "core/entity/LocalLooks.h"
#include "core/entity/ModeKeeping.h"
#include "core/entity/NameSpelling.h"
#include "core/entity/OwnInstalls.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/RecordedStates.h"
#include "core/entity/StampClock.h"
#include "core/state/DataSource.h"
#include "core/state/Lockers.h"
#include "core/state/QoNotices.h"
#include "core/state/SyncFileProcessBox.h"
#include "core/state/SyncdirPresence.h"
#include "core/utils/QoUtils.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/Exception.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "platform/Utf8.h"

namespace velbor {
namespace {

// What identifies the state of an item on disk: a change to any of these since it was read
// means it must be read again.
struct DiskState {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  mode_t mode = 0;
  off_t size = 0;
  timespec mtime{};
  timespec ctime{};   // not compared: the modification time and size tell a change of content
  nlink_t links = 0;  // not compared either

  OwnInstalls::State own() const { return OwnInstalls::State{device, inode, size, mode, mtime, ctime}; }
  // None when nothing is there. Read between `readStart` and `readEnd`.
  std::optional<LinkedFiles::State> linkState(std::chrono::system_clock::time_point readStart,
                                              std::chrono::system_clock::time_point readEnd) const {
    if (!exists) return std::nullopt;
    LinkedFiles::State state{device, inode, links, mode, size, mtime, ctime};
    state.racy = StampClock::changedLately(ctime, readStart, readEnd);
    return state;
  }

  bool operator==(const DiskState& other) const {
    return exists == other.exists && device == other.device && inode == other.inode && mode == other.mode &&
           size == other.size && mtime.tv_sec == other.mtime.tv_sec && mtime.tv_nsec == other.mtime.tv_nsec;
  }
};

// Whether a folder between `root` and `path` is a symbolic link: what lies beyond it is
// outside the copy, however the path reads.
bool reachedThroughLink(const std::string& root, const std::string& path) {
  if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/') {
    return false;
  }
  for (size_t slash = path.find('/', root.size() + 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    struct stat status {};
    if (::lstat(path.substr(0, slash).c_str(), &status) == 0 && S_ISLNK(status.st_mode)) return true;
  }
  return false;
}

// The state at `path` in the copy at `root`; nullopt when it cannot be read (which is not the
// same as absent). A link, and anything reached through one, is absent from the copy, and so
// is a path that a disk ignoring letter case answers for but lists in another spelling.
std::optional<DiskState> diskStateOf(const std::string& root, const std::string& path) {
  struct stat status {};
  if (NameSpelling::lstatAsSpelled(root, path, status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return DiskState{};
    return std::nullopt;
  }
  if (S_ISLNK(status.st_mode) || reachedThroughLink(root, path)) return DiskState{};
  return DiskState{true,           status.st_dev,  status.st_ino,  status.st_mode,
                   status.st_size, status.st_mtim, status.st_ctim, status.st_nlink};
}

// The file on disk has the size and the time, to the millisecond the record keeps, of its
// present record.
bool timeAndSizeAsRecorded(const QoFile& disk, const DiskState& state, const QoFile::Ptr& stored) {
  return stored && stored->status() == 0 && stored->type() == 0 &&
         isRecordedModificationTime(state.mtime, stored->contentModTime()) && disk.length() == stored->length();
}

// Whether the content of the file on disk may differ from its record: its size or time
// differ, or what the disk tells beyond them (change time, inode, nanoseconds) moved since
// the record was made.
bool contentMayDiffer(const std::string& path, const QoFile& disk, const DiskState& state, const QoFile::Ptr& stored) {
  return !timeAndSizeAsRecorded(disk, state, stored) || RecordedStates::shared().mayDiffer(path, state.own());
}

// The stored records at or below `stored` that are still present.
QoFile::List presentAtOrBelow(const QoFile::Ptr& stored) {
  QoFile::List present;
  for (auto& file : stored->type() == 1 ? stored->getSubFiles() : QoFile::List{stored}) {
    if (file->status() == 0) present.push_back(std::move(file));
  }
  return present;
}

// Has the kernel forget what it keeps of the file's content, so that it is read from the disk:
// exfat-fuse gives each spelling of a name its own inode, and a write through one spelling
// leaves what is kept for another the old bytes (under the new size and time).
void dropKeptContent(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

// The entries of a folder, not entered through a link; none when it cannot be listed.
std::vector<std::string> entriesOf(const std::string& folder) {
  std::vector<std::string> entries;
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    QoLog("*** Get subfile failed from path({}), {}", folder, std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return entries;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!isValidUtf8(name)) {
      QoLog("* File({}/{}) name is not UTF-8, skipped.", folder, name);
      continue;
    }
    entries.push_back(folder + "/" + name);
  }
  ::closedir(dir);
  return entries;
}

// Whether the item at `path` (`disk` as read, in `state`) is evidently no change of the
// records: gone before it was looked at with nothing (or a file recorded removed) in the
// records, a file as recorded, or a recorded folder whose times alone moved (its entries are
// recorded themselves; a probe of its disk gives it back its times).
bool isNoChange(const std::string& path, const QoFile::Ptr& disk, const DiskState& state, const QoFile::Ptr& stored) {
  if (!disk) {
    if (!stored) QoLog("File({}) neither in db nor in fs??", path);
    return !stored || (stored->status() == 1 && stored->type() == 0);
  }
  if (!stored || stored->type() != disk->type()) return false;
  if (disk->type() == 0 && contentMayDiffer(path, *disk, state, stored)) return false;
  disk->keepModeOf(*stored);
  return (QoFile::compareFileBetweenFileSystem(disk, stored) & (8 | 16 | 32)) == 0;
}

}  // namespace

bool Monitor::copyRootPresent(const CopyPtr& copy) {
  struct stat status {};
  // Another folder in its place (an empty mount point) is as good as missing.
  if (::stat(copy->path().c_str(), &status) == 0 && S_ISDIR(status.st_mode))
    return SyncdirPresence::shared().check(copy);
  // Moved away, unmounted or deleted whole: nothing in it is told to the peers as removed.
  QoLog("*** syncdir({}) url is nil, maybe the directory is deleted", copy->path());
  return false;
}

// One path of a batch as read from disk before the transaction.
struct Monitor::Prepared {
  std::string path;
  bool fromWalk = false;  // found inside a new folder, not reported by an event
  DiskState state;
  QoFile::Ptr disk;  // null when nothing is there
  bool hashed = false;
  bool racy = false;       // changed right before it was hashed (RecordedStates)
  bool noteState = false;  // its record describes `state`, once committed
};

void Monitor::handleFileSystemChange() {
  releaseParked(false);
  // Paths an install found changed with no event of the change: looked at as if one had come.
  if (std::vector<std::string> asked = LocalLooks::shared().take(); !asked.empty()) {
    std::vector<FileEventStream::Event> events;
    for (std::string& path : asked) events.push_back(FileEventStream::Event{std::move(path), 0, 0});
    std::vector<CopyPtr> rootsChanged;
    filterEvents(events, rootsChanged);
  }
  compareLinkedFiles();
  // A copy found missing that is back (its disk mounted again) is watched, compared and pulled.
  for (const CopyPtr& copy : SyncdirPresence::shared().recheck(syncdirCopys())) addSyncdirCopy(copy, true);
  for (const CopyPtr& copy : syncdirCopys()) {
    std::vector<std::string> paths;
    {
      LockerGuard lock(Lockers::monitor());
      const std::set<std::string>& changes = copy->getPathsChangeSet();
      paths.assign(changes.begin(), changes.end());
      copy->deleteAllObjectInPathsChangeSet();
      for (std::string& path : copy->getBigFilesUnchanged()) paths.push_back(std::move(path));
    }
    bool changed = recordInBatches(paths, copy);
    changed = rescanFolders(copy) || changed;
    if (changed) QoNotices::post(notice::FileChanged{copy});
  }
  rescanRequested();
  searchLinkNames();
}

bool Monitor::recordInBatches(std::vector<std::string>& paths, const CopyPtr& copy, bool wholeCopy) {
  std::sort(paths.begin(), paths.end(), QoUtils::NSStringSortComparator());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  size_t batch = 0;
  {
    LockerGuard lock(Lockers::monitor());
    batch = bounds_.batchPaths;
  }
  // One transaction per batch: what is read and held for recording stays within a batch.
  bool changed = false;
  for (size_t begin = 0; begin < paths.size() && !stopping_.stop_requested(); begin += batch) {
    const auto first = paths.begin() + static_cast<std::ptrdiff_t>(begin);
    const std::vector<std::string> part(first,
                                        first + static_cast<std::ptrdiff_t>(std::min(batch, paths.size() - begin)));
    changed = recordBatch(part, copy, wholeCopy) || changed;
  }
  paths.clear();
  return changed;
}

void Monitor::rescanRequested() {
  std::vector<std::pair<CopyPtr, std::set<std::string>>> copies;
  {
    LockerGuard lock(Lockers::monitor());
    for (const CopyPtr& copy : syncdirCopys_) {
      std::set<std::string> folders;
      if (rescans_.erase(copy->uuid()) != 0) {
        folders.insert(copy->path());
        subtreeRescans_.erase(copy->uuid());
      } else if (const auto found = subtreeRescans_.find(copy->uuid()); found != subtreeRescans_.end()) {
        folders.swap(found->second);
        subtreeRescans_.erase(found);
      }
      if (!folders.empty()) copies.emplace_back(copy, std::move(folders));
    }
  }
  const auto failedBatches = [this] {
    LockerGuard lock(Lockers::monitor());
    return failedBatches_;
  };
  for (const auto& [copy, folders] : copies) {
    bool changed = false;
    for (const std::string& folder : folders) {
      QoLog("Monitor scan({})", folder);
      const size_t failedBefore = failedBatches();
      changed = rescanFolder(copy, folder, true) || changed;
      if (failedBatches() != failedBefore) parkSubtree(copy, folder);
    }
    if (changed) QoNotices::post(notice::FileChanged{copy});
  }
}

std::vector<Monitor::Prepared> Monitor::prepare(const std::vector<std::string>& paths, const CopyPtr& copy,
                                                bool wholeCopy) {
  std::vector<Prepared> items;
  size_t budget = 0;
  {
    LockerGuard lock(Lockers::monitor());
    budget = bounds_.batchPaths;
  }
  std::vector<std::string> queue(paths.begin(), paths.end());
  std::set<std::string> walked(paths.begin(), paths.end());
  std::set<std::string> lookedAbove;
  RecordedSpellings spellings(copy->path());
  // Quitting: what is read so far is whole; the rest is found by the next start's rescan.
  for (size_t index = 0; index < queue.size() && !stopping_.stop_requested(); ++index) {
    const std::string path = queue[index];
    const bool fromWalk = index >= paths.size();
    const auto stateRead = std::chrono::system_clock::now();
    const std::optional<DiskState> state = diskStateOf(copy->path(), path);
    if (!state) {
      // Unreadable is not gone: nothing is recorded until it can be read.
      QoLog("*** Read file({}) failed, {}", path, std::strerror(errno));
      continue;
    }
    // The other names of a file with several are compared with it, each once in the batch:
    // no event tells of a change made through this name.
    for (std::string& other :
         followLinks(copy, path, state->linkState(stateRead, std::chrono::system_clock::now()), wholeCopy)) {
      if (walked.insert(other).second) queue.push_back(std::move(other));
    }
    // A pull's own install, untouched since: it was recorded with it.
    if (state->exists && OwnInstalls::shared().matches(path, state->own())) continue;
    Prepared item{path, fromWalk, *state, nullptr, false};
    if (state->exists) {
      item.disk = QoFile::initWithPath(path);
      if (!item.disk || item.disk->type() == 3) continue;
    }
    const QoFile::Ptr stored = QoFile::getFileWithPath(path);
    // Removed through another spelling of its name on a disk that ignores letter case: the
    // event names the spelling used, and the one recorded is looked at too, as its folder
    // lists it.
    if (!state->exists && (!stored || stored->status() != 0)) {
      for (std::string& other : spellings.of(path)) {
        NameSpelling::doubt(path.substr(0, path.rfind('/')));
        if (walked.insert(other).second) queue.push_back(std::move(other));
      }
    }
    // Gone while recorded present: its folder may be gone too with no event of its own (a look
    // asked for the file, or the folder removed through another spelling of its name).
    if (!state->exists && stored && stored->status() == 0) {
      const std::string folder = path.substr(0, path.rfind('/'));
      if (folder.size() > copy->path().size() && lookedAbove.insert(folder).second && !walked.count(folder)) {
        const std::optional<DiskState> folderState = diskStateOf(copy->path(), folder);
        if (folderState && !folderState->exists && walked.insert(folder).second) queue.push_back(folder);
      }
    }
    // Nothing to record: not counted, so no notice tells of a change that is none.
    if (isNoChange(path, item.disk, item.state, stored)) continue;
    if (item.disk && item.disk->type() == 0 && contentMayDiffer(path, *item.disk, item.state, stored)) {
      if (spellings.ignoreCase()) dropKeptContent(path);
      const auto readStart = std::chrono::system_clock::now();
      const auto sha1 = QoUtils::getSha1StringWithPath(path, stopping_.get_token());
      if (stopping_.stop_requested()) break;
      const std::optional<DiskState> after = diskStateOf(copy->path(), path);
      if (!sha1 || !after || !(*after == item.state)) {
        // Written to while it was read: it waits until it stops changing.
        LockerGuard lock(Lockers::monitor());
        copy->addBigFileWithPath(path);
        continue;
      }
      item.disk->setSha1(*sha1);
      item.hashed = true;
      item.racy = StampClock::changedLately(item.state.ctime, readStart, readStart);
    }
    // A folder new to the records: what is inside it may have had no event of its own (it
    // was moved in whole, or filled before its watch was in place).
    const bool newFolder =
        item.disk && item.disk->type() == 1 && (!stored || stored->status() == 1 || stored->type() != 1);
    items.push_back(std::move(item));
    if (!newFolder) continue;
    if (queue.size() >= budget) {
      // The batch is full: the folder's entries are compared on their own later.
      LockerGuard lock(Lockers::monitor());
      noteFolderRescan(copy, path);
      continue;
    }
    // One level at a time: a new folder found below is listed in its turn.
    for (const std::string& below : entriesOf(path)) {
      if (QoFile::matchIgnoreFilter(below)) {
        QoLog("Change Ignore, {}", below);
      } else if (walked.insert(below).second) {
        queue.push_back(below);
      }
    }
  }
  // A folder before what is inside it.
  const auto byPath = QoUtils::NSStringSortComparator();
  std::sort(items.begin(), items.end(), [&](const Prepared& a, const Prepared& b) { return byPath(a.path, b.path); });
  return items;
}

void Monitor::handlePaths(const std::vector<std::string>& paths, const CopyPtr& copy) {
  if (recordBatch(paths, copy)) QoNotices::post(notice::FileChanged{copy});
}

bool Monitor::recordBatch(const std::vector<std::string>& paths, const CopyPtr& copy, bool wholeCopy) {
  if (!copyRootPresent(copy)) return false;
  // The modes read below mean something only where the disk keeps them.
  ModeKeeping::shared().learnAt(copy->path());
  // Names are taken as the folders list them now, not as a listing kept from before the
  // changes of this batch: a rename in letter case only must not read as two names there.
  NameSpelling::forget();
  std::vector<Prepared> items = prepare(paths, copy, wholeCopy);
  bool changed = false;
  {
    // The locker also covers what a failed batch does after its rollback.
    WriteTransaction transaction(WriteTransaction::beginLater);
    SyncFileProcessBox::sendSyncFileIndexBegin(copy, static_cast<int64_t>(items.size()));
    try {
      transaction.begin();
      NameSpelling::forget();
      for (Prepared& item : items) {
        SyncFileProcessBox::sendSyncFileIndexing(copy, item.path);
        if (!record(copy->path(), item, changed)) putBack(copy, item.path);
      }
      transaction.commit();
      for (const Prepared& item : items) {
        if (item.noteState) RecordedStates::shared().note(item.path, item.state.own(), item.racy);
      }
      batchSucceeded(paths, changed);
    } catch (const Exception& e) {
      transaction.rollback();
      QoLog("{}: {}", e.name(), e.reason());
      changed = false;
      batchFailed(copy, paths);
    } catch (const std::exception& e) {
      transaction.rollback();
      QoLog("{}", e.what());
      changed = false;
      batchFailed(copy, paths);
    }
    SyncFileProcessBox::sendSyncFileIndexEnd(copy);
  }
  return changed;
}

bool Monitor::record(const std::string& root, Prepared& item, bool& changed) {
  const std::string& path = item.path;
  // Changed since it was read: read again on the next tick.
  const std::optional<DiskState> now = diskStateOf(root, path);
  if (!now || !(*now == item.state)) return false;
  const QoFile::Ptr& disk = item.disk;
  const QoFile::Ptr stored = QoFile::getFileWithPath(path);
  if (disk && stored) disk->keepModeOf(*stored);
  const int mask = QoFile::compareFileBetweenFileSystem(disk, stored);
  if (!disk && !stored) {
    QoLog("File({}) neither in db nor in fs??", path);
    return true;
  }
  if (mask & 128) {
    // Records already marked removed stay as they are: marking them again would send the
    // removal back to the device it came from.
    const QoFile::List present = presentAtOrBelow(stored);
    if (present.empty()) {
      QoLog("toNone {} N-N", path);
      return true;
    }
    QoLog("toDelete {} N-E", path);
    for (const QoFile::Ptr& file : present) file->deleteRelation();
    changed = true;
    return true;
  }
  const bool isFile = disk->type() == 0;
  if (mask & 1) {
    if (isFile && !item.hashed) return false;
    if (item.fromWalk) {
      QoLog("toInsert-r {} E-N", path);
    } else {
      QoLog("toInsert {} E-N", path);
    }
    disk->setWinAttr(QoFile::kAbsentAttribute);
    disk->setAndroidAttr(QoFile::kAbsentAttribute);
    disk->insertRelationUpdateSha1(false);
    noteRecorded(item);
    changed = true;
    return true;
  }
  bool contentChanged = false;
  if (isFile && contentMayDiffer(path, *disk, item.state, stored)) {
    if (!item.hashed) return false;
    // Read again only because the disk told of a change: the content decides.
    contentChanged = !timeAndSizeAsRecorded(*disk, item.state, stored) || disk->sha1() != stored->sha1();
  }
  // A folder's time moves whenever an entry is added or removed; those entries are recorded
  // themselves, so the time alone is no change of the folder.
  if (!contentChanged && (mask & (8 | 16 | 32)) == 0) {
    QoLog("toNone {} N-N", path);
    noteRecorded(item);
    return true;
  }
  if (stored->type() == 1 && disk->type() != 1) {
    // A folder replaced by a file: what was recorded below the folder is gone.
    for (const QoFile::Ptr& file : presentAtOrBelow(stored)) {
      if (file->path() != path) file->deleteRelation();
    }
  }
  disk->setPkPublic(stored->pk());
  disk->setWinAttr(stored->winAttr());
  disk->setAndroidAttr(stored->androidAttr());
  if (contentChanged) {
    QoLog("toUpdate {} E-E-SHA1", path);
  } else {
    QoLog("toUpdate {} E-E", path);
    disk->setSha1(stored->sha1());
  }
  disk->updateRelationUpdateSha1(false);
  noteRecorded(item);
  changed = true;
  return true;
}

void Monitor::noteRecorded(Prepared& item) {
  // Only what was read: the state of a file not hashed vouches for no content.
  item.noteState = item.hashed;
}

// Paths put back count against the bound like any change: a failing comparison of a whole
// copy must not make the change set hold all of its paths.
void Monitor::putBack(const CopyPtr& copy, const std::string& path) {
  LockerGuard lock(Lockers::monitor());
  noteChange(copy, path);
}

// A batch fails as a whole, mostly because the database takes no writes (a full disk): its
// paths are tried again on the next ticks, then wait, so that a failing database does not
// cost a reading of every changed file each tick, and are never given up.
void Monitor::batchFailed(const CopyPtr& copy, const std::vector<std::string>& paths) {
  LockerGuard lock(Lockers::monitor());
  ++failedBatches_;
  size_t parked = 0;
  for (const std::string& path : paths) {
    int& attempts = attempts_[path];
    if (++attempts < kMaxBatchAttempts) {
      noteChange(copy, path);
      continue;
    }
    attempts_.erase(path);
    park(copy, path);
    ++parked;
  }
  if (parked == 0) return;
  delayRetry();
  QoLog("*** Monitor could not record {} changes in ({}) after {} attempts, trying again in {} s", parked, copy->path(),
        kMaxBatchAttempts, retryDelay_.count());
}

void Monitor::batchSucceeded(const std::vector<std::string>& paths, bool wrote) {
  {
    LockerGuard lock(Lockers::monitor());
    for (const std::string& path : paths) attempts_.erase(path);
    if (!wrote) return;
    retryDelay_ = std::chrono::seconds(0);
  }
  releaseParked(true);
}

void Monitor::delayRetry() {
  retryDelay_ = retryDelay_.count() == 0 ? kFirstRetryDelay : std::min(retryDelay_ * 2, kLongestRetryDelay);
  retryAt_ = std::chrono::steady_clock::now() + retryDelay_;
}

void Monitor::park(const CopyPtr& copy, const std::string& path) {
  Parked& parked = parked_[copy->uuid()];
  if (parked.wholeCopy) return;
  if (parked.paths.size() < bounds_.changedPaths || parked.paths.count(path) != 0) {
    parked.paths.insert(path);
    return;
  }
  parked.paths.clear();
  parked.wholeCopy = true;
}

void Monitor::parkSubtree(const CopyPtr& copy, const std::string& folder) {
  LockerGuard lock(Lockers::monitor());
  Parked& parked = parked_[copy->uuid()];
  if (folder == copy->path() ||
      (parked.subtrees.size() >= bounds_.rescanFolders && parked.subtrees.count(folder) == 0)) {
    parked.wholeCopy = true;
    parked.paths.clear();
    parked.subtrees.clear();
  } else if (!parked.wholeCopy) {
    parked.subtrees.insert(folder);
  }
  // Not compared again on every tick while the database refuses.
  if (std::chrono::steady_clock::now() >= retryAt_) delayRetry();
}

void Monitor::releaseParked(bool now) {
  LockerGuard lock(Lockers::monitor());
  if (parked_.empty() || (!now && std::chrono::steady_clock::now() < retryAt_)) return;
  for (const CopyPtr& copy : syncdirCopys_) {
    const auto found = parked_.find(copy->uuid());
    if (found == parked_.end()) continue;
    if (found->second.wholeCopy) {
      folderRescans_.erase(copy->uuid());
      rescans_.insert(copy->uuid());
    }
    for (const std::string& path : found->second.paths) noteChange(copy, path);
    for (const std::string& folder : found->second.subtrees) noteSubtreeRescan(copy, folder);
  }
  // A copy no longer listed takes its paths with it.
  parked_.clear();
}

}  // namespace velbor
