#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core/daemon/monitor/LinkedFiles.h"
#include "core/state/Lockers.h"
#include "platform/FileEventStream.h"
#include "platform/NotificationCenter.h"
#include "platform/ThreadSafety.h"

namespace velbor {

class QoSyncdirCopy;
class RepeatingTimer;

// Turns changes on disk inside the local copies into file records: the event stream hands
// paths to the event filter, which puts them into the owning copy's change set (files still
// being written wait in its big-file map); every 1.5 seconds the classifier compares disk and
// database for each changed path and records the differences, one transaction per copy.
// Every 300 seconds it asks for a sync once of every pairing of a local copy.
//
// What the system itself wrote (installs, renames, conflict moves, deletes of a pull) is
// recorded by the pull in the same transaction as the disk change, so disk and database
// agree when the classifier looks and nothing is recorded twice. A pull's installs are noted
// with their exact state as well (OwnInstalls): an event for such a file, while it is still
// in that state, is the install itself and needs no comparison at all.
class Monitor : public std::enable_shared_from_this<Monitor> {
 public:
  using CopyPtr = std::shared_ptr<QoSyncdirCopy>;

  static constexpr std::chrono::milliseconds kClassifyInterval{1500};
  static constexpr std::chrono::seconds kSyncOnceInterval{300};
  // A batch that fails puts its paths back this many times; then they wait until a write of
  // the monitor works again, or are tried again after a delay that doubles up to the longest.
  static constexpr int kMaxBatchAttempts = 3;
  static constexpr std::chrono::seconds kFirstRetryDelay{5};
  static constexpr std::chrono::seconds kLongestRetryDelay{60};

  // What the monitor holds at most for one copy, however many changes arrive: a burst of new
  // files must not cost memory per file.
  struct Bounds {
    // Changed paths waiting; past it, the folder of a further path is compared instead.
    size_t changedPaths = 20000;
    // Folders waiting to be compared; past it, the whole copy is, folder by folder.
    size_t rescanFolders = 4000;
    // Paths read, compared and recorded in one transaction.
    size_t batchPaths = 1000;
    // Folders watched at most (0: FileEventStream::systemWatchBound()).
    size_t watches = 0;
    // Files with several names whose other names are compared with them.
    size_t linkedFiles = 4000;
  };

  static std::shared_ptr<Monitor> sharedMonitor();
  // Stops every thread of the shared monitor and drops it (process exit, tests).
  static void resetSharedMonitor();

  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Rescans every local copy and starts the listener (both in the background), the
  // classifier and the 300-second sync-once timer.
  void start();
  // Stops the listener.
  void stop();
  // A new local copy (or one back in place): rescanned in the background and watched with the
  // others; its pairings are pulled when `pull`.
  void addSyncdirCopy(const CopyPtr& copy, bool pull = false);
  // Reloads the local copies and rescans each in turn.
  void scanSyncdir();
  // Reloads the local copies and watches them all; a listener already running keeps
  // reporting until the new one is in place.
  void listenFileSystem();
  // The event filter.
  void scanPaths(const std::vector<FileEventStream::Event>& events);
  // Whether the flags show a file still being written.
  static bool checkBigFile(uint32_t flags);
  // One classifier tick over every local copy.
  void handleFileSystemChange();
  // Classifies and records one batch of absolute paths of `copy`: the files are read and
  // hashed first, then the records change inside one transaction.
  void handlePaths(const std::vector<std::string>& paths, const CopyPtr& copy);
  // Asks for a sync once of every pairing whose peer copy is local or on an online device.
  void syncOnce();
  void setBounds(const Bounds& bounds);

  // The local copies as last loaded.
  std::vector<CopyPtr> syncdirCopys();
  // Names of files with several names that are followed in the copy.
  size_t linkedFileCount(const std::string& copyUuid);
  // Folders the listener watches (0 without a listener).
  size_t watchCount();

 private:
  struct Prepared;

  Monitor() = default;
  void observeTrees();
  void shutdown();
  std::vector<CopyPtr> reloadSyncdirCopys();
  // Rescans the copy; what could not be recorded waits like a failed batch.
  void refreshCopy(const CopyPtr& copy);
  // Waits longer before failed changes are tried again.
  void delayRetry() REQUIRES(Lockers::monitor());
  CopyPtr owningCopy(const std::string& path) const REQUIRES(Lockers::monitor());
  // The event filter under the "monitor" locker; `rootsChanged`: copies whose root changed.
  void filterEvents(const std::vector<FileEventStream::Event>& events, std::vector<CopyPtr>& rootsChanged);
  void runInBackground(std::function<void()> job);
  // `wholeCopy`: the paths are part of a comparison of the whole copy.
  std::vector<Prepared> prepare(const std::vector<std::string>& paths, const CopyPtr& copy, bool wholeCopy);
  // handlePaths without the notice; answers whether anything was recorded.
  bool recordBatch(const std::vector<std::string>& paths, const CopyPtr& copy, bool wholeCopy = false);
  // Records `paths` (sorted here) in batches of at most bounds_.batchPaths.
  bool recordInBatches(std::vector<std::string>& paths, const CopyPtr& copy, bool wholeCopy = false);
  // A changed path, or its folder when the change set is full.
  void noteChange(const CopyPtr& copy, const std::string& path) REQUIRES(Lockers::monitor());
  void noteFolderRescan(const CopyPtr& copy, const std::string& folder) REQUIRES(Lockers::monitor());
  // `folder` and everything below it are compared with their records (the whole copy is,
  // past the bound).
  void noteSubtreeRescan(const CopyPtr& copy, const std::string& folder) REQUIRES(Lockers::monitor());
  // Compares the entries of `folder` (and, when recursive, of every folder below it) with
  // their records, a batch at a time; answers whether anything was recorded.
  bool rescanFolder(const CopyPtr& copy, const std::string& folder, bool recursive);
  bool rescanFolders(const CopyPtr& copy);
  bool record(const std::string& root, Prepared& item, bool& changed) REQUIRES(Lockers::transaction());
  // The record of `item` describes the file as it was read: told to RecordedStates once the
  // batch is committed.
  static void noteRecorded(Prepared& item);
  // Whether the copy's folder is there; what is below a missing one is not gone.
  static bool copyRootPresent(const CopyPtr& copy);
  void putBack(const CopyPtr& copy, const std::string& path);
  void batchFailed(const CopyPtr& copy, const std::vector<std::string>& paths);
  // `wrote`: the batch changed a record, so the database takes writes again.
  void batchSucceeded(const std::vector<std::string>& paths, bool wrote);
  // Paths that failed every attempt wait here; the copy is compared whole past the bound.
  void park(const CopyPtr& copy, const std::string& path) REQUIRES(Lockers::monitor());
  // A comparison of `folder` with everything below it met a failed batch: it is made whole
  // again once writes work, not only for the paths it read this time (a folder moved away
  // may stand there again by then, made by a pull, and would hide what it held).
  void parkSubtree(const CopyPtr& copy, const std::string& folder);
  // Puts the waiting paths back into their change sets (all of them, or when their delay is over).
  void releaseParked(bool now);
  void rescanRequested();
  // The followed files with several names of each copy, under the "monitor" locker.
  LinkedFiles& linkedFilesOf(const CopyPtr& copy) REQUIRES(Lockers::monitor());
  // A rescan saw `path` with more than one name: it is followed from now on.
  void followAfterRescan(const CopyPtr& copy, const std::string& path);
  // Read by the classifier: the item at `path` is followed while it has several names, and the
  // other names followed of it are returned, to be compared in the same batch. A file whose
  // names in the copy are not all known has them looked for, once, in every copy (but this one
  // when `wholeCopy`: it is being read whole). `state`: none when nothing is at `path`.
  std::vector<std::string> followLinks(const CopyPtr& copy, const std::string& path,
                                       const std::optional<LinkedFiles::State>& state, bool wholeCopy);
  // Compares each followed file with what was last seen of it: one changed through another
  // name (in the copy or outside it) joins the change set.
  void compareLinkedFiles();
  // Goes through the copies whose files have names not known yet: each name found is followed
  // and compared (a change may have been made through it before).
  void searchLinkNames();

  // Listener set-up and swap, one at a time.
  std::mutex listenerMutex_;
  std::unique_ptr<FileEventStream> stream_;

  // The copies, their change sets and big-file maps: under the "monitor" locker.
  std::vector<CopyPtr> syncdirCopys_ GUARDED_BY(Lockers::monitor());
  std::set<std::string> rescans_ GUARDED_BY(Lockers::monitor());  // copy uuids whose events were lost
  // Per copy uuid: folders not watched, compared with everything below them.
  std::map<std::string, std::set<std::string>> subtreeRescans_ GUARDED_BY(Lockers::monitor());
  // Per copy uuid: folders whose changes were too many to keep one by one.
  std::map<std::string, std::set<std::string>> folderRescans_ GUARDED_BY(Lockers::monitor());
  Bounds bounds_ GUARDED_BY(Lockers::monitor());
  // Per copy uuid: the files with several names followed, and those whose names are looked for.
  std::map<std::string, LinkedFiles> linkedFiles_ GUARDED_BY(Lockers::monitor());
  std::map<std::string, std::set<LinkedFiles::Inode>> nameSearches_ GUARDED_BY(Lockers::monitor());
  // Failed batches per path.
  std::map<std::string, int> attempts_ GUARDED_BY(Lockers::monitor());
  // Per copy uuid: paths whose batches failed every attempt, until writes work again.
  struct Parked {
    std::set<std::string> paths;
    std::set<std::string> subtrees;
    bool wholeCopy = false;
  };
  // Batches failed so far: a comparison that met one is parked whole.
  size_t failedBatches_ GUARDED_BY(Lockers::monitor()) = 0;
  std::map<std::string, Parked> parked_ GUARDED_BY(Lockers::monitor());
  std::chrono::steady_clock::time_point retryAt_ GUARDED_BY(Lockers::monitor());
  std::chrono::seconds retryDelay_ GUARDED_BY(Lockers::monitor()){0};

  std::mutex timersMutex_;
  std::unique_ptr<RepeatingTimer> classifier_;
  std::unique_ptr<RepeatingTimer> syncOnceTimer_;
  bool shutDown_ = false;
  // Requested when the monitor shuts down: rescans and hashing end soon, whatever their size.
  std::stop_source stopping_;

  std::vector<NotificationCenter::Token> observers_;

  // One-off jobs (rescans, listener start), each on a thread of its own.
  struct Background {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex backgroundMutex_;
  std::vector<Background> background_;
  bool backgroundStopping_ = false;
};

}  // namespace velbor
