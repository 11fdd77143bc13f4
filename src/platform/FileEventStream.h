#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/InotifyWatchTable.h"
#include "platform/MountTableWatch.h"

namespace velbor {

class DispatchQueue;
class DispatchSource;

// File-system events below a set of folders, over inotify. Every folder below a root is
// watched, new ones as they appear; the entries of a folder that appears (created or moved
// in) are reported as created, since they may predate its watch. Events of one path are
// merged over the stream's latency and handed over in batches on the stream's own thread.
// When events were lost (the kernel's queue overflowed), each root is reported with
// kMustScanSubDirs: the receiver rescans it. A folder that cannot be watched (the stream's
// watch limit, or the system's) is left unwatched with everything below it; every rescan
// interval it is tried again and reported with kMustScanSubDirs (the roots are, when too many
// folders are unwatched). A root moved away
// or deleted is reported with kRootChanged; its watches, which follow the old folder, are
// dropped, and the folder at the root's path is watched (when there is one, or as soon as one
// appears) and reported with kMustScanSubDirs. So is a root whose path no longer leads to the
// folder watched when the mount table changes (its disk unmounted while another mount holds
// it, which ends no watch, or another disk mounted there).
class FileEventStream {
 public:
  // Event flags, with the bit values of the system's event streams.
  enum Flag : uint32_t {
    kMustScanSubDirs = 0x1,
    kKernelDropped = 0x4,
    kRootChanged = 0x20,  // a root was removed, moved away, unmounted, or mounted over
    kItemCreated = 0x100,
    kItemRemoved = 0x200,
    kItemInodeMetaMod = 0x400,  // permissions, owner, times
    kItemRenamed = 0x800,       // both the old and the new path of a rename
    kItemModified = 0x1000,
    kItemIsFile = 0x10000,
    kItemIsDir = 0x20000,
    kItemIsSymlink = 0x40000,
    // The file was written to and has not been closed since: still being written.
    kItemWriting = 0x1000000,
  };

  struct Event {
    std::string path;  // absolute
    uint64_t id = 0;   // increases by one per event of the stream
    uint32_t flags = 0;
  };
  using Callback = std::function<void(const std::vector<Event>& events)>;

  struct Options {
    std::chrono::nanoseconds latency = std::chrono::milliseconds(100);
    std::chrono::nanoseconds rescanInterval = std::chrono::seconds(60);
    // At most this many watches (0: as many as the system allows).
    size_t watchLimit = 0;
    std::string label = "FileEventStream";
    // Names of files (never folders) whose events are not worth reporting, such as the
    // receiver's own temporary files: dropped as they are read, so a burst of them costs
    // neither a look at the disk nor the receiver's time, and cannot hold up the reading.
    std::function<bool(const std::string& name)> ignoredFileName;
    // How often a missing root is looked for.
    std::chrono::nanoseconds rootRetryInterval = std::chrono::seconds(1);
  };

  // The watches a stream may take of the system's per-user limit: half of them, so that other
  // programs of the user keep theirs, and never more than kMostWatches.
  static constexpr size_t kMostWatches = 100000;
  static size_t watchBoundFor(size_t maxUserWatches) { return std::min(maxUserWatches / 2, kMostWatches); }
  // The same for this system's limit (/proc/sys/fs/inotify/max_user_watches).
  static size_t systemWatchBound();

  FileEventStream(std::vector<std::string> roots, Options options, Callback callback);
  ~FileEventStream();
  FileEventStream(const FileEventStream&) = delete;
  FileEventStream& operator=(const FileEventStream&) = delete;

  // Watches the roots (returning once every folder present is watched) and starts delivering.
  // False, with a log line, when no inotify instance can be had.
  bool start();
  // No callback starts after this returns, and one in progress has finished (unless stop()
  // is called from the callback). The stream cannot be started again.
  void stop();
  // Hands over at once every event seen so far, read or still waiting in the kernel, without
  // waiting for the latency: a stream about to be replaced passes on what only it saw.
  void deliverPending();
  // Folders watched now (for tests and logs).
  size_t watchCount();

 private:
  struct Pending {
    std::string path;
    uint32_t flags = 0;
  };

  void readEvents();
  void handle(int wd, uint32_t mask, uint32_t cookie, const std::string& name);
  void handleOverflow();
  void watchTree(const std::string& folder, bool reportEntries);
  bool addWatch(const std::string& folder);
  void note(const std::string& path, uint32_t flags);
  void noteRescanOfRoots(uint32_t flags);
  void scheduleFlush();
  void flush();
  void startRescanTimer();
  void rescanUnwatched();
  // The root's folder went: its watches go too, and the folder now there (if any) is watched.
  void rootChanged(const std::string& root);
  // Watches the root, or keeps looking for it while it is missing; true when it is watched.
  bool watchRoot(const std::string& root);
  void lookForMissingRoots();
  // The mount table changed: a root whose path leads elsewhere than the folder watched changed.
  void checkRoots();
  bool isRoot(const std::string& path) const;
  bool isInMovedFolder(const std::string& folder) const;
  void noteUnwatched(const std::string& folder);

  const std::vector<std::string> roots_;
  const Options options_;
  const Callback callback_;
  std::shared_ptr<DispatchQueue> queue_;

  // Everything below is touched on the queue only (start and stop go through it).
  int fd_ = -1;
  bool stopped_ = false;
  std::shared_ptr<DispatchSource> reader_;
  std::shared_ptr<DispatchSource> flushTimer_;
  std::shared_ptr<DispatchSource> rescanTimer_;
  std::shared_ptr<DispatchSource> rootTimer_;
  std::unique_ptr<MountTableWatch> mounts_;
  std::shared_ptr<DispatchSource> mountSource_;
  // The folder watched at each root, as (device, inode).
  std::unordered_map<std::string, std::pair<dev_t, ino_t>> rootFolders_;
  // Roots with no folder at their path (moved away, deleted, not mounted).
  std::unordered_set<std::string> missingRoots_;
  InotifyWatchTable watches_;
  // A watch could not be added: the folders not watched are rescanned every rescan interval.
  bool unwatched_ = false;
  // The topmost folders not watched; past kMaxUnwatchedFolders, the roots are rescanned instead.
  static constexpr size_t kMaxUnwatchedFolders = 4096;
  std::set<std::string> unwatchedFolders_;
  bool unwatchedOverflow_ = false;
  bool limitLogged_ = false;
  std::vector<Pending> pending_;
  std::unordered_map<std::string, size_t> pendingIndex_;
  // Files modified and not closed since.
  std::unordered_set<std::string> writing_;
  // Folders moved away, by the cookie that pairs them with where they went.
  std::unordered_map<uint32_t, std::string> movedFolders_;
  // The folders a move brought within the watched ones during one read, each with whether a
  // watched folder stood at its path before (an exchange).
  std::map<std::string, bool> arrivedFolders_;
  uint64_t lastId_ = 0;
};

}  // namespace velbor
