// The monitor's life cycle, its listener, the event filter and the periodic sync once.
// Classification is in MonitorClassify.cpp.

#include "core/daemon/monitor/Monitor.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>

#include "core/daemon/sync/SyncEngine.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/entity/SyncdirMark.h"
#include "core/entity/TmpFileName.h"
#include "core/state/DataSource.h"
#include "core/state/Lockers.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "core/state/SyncdirPresence.h"
#include "platform/Exception.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "platform/RepeatingTimer.h"

namespace velbor {
namespace {

std::mutex gSharedMutex;
// Never destroyed: jobs still running at exit use it.
std::shared_ptr<Monitor>& gShared = *new std::shared_ptr<Monitor>();

void logSyncOnceFailure(const std::exception& e) {
  if (const auto* named = dynamic_cast<const Exception*>(&e)) {
    QoLog("*** Monitor synconce failed, {}: {}", named->name(), named->reason());
  } else {
    QoLog("*** Monitor synconce failed, {}: {}", "std::exception", e.what());
  }
}

}  // namespace

std::shared_ptr<Monitor> Monitor::sharedMonitor() {
  std::lock_guard lock(gSharedMutex);
  if (!gShared) {
    gShared = std::shared_ptr<Monitor>(new Monitor());
    gShared->observeTrees();
  }
  return gShared;
}

void Monitor::resetSharedMonitor() {
  std::shared_ptr<Monitor> monitor;
  {
    std::lock_guard lock(gSharedMutex);
    monitor = std::move(gShared);
  }
  if (monitor) monitor->shutdown();
}

Monitor::~Monitor() { shutdown(); }

void Monitor::observeTrees() {
  const std::weak_ptr<Monitor> weak = weak_from_this();
  observers_.push_back(QoNotices::observe<notice::TreeAddResponse>([weak](const notice::TreeAddResponse& added) {
    if (auto monitor = weak.lock(); monitor && added.copy) monitor->addSyncdirCopy(added.copy);
  }));
  // The removed copy leaves the list; the other copies keep their pending changes.
  observers_.push_back(QoNotices::observe<notice::TreeDeleteResponse>([weak](const notice::TreeDeleteResponse&) {
    if (auto monitor = weak.lock()) monitor->runInBackground([raw = monitor.get()] { raw->listenFileSystem(); });
  }));
}

void Monitor::start() {
  QoLog("Monitor start.");
  // Watches first, then the scan: a file made between a scan and its watch would be missed.
  runInBackground([this] {
    listenFileSystem();
    scanSyncdir();
  });
  std::lock_guard lock(timersMutex_);
  if (shutDown_ || classifier_) return;
  classifier_ =
      std::make_unique<RepeatingTimer>("monitor.classify", kClassifyInterval, [this] { handleFileSystemChange(); });
  classifier_->start();
  syncOnceTimer_ = std::make_unique<RepeatingTimer>("monitor.synconce", kSyncOnceInterval, [this] { syncOnce(); });
  syncOnceTimer_->start();
}

void Monitor::stop() {
  std::unique_ptr<FileEventStream> stream;
  {
    std::lock_guard lock(listenerMutex_);
    stream = std::move(stream_);
  }
  if (!stream) return;
  stream->stop();
  QoLog("Monitor runloop end");
}

void Monitor::shutdown() {
  stopping_.request_stop();
  std::unique_ptr<RepeatingTimer> classifier;
  std::unique_ptr<RepeatingTimer> syncOnceTimer;
  {
    std::lock_guard lock(timersMutex_);
    shutDown_ = true;
    classifier = std::move(classifier_);
    syncOnceTimer = std::move(syncOnceTimer_);
  }
  for (auto* timer : {classifier.get(), syncOnceTimer.get()}) {
    if (timer) timer->stop();
  }
  for (const auto token : observers_) NotificationCenter::defaultCenter().removeObserver(token);
  observers_.clear();
  // Jobs run on threads of their own: each ends, and is joined, before the monitor goes.
  std::vector<Background> jobs;
  {
    std::lock_guard lock(backgroundMutex_);
    backgroundStopping_ = true;
    jobs = std::move(background_);
  }
  for (Background& job : jobs) {
    if (job.thread.joinable() && job.thread.get_id() != std::this_thread::get_id()) job.thread.join();
    if (job.thread.joinable()) job.thread.detach();
  }
  stop();
}

void Monitor::runInBackground(std::function<void()> job) {
  std::lock_guard lock(backgroundMutex_);
  if (backgroundStopping_) return;
  // Threads whose job is done are joined here, so they do not pile up.
  std::erase_if(background_, [](Background& finished) {
    if (!*finished.done) return false;
    finished.thread.join();
    return true;
  });
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([job = std::move(job), done] {
    try {
      job();
    } catch (const std::exception& e) {
      QoLog("*** Monitor background job failed, {}", e.what());
    }
    *done = true;
  });
  background_.push_back(Background{std::move(thread), std::move(done)});
}

void Monitor::addSyncdirCopy(const CopyPtr& copy, bool pull) {
  // The new copy is watched before it is scanned, so nothing made meanwhile is missed.
  runInBackground([this, copy, pull] {
    listenFileSystem();
    if (SyncdirPresence::shared().check(copy)) refreshCopy(copy);
    if (pull) syncOnce();
  });
}

void Monitor::scanSyncdir() {
  for (const CopyPtr& copy : reloadSyncdirCopys()) {
    {
      std::lock_guard lock(timersMutex_);
      if (shutDown_) return;
    }
    QoLog("Monitor scan({})", copy->path());
    if (SyncdirPresence::shared().check(copy)) refreshCopy(copy);
  }
}

void Monitor::refreshCopy(const CopyPtr& copy) {
  const auto linked = [this, copy](const std::string& path) { followAfterRescan(copy, path); };
  if (copy->refresh(stopping_.get_token(), linked) || stopping_.stop_requested()) return;
  // Some of it could not be recorded: compared again once writes work, like a failed batch.
  LockerGuard lock(Lockers::monitor());
  parked_[copy->uuid()].wholeCopy = true;
  parked_[copy->uuid()].paths.clear();
  delayRetry();
}

std::vector<Monitor::CopyPtr> Monitor::reloadSyncdirCopys() {
  std::vector<CopyPtr> loaded = QoDevice::getDeviceSyncdirCopys(0);
  LockerGuard lock(Lockers::monitor());
  // A copy loaded before keeps its object, and with it the changes still waiting.
  for (CopyPtr& copy : loaded) {
    const auto known = std::find_if(syncdirCopys_.begin(), syncdirCopys_.end(),
                                    [&](const CopyPtr& old) { return old->uuid() == copy->uuid(); });
    if (known != syncdirCopys_.end()) copy = *known;
  }
  syncdirCopys_ = loaded;
  const auto gone = [&](const std::string& uuid) {
    return std::none_of(loaded.begin(), loaded.end(), [&](const CopyPtr& copy) { return copy->uuid() == uuid; });
  };
  std::erase_if(rescans_, gone);
  std::erase_if(folderRescans_, [&](const auto& entry) { return gone(entry.first); });
  std::erase_if(subtreeRescans_, [&](const auto& entry) { return gone(entry.first); });
  std::erase_if(linkedFiles_, [&](const auto& entry) { return gone(entry.first); });
  std::erase_if(nameSearches_, [&](const auto& entry) { return gone(entry.first); });
  return loaded;
}

std::vector<Monitor::CopyPtr> Monitor::syncdirCopys() {
  LockerGuard lock(Lockers::monitor());
  return syncdirCopys_;
}

size_t Monitor::watchCount() {
  std::lock_guard lock(listenerMutex_);
  return stream_ ? stream_->watchCount() : 0;
}

void Monitor::listenFileSystem() {
  std::unique_ptr<FileEventStream> previous;
  try {
    std::lock_guard lock(listenerMutex_);
    {
      std::lock_guard timers(timersMutex_);
      if (shutDown_) return;
    }
    QoLog("Monitor listen file system start.");
    const std::vector<CopyPtr> copies = reloadSyncdirCopys();
    if (copies.empty()) {
      QoLog("No SyncdirCopy need monitor!");
      previous = std::move(stream_);
    } else {
      std::vector<std::string> roots;
      for (const CopyPtr& copy : copies) roots.push_back(copy->path());
      FileEventStream::Options options;
      options.latency = std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::duration<double>(QoConfig::sharedQoConfig().fileSystemScanLatency()));
      options.label = "monitor.listen";
      {
        LockerGuard bounds(Lockers::monitor());
        options.watchLimit = bounds_.watches != 0 ? bounds_.watches : FileEventStream::systemWatchBound();
      }
      // A pull writes, closes and renames a temporary file for every file it fetches, and the
      // folder's mark is written through one of its own. Those names are ignored by the
      // filter anyway; the stream drops them before they cost it a look at the disk and the
      // filter a log line, so a large pull cannot overflow its queue.
      options.ignoredFileName = [](const std::string& name) {
        return TmpFileName::isTemporaryName(name) || SyncdirMark::isMarkName(name);
      };
      const std::weak_ptr<Monitor> weak = weak_from_this();
      auto stream =
          std::make_unique<FileEventStream>(roots, options, [weak](const std::vector<FileEventStream::Event>& events) {
            if (auto monitor = weak.lock()) monitor->scanPaths(events);
          });
      if (!stream->start()) throw Exception("FileEventStream", "the event stream could not start");
      // The new listener is in place before the old one stops: no event falls between.
      previous = std::exchange(stream_, std::move(stream));
    }
  } catch (const Exception& e) {
    QoLog("Monitor Runloop stop: {} {}", e.name(), e.what());
  } catch (const std::exception& e) {
    QoLog("Monitor Runloop stop: {} {}", "std::exception", e.what());
  }
  if (previous) {
    // What the old listener saw before the new one watched its folder is not lost with it.
    previous->deliverPending();
    previous->stop();
    QoLog("Monitor runloop end");
  }
}

Monitor::CopyPtr Monitor::owningCopy(const std::string& path) const {
  const std::string withSlash = path + "/";
  for (const CopyPtr& copy : syncdirCopys_) {
    const std::string root = copy->path() + "/";
    if (copy->path().size() != path.size() && withSlash.compare(0, root.size(), root) == 0) return copy;
  }
  return nullptr;
}

bool Monitor::checkBigFile(uint32_t flags) {
  return (flags & FileEventStream::kItemIsFile) != 0 && (flags & FileEventStream::kItemWriting) != 0;
}

void Monitor::scanPaths(const std::vector<FileEventStream::Event>& events) {
  std::vector<CopyPtr> rootsChanged;
  filterEvents(events, rootsChanged);
  // A copy's folder went (its disk unmounted, moved away) or another stands there: told at
  // once, not when something is next pulled or compared. Looked at apart from the stream,
  // which reads on meanwhile.
  for (const CopyPtr& copy : rootsChanged) {
    runInBackground([copy] { SyncdirPresence::shared().check(copy); });
  }
}

void Monitor::filterEvents(const std::vector<FileEventStream::Event>& events, std::vector<CopyPtr>& rootsChanged) {
  LockerGuard lock(Lockers::monitor());
  for (size_t i = 0; i < events.size(); ++i) {
    const FileEventStream::Event& event = events[i];
    if (event.flags & FileEventStream::kRootChanged) {
      for (const CopyPtr& copy : syncdirCopys_) {
        if (copy->path() == event.path) rootsChanged.push_back(copy);
      }
    }
    if (event.flags & FileEventStream::kMustScanSubDirs) {
      // Events were lost below this root: the whole copy is compared again; below a folder
      // that is not watched: that folder is, with everything below it.
      for (const CopyPtr& copy : syncdirCopys_) {
        if (copy->path() == event.path) {
          QoLog("Change[{}] must rescan {} in {}, flags {}", i, event.id, event.path, event.flags);
          rescans_.insert(copy->uuid());
          folderRescans_.erase(copy->uuid());
          subtreeRescans_.erase(copy->uuid());
        } else if (owningCopy(event.path) == copy && rescans_.count(copy->uuid()) == 0 &&
                   !QoFile::matchIgnoreFilter(event.path)) {
          QoLog("Change[{}] must rescan {} in {}, flags {}", i, event.id, event.path, event.flags);
          noteSubtreeRescan(copy, event.path);
        }
      }
      continue;
    }
    if (QoFile::matchIgnoreFilter(event.path)) {
      QoLog("Change[{}] Ignore, {} in {}, flags {}", i, event.id, event.path, event.flags);
      continue;
    }
    const CopyPtr copy = owningCopy(event.path);
    if (!copy) {
      QoLog("Change[{}] Ignore syncdir self(or else), in {}, {}", i, event.path, event.id);
      continue;
    }
    // Files still being written count against the same bound as the changed paths.
    if (checkBigFile(event.flags) && copy->bigFileCount() < bounds_.changedPaths) {
      copy->addBigFileWithPath(event.path);
      QoLog("Change[{}] big file(maybe) scanning {} in {}, flags {}", i, event.id, event.path, event.flags);
      continue;
    }
    copy->removeBigFileWithPath(event.path);
    QoLog("Change[{}] {} in {}, flags {}", i, event.id, event.path, event.flags);
    noteChange(copy, event.path);
    // A folder moved away tells nothing of what it held, and may stand there again by the
    // time it is looked at (made again by a pull, or by the user): what it held is compared
    // with the records then. (A folder removed had an event for each entry first.)
    if ((event.flags & FileEventStream::kItemIsDir) && (event.flags & FileEventStream::kItemRenamed)) {
      noteSubtreeRescan(copy, event.path);
    }
  }
}

void Monitor::noteSubtreeRescan(const CopyPtr& copy, const std::string& folder) {
  if (rescans_.count(copy->uuid()) != 0) return;
  std::set<std::string>& folders = subtreeRescans_[copy->uuid()];
  folders.insert(folder);
  if (folders.size() > bounds_.rescanFolders) {
    subtreeRescans_.erase(copy->uuid());
    rescans_.insert(copy->uuid());
  }
}

void Monitor::setBounds(const Bounds& bounds) {
  LockerGuard lock(Lockers::monitor());
  bounds_ = bounds;
  bounds_.batchPaths = std::max<size_t>(bounds_.batchPaths, 1);
  for (auto& [uuid, linked] : linkedFiles_) linked.setBound(bounds_.linkedFiles);
}

void Monitor::noteChange(const CopyPtr& copy, const std::string& path) {
  const std::set<std::string>& changes = copy->getPathsChangeSet();
  if (changes.size() < bounds_.changedPaths || changes.count(path) != 0) {
    copy->setPathsChangeSetWithPath(path);
    return;
  }
  noteFolderRescan(copy, path.substr(0, path.rfind('/')));
}

void Monitor::noteFolderRescan(const CopyPtr& copy, const std::string& folder) {
  if (rescans_.count(copy->uuid()) != 0) return;
  std::set<std::string>& folders = folderRescans_[copy->uuid()];
  if (folders.empty()) {
    QoLog("Monitor: more than {} changes waiting in ({}), their folders are compared instead", bounds_.changedPaths,
          copy->path());
  }
  if (folders.size() < bounds_.rescanFolders || folders.count(folder) != 0) {
    folders.insert(folder);
    return;
  }
  QoLog("Monitor: more than {} folders changed in ({}), the whole copy is compared", bounds_.rescanFolders,
        copy->path());
  folderRescans_.erase(copy->uuid());
  rescans_.insert(copy->uuid());
}

void Monitor::syncOnce() {
  const std::string localDeviceUuid = QoConfig::sharedQoConfig().deviceUuid();
  for (const CopyPtr& copy : QoDevice::getDeviceSyncdirCopys(0)) {
    for (const auto& pairing : QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstPk(copy->pk())) {
      try {
        const auto& second = pairing->secondSyncdirCopy();
        if (!second || !second->device()) continue;
        const auto& device = second->device();
        if (device->uuid() != localDeviceUuid && !device->isOnline()) continue;
        SyncEngine::pullOnceInBackground(copy->uuid(), second->uuid(), logSyncOnceFailure);
      } catch (const std::exception& e) {
        logSyncOnceFailure(e);
      }
    }
  }
}

}  // namespace velbor
