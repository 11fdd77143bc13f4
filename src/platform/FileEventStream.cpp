#include "platform/FileEventStream.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/Dispatch.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

constexpr uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                 IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// The kind of item at `path`, as event flags; a file when it is gone.
uint32_t itemFlags(const std::string& path, bool isDir) {
  if (isDir) return FileEventStream::kItemIsDir;
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) return FileEventStream::kItemIsDir;
    if (S_ISLNK(status.st_mode)) return FileEventStream::kItemIsSymlink;
  }
  return FileEventStream::kItemIsFile;
}

// Whether the event is of a file made with no name (O_TMPFILE: a probe of this program, or a
// temporary file of another one), which the kernel reports under "#<inode>". Such a file is
// not in the folder: its events tell nothing of it. Given a name later, it is reported as
// created under that name; an entry truly named so is found by its name.
bool isOfNamelessFile(const std::string& path, const std::string& name, uint32_t mask) {
  if (name.size() < 2 || name[0] != '#' || name.find_first_not_of("0123456789", 1) != std::string::npos) return false;
  if (mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ISDIR)) return false;
  struct stat status {};
  return ::lstat(path.c_str(), &status) != 0 && errno == ENOENT;
}

}  // namespace

size_t FileEventStream::systemWatchBound() {
  // The limit of older kernels, when it cannot be read.
  size_t maxUserWatches = 8192;
  if (FILE* file = std::fopen("/proc/sys/fs/inotify/max_user_watches", "re")) {
    unsigned long value = 0;
    if (std::fscanf(file, "%lu", &value) == 1) maxUserWatches = value;
    std::fclose(file);
  }
  return watchBoundFor(maxUserWatches);
}

FileEventStream::FileEventStream(std::vector<std::string> roots, Options options, Callback callback)
    : roots_(std::move(roots)),
      options_(std::move(options)),
      callback_(std::move(callback)),
      queue_(DispatchQueue::createSerial(options_.label)) {}

FileEventStream::~FileEventStream() { stop(); }

bool FileEventStream::start() {
  bool started = false;
  queue_->sync([&] {
    if (stopped_ || fd_ >= 0) return;
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
      QoLog("*** File event stream: inotify_init1 failed, {}", std::strerror(errno));
      return;
    }
    for (const std::string& root : roots_) watchRoot(root);
    reader_ = DispatchSource::makeReadSource(fd_, queue_);
    reader_->setEventHandler([this] { readEvents(); });
    reader_->resume();
    mounts_ = std::make_unique<MountTableWatch>();
    if (mounts_->watching()) {
      mountSource_ = DispatchSource::makeReadSource(mounts_->fd(), queue_);
      mountSource_->setEventHandler([this] {
        mounts_->clear();
        checkRoots();
      });
      mountSource_->resume();
    }
    if (unwatched_) startRescanTimer();
    started = true;
  });
  return started;
}

void FileEventStream::stop() {
  queue_->sync([&] {
    if (stopped_) return;
    stopped_ = true;
    for (auto* source : {&reader_, &flushTimer_, &rescanTimer_, &rootTimer_, &mountSource_}) {
      if (*source) (*source)->cancel();
      source->reset();
    }
    // Its thread never waits for this queue.
    mounts_.reset();
    // The reader watched a duplicate of the descriptor: this one is ours to close.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
    pendingIndex_.clear();
  });
}

void FileEventStream::deliverPending() {
  queue_->sync([&] {
    if (stopped_ || fd_ < 0) return;
    readEvents();
    flush();
  });
}

size_t FileEventStream::watchCount() {
  size_t count = 0;
  queue_->sync([&] { count = watches_.size(); });
  return count;
}

void FileEventStream::readEvents() {
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t length = ::read(fd_, buffer, sizeof(buffer));
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) {
      if (length < 0 && errno != EAGAIN) QoLog("*** File event stream: read failed, {}", std::strerror(errno));
      break;
    }
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      handle(event->wd, event->mask, event->cookie, event->len > 0 ? std::string(event->name) : std::string());
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  // A folder that arrived where another stood (the two were exchanged: each move's watches were
  // taken for the other's) has its watches set right and what it holds reported, as has one
  // that had no watch to take along (moved or exchanged before its creation was read).
  const bool exchanged =
      std::any_of(arrivedFolders_.begin(), arrivedFolders_.end(), [](const auto& arrived) { return arrived.second; });
  for (const auto& arrived : arrivedFolders_) {
    if (exchanged || !watches_.isWatched(arrived.first)) watchTree(arrived.first, true);
  }
  arrivedFolders_.clear();
  // A folder moved away whose arrival was not among the events read has left the roots.
  for (const auto& [cookie, path] : movedFolders_) {
    for (const int wd : watches_.takeAtOrBelow(path)) ::inotify_rm_watch(fd_, wd);
  }
  movedFolders_.clear();
  if (!pending_.empty()) scheduleFlush();
}

void FileEventStream::handle(int wd, uint32_t mask, uint32_t cookie, const std::string& name) {
  if (mask & IN_Q_OVERFLOW) {
    handleOverflow();
    return;
  }
  const auto folder = watches_.pathOf(wd);
  if (!folder) return;
  if (mask & IN_IGNORED) {
    watches_.erase(wd);
    return;
  }
  // Inside a folder moved away to a place not known yet: its new path, if it is still below
  // a root, comes with its arrival, which reports its content.
  if (isInMovedFolder(*folder)) return;
  if (name.empty()) {
    // The folder itself: its parent's watch reports it, except for a root.
    if (!isRoot(*folder)) return;
    // Unmounted: its watch goes with the disk, and the empty mount point is what is left.
    if (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
      rootChanged(*folder);
    } else if (mask & IN_ATTRIB) {
      note(*folder, kItemInodeMetaMod | kItemIsDir);
    }
    return;
  }
  const bool isDir = (mask & IN_ISDIR) != 0;
  if (!isDir && options_.ignoredFileName && options_.ignoredFileName(name)) return;
  const std::string path = *folder + "/" + name;
  if (isOfNamelessFile(path, name, mask)) return;
  uint32_t flags = itemFlags(path, isDir);
  if (mask & IN_CREATE) flags |= kItemCreated;
  if (mask & IN_DELETE) flags |= kItemRemoved;
  if (mask & (IN_MODIFY | IN_CLOSE_WRITE)) flags |= kItemModified;
  if (mask & IN_ATTRIB) flags |= kItemInodeMetaMod;
  if (mask & (IN_MOVED_FROM | IN_MOVED_TO)) flags |= kItemRenamed;

  if (mask & IN_MODIFY) writing_.insert(path);
  if (mask & (IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) writing_.erase(path);

  if (isDir && (mask & IN_MOVED_FROM)) movedFolders_[cookie] = path;
  note(path, flags);
  if (!isDir) return;
  if (mask & IN_MOVED_TO) {
    if (const auto from = movedFolders_.find(cookie); from != movedFolders_.end()) {
      // Moved within the watched folders: the watches go with it, and so does what is not watched.
      bool& stood = arrivedFolders_[path];
      stood = stood || watches_.isWatched(path);
      watches_.rename(from->second, path);
      std::vector<std::string> unwatched;
      for (auto folder = unwatchedFolders_.lower_bound(from->second);
           folder != unwatchedFolders_.end() && folder->starts_with(from->second); ++folder) {
        if (folder->size() == from->second.size() || (*folder)[from->second.size()] == '/')
          unwatched.push_back(*folder);
      }
      for (const std::string& folder : unwatched) {
        unwatchedFolders_.erase(folder);
        unwatchedFolders_.insert(path + folder.substr(from->second.size()));
      }
      movedFolders_.erase(from);
      return;
    }
  }
  if (mask & (IN_CREATE | IN_MOVED_TO)) watchTree(path, true);
}

void FileEventStream::handleOverflow() {
  QoLog("*** File event stream: event queue overflowed, events lost");
  // Folders created meanwhile went unnoticed: watch whatever is not watched yet.
  for (const std::string& root : roots_) watchTree(root, false);
  noteRescanOfRoots(kMustScanSubDirs | kKernelDropped);
  if (unwatched_) startRescanTimer();
}

void FileEventStream::watchTree(const std::string& top, bool reportEntries) {
  std::vector<std::string> folders{top};
  while (!folders.empty()) {
    const std::string folder = std::move(folders.back());
    folders.pop_back();
    if (!addWatch(folder)) continue;
    // Listed after the watch is in place: what appears later has events of its own.
    const bool isTopRoot = isRoot(folder);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (isTopRoot ? 0 : O_NOFOLLOW));
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (dir == nullptr) {
      if (fd >= 0) ::close(fd);
      continue;
    }
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "/" + name;
      bool isDir = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat status {};
        isDir = ::fstatat(::dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode);
      }
      if (reportEntries && (isDir || !options_.ignoredFileName || !options_.ignoredFileName(name))) {
        note(path, kItemCreated | itemFlags(path, isDir));
      }
      if (isDir) folders.push_back(path);
    }
    ::closedir(dir);
  }
}

bool FileEventStream::addWatch(const std::string& folder) {
  const bool limited =
      options_.watchLimit != 0 && watches_.size() >= options_.watchLimit && !watches_.isWatched(folder);
  const uint32_t mask = kFolderMask | (isRoot(folder) ? 0 : IN_DONT_FOLLOW);
  const int wd = limited ? -1 : ::inotify_add_watch(fd_, folder.c_str(), mask);
  if (wd >= 0) {
    watches_.add(wd, folder);
    return true;
  }
  const int error = limited ? ENOSPC : errno;
  if (error == ENOSPC) {
    if (!limitLogged_) {
      limitLogged_ = true;
      QoLog(
          "*** File event stream: watch limit reached with {} folders watched, at ({}); folders beyond it are not "
          "watched, their changes are found by comparing them every {} s",
          watches_.size(), folder, std::chrono::duration_cast<std::chrono::seconds>(options_.rescanInterval).count());
    }
    noteUnwatched(folder);
  } else if (error != ENOENT && error != ENOTDIR) {
    QoLog("*** File event stream: watch ({}) failed, {}", folder, std::strerror(error));
  }
  return false;
}

void FileEventStream::note(const std::string& path, uint32_t flags) {
  if (const auto known = pendingIndex_.find(path); known != pendingIndex_.end()) {
    pending_[known->second].flags |= flags;
    return;
  }
  pendingIndex_.emplace(path, pending_.size());
  pending_.push_back(Pending{path, flags});
}

void FileEventStream::noteRescanOfRoots(uint32_t flags) {
  for (const std::string& root : roots_) note(root, flags | kItemIsDir);
}

void FileEventStream::scheduleFlush() {
  if (flushTimer_ || stopped_) return;
  flushTimer_ = DispatchSource::makeTimer(options_.latency, std::chrono::nanoseconds::zero(), queue_);
  flushTimer_->setEventHandler([this] { flush(); });
  flushTimer_->resume();
}

void FileEventStream::flush() {
  if (flushTimer_) flushTimer_->cancel();
  flushTimer_.reset();
  if (stopped_) return;
  std::vector<Event> events;
  events.reserve(pending_.size());
  for (Pending& pending : pending_) {
    uint32_t flags = pending.flags;
    if (writing_.count(pending.path) != 0) flags |= kItemWriting;
    events.push_back(Event{std::move(pending.path), ++lastId_, flags});
  }
  pending_.clear();
  pendingIndex_.clear();
  if (!events.empty()) callback_(events);
}

void FileEventStream::startRescanTimer() {
  if (rescanTimer_ || stopped_) return;
  rescanTimer_ = DispatchSource::makeTimer(options_.rescanInterval, options_.rescanInterval, queue_);
  rescanTimer_->setEventHandler([this] { rescanUnwatched(); });
  rescanTimer_->resume();
}

void FileEventStream::noteUnwatched(const std::string& folder) {
  unwatched_ = true;
  if (unwatchedFolders_.size() < kMaxUnwatchedFolders) {
    unwatchedFolders_.insert(folder);
  } else {
    unwatchedOverflow_ = true;
  }
  startRescanTimer();
}

void FileEventStream::rescanUnwatched() {
  if (stopped_) return;
  unwatched_ = false;
  std::set<std::string> folders;
  folders.swap(unwatchedFolders_);
  if (std::exchange(unwatchedOverflow_, false)) {
    for (const std::string& root : roots_) watchTree(root, false);
    noteRescanOfRoots(kMustScanSubDirs);
  } else {
    // Only what is not watched is compared: the rest has events of its own. A folder still
    // beyond the limit fails at once, without being listed.
    for (const std::string& folder : folders) {
      watchTree(folder, false);
      note(folder, kMustScanSubDirs | kItemIsDir);
    }
  }
  if (!unwatched_) {
    QoLog("File event stream: every folder is watched again");
    rescanTimer_->cancel();
    rescanTimer_.reset();
  }
  scheduleFlush();
}

void FileEventStream::rootChanged(const std::string& root) {
  QoLog("File event stream: ({}) was moved away or deleted", root);
  // The watches follow the old folder wherever it went: its events are not the root's.
  for (const int wd : watches_.takeAtOrBelow(root)) ::inotify_rm_watch(fd_, wd);
  std::erase_if(writing_, [&](const std::string& path) { return path.starts_with(root + "/"); });
  std::erase_if(unwatchedFolders_,
                [&](const std::string& folder) { return folder == root || folder.starts_with(root + "/"); });
  note(root, kRootChanged | kItemIsDir);
  if (watchRoot(root)) note(root, kMustScanSubDirs | kItemIsDir);
  scheduleFlush();
}

bool FileEventStream::watchRoot(const std::string& root) {
  struct stat status {};
  if (::stat(root.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    watchTree(root, false);
    if (watches_.isWatched(root)) {
      missingRoots_.erase(root);
      rootFolders_[root] = {status.st_dev, status.st_ino};
      return true;
    }
  }
  rootFolders_.erase(root);
  if (!missingRoots_.insert(root).second || stopped_ || rootTimer_) return false;
  rootTimer_ = DispatchSource::makeTimer(options_.rootRetryInterval, options_.rootRetryInterval, queue_);
  rootTimer_->setEventHandler([this] { lookForMissingRoots(); });
  rootTimer_->resume();
  return false;
}

void FileEventStream::lookForMissingRoots() {
  if (stopped_) return;
  const std::vector<std::string> missing(missingRoots_.begin(), missingRoots_.end());
  for (const std::string& root : missing) {
    // Back (put back, restored, mounted again): what it holds now is compared whole.
    if (watchRoot(root)) {
      QoLog("File event stream: ({}) is there again", root);
      note(root, kMustScanSubDirs | kItemIsDir);
    }
  }
  if (missingRoots_.empty() && rootTimer_) {
    rootTimer_->cancel();
    rootTimer_.reset();
  }
  if (!pending_.empty()) scheduleFlush();
}

void FileEventStream::checkRoots() {
  if (stopped_) return;
  for (const std::string& root : roots_) {
    const auto watched = rootFolders_.find(root);
    if (watched == rootFolders_.end()) continue;
    struct stat status {};
    if (::stat(root.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
        std::pair{status.st_dev, status.st_ino} == watched->second) {
      continue;
    }
    QoLog("File event stream: ({}) is not the folder watched any more, the mount table changed", root);
    rootChanged(root);
  }
}

bool FileEventStream::isInMovedFolder(const std::string& folder) const {
  for (const auto& [cookie, path] : movedFolders_) {
    if (folder == path ||
        (folder.size() > path.size() && folder.compare(0, path.size(), path) == 0 && folder[path.size()] == '/')) {
      return true;
    }
  }
  return false;
}

bool FileEventStream::isRoot(const std::string& path) const {
  for (const std::string& root : roots_) {
    if (root == path) return true;
  }
  return false;
}

}  // namespace velbor
