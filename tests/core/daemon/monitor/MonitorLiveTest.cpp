// The monitor running on its own threads over real file-system events.

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "MonitorTestBase.h"
#include "core/daemon/sync/SyncEngine.h"
#include "core/entity/ModeKeeping.h"
#include "core/entity/SyncdirMark.h"
#include "core/state/QoConfig.h"
#include "support/InotifyQueueLimit.h"

namespace velbor::test {
namespace {

class MonitorLiveTest : public MonitorTestBase {
 protected:
  // Waits until the usn has stopped moving: a file made now is recorded with exactly the
  // next usn once every earlier event has been handled without an echo.
  void expectQuiet(const std::string& sentinel) {
    const int64_t before = usn();
    writeFile(at(sentinel), sentinel);
    ASSERT_TRUE(eventually([&] { return recorded(sentinel); }));
    EXPECT_EQ(usn(), before + 1);
  }
};

TEST_F(MonitorLiveTest, AChangeSeenByTheListenerItReplacesIsPassedOn) {
  // Events wait in the stream for long, as they may under load.
  QoConfig::sharedQoConfig().setFileSystemScanLatency(30);
  load();
  monitor_->listenFileSystem();
  ASSERT_TRUE(eventually([&] { return monitor_->watchCount() == 1; }));
  writeFile(at("during-swap"), "made while a copy was added");
  // A new copy, or one removed, renews the listener.
  monitor_->listenFileSystem();
  EXPECT_EQ(changeSet().count(at("during-swap")), 1u);
}

TEST_F(MonitorLiveTest, ChangesInsideTheCopyBecomeRecords) {
  writeFile(at("existing"), "existing");
  monitor_->start();
  ASSERT_TRUE(eventually([&] { return recorded("existing") && monitor_->watchCount() == 1; }));
  ASSERT_TRUE(notices_.waitFor(1));

  const int64_t start = usn();
  writeFile(at("dir/a.txt"), "a");
  ASSERT_TRUE(eventually([&] { return recorded("dir") && recorded("dir/a.txt"); }));
  EXPECT_GT(usn(), start);
  EXPECT_EQ(storedClock("dir/a.txt"), "1");
  EXPECT_TRUE(notices_.waitFor(2));

  writeFile(at("dir/a.txt"), "edited, longer");
  ASSERT_TRUE(eventually([&] { return stored("dir/a.txt")->sha1() == sha1Of("edited, longer"); }));
  EXPECT_EQ(storedClock("dir/a.txt"), "2");

  ::chmod(at("dir/a.txt").c_str(), 0604);
  ASSERT_TRUE(eventually([&] { return stored("dir/a.txt")->unixAttr() == 0604; }));

  std::filesystem::rename(at("dir/a.txt"), at("dir/b.txt"));
  ASSERT_TRUE(eventually([&] { return recorded("dir/b.txt") && stored("dir/a.txt")->status() == 1; }));

  std::filesystem::rename(at("dir"), at("moved"));
  ASSERT_TRUE(eventually([&] { return recorded("moved/b.txt") && stored("dir/b.txt")->status() == 1; }));
  EXPECT_EQ(stored("dir")->status(), 1);

  std::filesystem::remove(at("existing"));
  ASSERT_TRUE(eventually([&] { return stored("existing")->status() == 1; }));
  expectQuiet("sentinel-1");

  // Into and out of the copy.
  TempDir outside;
  writeFile(outside / "in" / "deep" / "f", "f");
  std::filesystem::rename(outside / "in", at("in"));
  ASSERT_TRUE(eventually([&] { return recorded("in/deep/f"); }));
  std::filesystem::rename(at("moved"), outside / "out");
  ASSERT_TRUE(eventually([&] { return stored("moved/b.txt")->status() == 1 && stored("moved")->status() == 1; }));
  writeFile(outside / "out" / "later", "not ours");
  expectQuiet("sentinel-2");
  EXPECT_FALSE(stored("moved/later"));
}

TEST_F(MonitorLiveTest, ANewTreeIsWatchedAndADeletedOneUnwatched) {
  monitor_->start();
  ASSERT_TRUE(eventually([&] { return monitor_->watchCount() == 1; }));
  const std::string otherRoot = (home_.path() / "other").string();
  writeFile(otherRoot + "/before", "b");
  auto other = copy(otherRoot, QoDevice::getDeviceLocal(), "T", "dddddd-other");
  QoNotices::post(notice::TreeAddResponse{other});
  ASSERT_TRUE(
      eventually([&] { return monitor_->watchCount() == 2 && QoFile::getFileWithPath(otherRoot + "/before"); }));
  writeFile(otherRoot + "/after", "a");
  writeFile(at("here"), "h");
  ASSERT_TRUE(eventually([&] { return QoFile::getFileWithPath(otherRoot + "/after") && recorded("here"); }));

  inTransaction([&] { other->forceRemove(); });
  QoNotices::post(notice::TreeDeleteResponse{});
  ASSERT_TRUE(eventually([&] { return monitor_->watchCount() == 1; }));
  writeFile(otherRoot + "/gone", "g");
  expectQuiet("sentinel");
  EXPECT_FALSE(QoFile::getFileWithPath(otherRoot + "/gone"));
}

TEST_F(MonitorLiveTest, QueueOverflowLeadsToARescanThatMissesNothing) {
  load();
  {
    InotifyQueueLimit limit(4);
    if (!limit.lowered()) GTEST_SKIP() << "lowering fs.inotify.max_queued_events needs root";
    monitor_->listenFileSystem();
  }
  ASSERT_EQ(monitor_->watchCount(), 1u);
  for (int folder = 0; folder < 5; ++folder) {
    for (int file = 0; file < 40; ++file) {
      writeFile(at("d" + std::to_string(folder) + "/f" + std::to_string(file)), "content");
    }
  }
  const auto allRecorded = [&] {
    for (int folder = 0; folder < 5; ++folder) {
      for (int file = 0; file < 40; ++file) {
        if (!recorded("d" + std::to_string(folder) + "/f" + std::to_string(file))) return false;
      }
    }
    return true;
  };
  EXPECT_TRUE(eventually([&] {
    tick();
    return allRecorded();
  }));
  // Every folder is watched again after the overflow.
  EXPECT_TRUE(eventually([&] { return monitor_->watchCount() == 6; }));
}

TEST_F(MonitorLiveTest, ACopyFolderMovedAwayAndPutBackIsWatchedAndComparedAgain) {
  writeFile(at("kept"), "kept");
  writeFile(at("sub/old"), "old");
  monitor_->start();
  ASSERT_TRUE(eventually([&] { return recorded("sub/old") && monitor_->watchCount() == 2; }));
  // Restored from a backup: the folder is moved aside and another put at its path, with the
  // copy's mark that the backup kept.
  TempDir outside;
  const auto away = outside / "away";
  std::filesystem::rename(root_, away);
  writeFile(at(".Velbor.Syncdir"), readFile(away / ".Velbor.Syncdir"));
  writeFile(at("kept"), "kept");
  writeFile(at("restored"), "restored");
  ASSERT_TRUE(eventually([&] { return recorded("restored") && stored("sub/old")->status() == 1; }));
  EXPECT_TRUE(recorded("kept"));
  writeFile(at("after"), "after");
  ASSERT_TRUE(eventually([&] { return recorded("after"); }));
  // What happens in the old folder is no change of the copy.
  writeFile(away / "stray", "stray");
  expectQuiet("sentinel");
  EXPECT_FALSE(stored("stray"));
}

// What the program itself makes in a copy, whatever the settings: the probe of the disk's
// permissions (a file with no name, which the kernel reports as "#<inode>"), a new mark written
// through a temporary file. None of it reaches the monitor, is logged as a change or counts as
// a file updated; a file truly named like the probe is recorded.
TEST_F(MonitorLiveTest, TheProgramsOwnProbesAndMarksAreNoChange) {
  std::filesystem::create_directories(at("sub"));
  monitor_->start();
  ASSERT_TRUE(eventually([&] { return recorded("sub") && monitor_->watchCount() == 2; }));
  for (const bool hidden : {false, true}) {
    QoConfig::sharedQoConfig().setSyncHiddenFile(hidden);
    QoFile::generateRegexExpress();
    takeIndexed();
    ::testing::internal::CaptureStderr();
    for (const std::string& folder : {root_, at("sub")}) {
      ModeKeeping::shared().clear();
      ModeKeeping::shared().learnAt(folder);
    }
    ASSERT_TRUE(SyncdirMark::markAs(*local_));
    const std::string sentinel = hidden ? "#2" : "#1";
    expectQuiet(sentinel);
    const std::string log = ::testing::internal::GetCapturedStderr();
    // Every name "#<digits>" the log gives is the file truly named so.
    for (size_t found = log.find("/#"); found != std::string::npos; found = log.find("/#", found + 1)) {
      EXPECT_EQ(log.substr(found + 1, log.find_first_not_of("0123456789", found + 2) - found - 1), sentinel) << log;
    }
    EXPECT_EQ(log.find("Velbor.Syncdir."), std::string::npos) << log;
    EXPECT_EQ(takeIndexed(), std::vector<std::string>{at(sentinel)});
  }
  QoConfig::sharedQoConfig().setSyncHiddenFile(false);
  QoFile::generateRegexExpress();
}

// Quitting in the middle of hashing a large file, in the start-up rescan and in the classifier:
// the monitor ends without reading the rest, and records nothing it did not read whole.
TEST_F(MonitorLiveTest, QuittingDoesNotWaitForALargeFileToBeHashed) {
  // Large, but sparse: it takes no room, only the time to read its zeros.
  constexpr off_t kLarge = off_t{16} << 30;
  const auto makeLarge = [&](const std::string& path) {
    writeFile(path, "");
    ASSERT_EQ(::truncate(path.c_str(), kLarge), 0);
  };
  // Waits until the file is opened for reading (its hashing begins).
  const auto waitForOpen = [&](const std::string& path, const std::function<void()>& begin) {
    const int watcher = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watcher, 0);
    ASSERT_GE(inotify_add_watch(watcher, path.c_str(), IN_OPEN), 0);
    begin();
    pollfd ready{watcher, POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 60000), 1);
    ::close(watcher);
  };

  makeLarge(at("at-start"));
  waitForOpen(at("at-start"), [&] { monitor_->start(); });
  Monitor::resetSharedMonitor();
  EXPECT_FALSE(stored("at-start"));

  // The next start compares what was left; a large file made meanwhile is hashed by the classifier.
  monitor_ = Monitor::sharedMonitor();
  std::filesystem::remove(at("at-start"));
  monitor_->start();
  ASSERT_TRUE(eventually([&] { return monitor_->watchCount() == 1; }));
  writeFile(at("small"), "small");
  ASSERT_TRUE(eventually([&] { return recorded("small"); }));
  // Made beside the copy, then moved in whole.
  const std::string beside = root_ + "-later";
  makeLarge(beside);
  waitForOpen(beside, [&] { std::filesystem::rename(beside, at("later")); });
  Monitor::resetSharedMonitor();
  EXPECT_FALSE(stored("later"));
}

std::vector<std::pair<std::string, std::string>> gSyncOnceRequests;
std::mutex gSyncOnceMutex;

SyncEngine::Pull recordSyncOnce(const std::string& localTreeUuid, const std::string& remoteTreeUuid) {
  std::lock_guard lock(gSyncOnceMutex);
  gSyncOnceRequests.emplace_back(localTreeUuid, remoteTreeUuid);
  return SyncEngine::Pull::kDone;
}

TEST_F(MonitorLiveTest, PeriodicSyncOnceAsksForReachablePairings) {
  const std::string secondRoot = (home_.path() / "second").string();
  auto second = copy(secondRoot, QoDevice::getDeviceLocal(), "S", "eeeeee-second");
  pair(local_, second);
  pair(local_, remote_);  // the peer's device is online
  auto offline = device(-1, "offline");
  offline->setIsOnline(false);
  offline->save();
  pair(local_, copy("/far", offline, "S", "ffffff-far"));
  QoConfig::sharedQoConfig().setDeviceUuid("local");
  {
    std::lock_guard lock(gSyncOnceMutex);
    gSyncOnceRequests.clear();
  }
  SyncEngine::ScopedOverride handler(&recordSyncOnce);
  monitor_->syncOnce();
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(gSyncOnceMutex);
    return gSyncOnceRequests.size() >= 2;
  }));
  std::lock_guard lock(gSyncOnceMutex);
  std::sort(gSyncOnceRequests.begin(), gSyncOnceRequests.end());
  const std::vector<std::pair<std::string, std::string>> expected{{local_->uuid(), remote_->uuid()},
                                                                  {local_->uuid(), second->uuid()}};
  EXPECT_EQ(gSyncOnceRequests, expected);
}

}  // namespace
}  // namespace velbor::test
