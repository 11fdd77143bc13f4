#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/daemon/monitor/Monitor.h"
#include "core/entity/FetchTestBase.h"
#include "core/entity/ModeKeeping.h"
#include "core/entity/SyncdirMark.h"
#include "core/state/Lockers.h"
#include "core/state/QoNotices.h"
#include "core/state/SyncFileProcessBox.h"
#include "platform/Dispatch.h"
#include "platform/FileEventStream.h"
#include "platform/LockerGuard.h"
#include "platform/Waiter.h"
#include "support/FuseDisk.h"

namespace velbor::test {

// The local copy of FetchTestBase (paired with the peer's copy) watched by the shared monitor.
// The tests drive the event filter and the classifier themselves unless they start it.
class MonitorTestBase : public FetchTestBase {
 protected:
  using Event = FileEventStream::Event;
  static constexpr uint32_t kFileChanged = FileEventStream::kItemIsFile | FileEventStream::kItemModified;

  void SetUp() override {
    FetchTestBase::SetUp();
    fileChanged_ = QoNotices::observe<notice::FileChanged>([this](const notice::FileChanged&) { notices_.notify(); });
    indexing_ = QoNotices::observe<notice::SyncFileProcess>([this](const notice::SyncFileProcess& progress) {
      std::lock_guard lock(indexedMutex_);
      if (progress.box && progress.box->status == SyncFileIndexing) indexed_.push_back(progress.box->downloadFilePath);
    });
    monitor_ = Monitor::sharedMonitor();
  }

  void TearDown() override {
    monitor_.reset();
    Monitor::resetSharedMonitor();
    NotificationCenter::defaultCenter().removeObserver(fileChanged_);
    NotificationCenter::defaultCenter().removeObserver(indexing_);
    QoNotify::resetNotifyQueue();
    FetchTestBase::TearDown();
  }

  // Loads the local copies into the monitor (and records what is on disk already).
  void load() { monitor_->scanSyncdir(); }

  // The events the stream would report for these paths (relative to the copy's root).
  void report(const std::vector<std::string>& relatives, uint32_t flags = kFileChanged) {
    std::vector<Event> events;
    for (const auto& relative : relatives) events.push_back(Event{at(relative), ++eventId_, flags});
    monitor_->scanPaths(events);
  }

  void tick() { monitor_->handleFileSystemChange(); }
  // The events for these paths, then the monitor's look.
  void look(const std::vector<std::string>& relatives, uint32_t flags = kFileChanged) {
    report(relatives, flags);
    tick();
  }

  // The monitor's own object for the local copy (it holds the change set).
  QoSyncdirCopy::Ptr watched() {
    for (const auto& copy : monitor_->syncdirCopys()) {
      if (copy->uuid() == local_->uuid()) return copy;
    }
    return nullptr;
  }

  std::set<std::string> changeSet() {
    LockerGuard lock(Lockers::monitor());
    auto copy = watched();
    return copy ? copy->getPathsChangeSet() : std::set<std::string>{};
  }

  static int64_t usn() { return DataSource::sharedDataSource().getCurrentUsn(); }

  // Present in the records (status 0).
  bool recorded(const std::string& relative) {
    auto file = stored(relative);
    return file && file->status() == 0;
  }

  static void setMtime(const std::string& path, int64_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }

  // Saved in place, as most editors do and as a write through another name is: the same
  // inode, new content, and no event.
  static struct stat saveInPlace(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    struct stat status {};
    ::lstat(path.c_str(), &status);
    return status;
  }

  // Polls until `done` holds, for at most `limit`.
  static bool eventually(const std::function<bool()>& done,
                         std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  // The paths announced as indexed (each counts in the pane's "本地 N 个文件已更新") since the
  // last call, once the notices posted so far have arrived.
  std::vector<std::string> takeIndexed() {
    QoNotify::notifyQueue()->sync([] {});
    std::lock_guard lock(indexedMutex_);
    return std::exchange(indexed_, {});
  }

  std::shared_ptr<Monitor> monitor_;
  Waiter notices_;
  NotificationCenter::Token fileChanged_ = 0;
  NotificationCenter::Token indexing_ = 0;
  std::mutex indexedMutex_;
  std::vector<std::string> indexed_;
  uint64_t eventId_ = 0;
};

// The same with the copy's folder on a disk mounted through FUSE by `mountDisk` (the test is
// skipped where none can be mounted), marked as a new tree's folder is.
class FuseDiskMonitorTestBase : public MonitorTestBase {
 protected:
  void mountDisk(FuseDisk::Kind kind) {
    ModeKeeping::shared().clear();
    disk_ = std::make_unique<FuseDisk>(kind, root_);
    if (!disk_->mounted()) GTEST_SKIP() << disk_->reason();
    ASSERT_TRUE(SyncdirMark::markAs(*local_));
  }
  void TearDown() override {
    disk_.reset();
    ModeKeeping::shared().clear();
    MonitorTestBase::TearDown();
  }

  std::unique_ptr<FuseDisk> disk_;
};

}  // namespace velbor::test
