// More changes than the monitor keeps one by one: folders, then the whole copy, are compared
// instead, a bounded batch at a time, and no change is lost.

#include <algorithm>
#include <atomic>
#include <mutex>

#include "MonitorTestBase.h"
#include "core/state/SyncFileProcessBox.h"
#include "core/state/SyncdirPresence.h"

namespace velbor::test {
namespace {

using Flags = FileEventStream::Flag;

class MonitorBoundsTest : public MonitorTestBase {
 protected:
  void SetUp() override {
    MonitorTestBase::SetUp();
    progress_ = QoNotices::observe<notice::SyncFileProcess>([this](const notice::SyncFileProcess& n) {
      if (!n.box || n.box->status != SyncFileIndexBegin) return;
      std::lock_guard lock(mutex_);
      largestBatch_ = std::max(largestBatch_, n.box->total);
    });
  }

  void TearDown() override {
    NotificationCenter::defaultCenter().removeObserver(progress_);
    MonitorTestBase::TearDown();
  }

  // The most paths one transaction of the classifier took, once every notice is delivered.
  int64_t largestBatch() {
    QoNotify::resetNotifyQueue();
    std::lock_guard lock(mutex_);
    return largestBatch_;
  }

  // Bounds the monitor from now on; what was indexed before is not counted.
  void bound(size_t changedPaths, size_t rescanFolders, size_t batchPaths) {
    monitor_->setBounds(Monitor::Bounds{changedPaths, rescanFolders, batchPaths});
    QoNotify::resetNotifyQueue();
    std::lock_guard lock(mutex_);
    largestBatch_ = 0;
  }

  // Ticks until a tick records nothing more.
  void tickUntilQuiet() {
    for (int round = 0; round < 20; ++round) {
      const int64_t before = usn();
      tick();
      if (usn() == before) return;
    }
  }

  NotificationCenter::Token progress_ = 0;
  std::mutex mutex_;
  int64_t largestBatch_ = 0;
};

TEST_F(MonitorBoundsTest, AFullChangeSetComparesFoldersAndRecordsEveryFile) {
  std::filesystem::create_directories(at("a"));
  std::filesystem::create_directories(at("b"));
  writeFile(at("b/old"), "old");
  load();
  ASSERT_TRUE(recorded("b/old"));
  bound(4, 100, 3);
  const int noticesBefore = notices_.count();

  std::vector<std::string> created;
  for (int i = 0; i < 10; ++i) {
    for (const char* folder : {"a/", "b/"}) created.push_back(folder + std::to_string(i));
  }
  created.push_back("top");
  for (const auto& relative : created) writeFile(at(relative), relative);
  std::filesystem::remove(at("b/old"));
  report(created, FileEventStream::kItemIsFile | FileEventStream::kItemCreated);
  report({"b/old"}, FileEventStream::kItemIsFile | FileEventStream::kItemRemoved);
  EXPECT_LE(changeSet().size(), 4u);

  tick();
  for (const auto& relative : created) EXPECT_TRUE(recorded(relative)) << relative;
  EXPECT_EQ(stored("b/old")->status(), 1);
  EXPECT_TRUE(changeSet().empty());
  EXPECT_LE(largestBatch(), 3);
  // One tick, one notice, however many batches it took.
  EXPECT_EQ(notices_.count(), noticesBefore + 1);
}

TEST_F(MonitorBoundsTest, TooManyFoldersComparesTheWholeCopyFolderByFolder) {
  for (int i = 0; i < 5; ++i) writeFile(at("f" + std::to_string(i) + "/keep"), "keep");
  writeFile(at("gone/x"), "x");
  writeFile(at("gone/deeper/y"), "y");
  writeFile(at("was-dir/z"), "z");
  load();
  ASSERT_TRUE(recorded("gone/deeper/y"));
  bound(1, 2, 3);

  std::vector<std::string> created;
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 3; ++j) created.push_back("f" + std::to_string(i) + "/n" + std::to_string(j));
  }
  for (const auto& relative : created) writeFile(at(relative), relative);
  std::filesystem::remove_all(at("gone"));
  std::filesystem::remove_all(at("was-dir"));
  writeFile(at("was-dir"), "now a file");
  report(created, FileEventStream::kItemIsFile | FileEventStream::kItemCreated);
  report({"gone", "was-dir"}, FileEventStream::kItemIsDir | FileEventStream::kItemRemoved);

  tick();
  for (const auto& relative : created) EXPECT_TRUE(recorded(relative)) << relative;
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(recorded("f" + std::to_string(i) + "/keep"));
  for (const char* relative : {"gone", "gone/x", "gone/deeper", "gone/deeper/y", "was-dir/z"}) {
    ASSERT_TRUE(stored(relative)) << relative;
    EXPECT_EQ(stored(relative)->status(), 1) << relative;
  }
  ASSERT_TRUE(recorded("was-dir"));
  EXPECT_EQ(stored("was-dir")->type(), 0);
  EXPECT_LE(largestBatch(), 3);

  // Nothing left to find: comparing again records nothing.
  const int64_t after = usn();
  tick();
  EXPECT_EQ(usn(), after);
}

TEST_F(MonitorBoundsTest, LostEventsAreFoundByComparingTheCopyInBatches) {
  writeFile(at("stays"), "s");
  writeFile(at("removed/r"), "r");
  load();
  bound(20000, 4000, 2);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 3; ++j) writeFile(at("n" + std::to_string(i) + "/s/" + std::to_string(j)), "new");
  }
  std::filesystem::remove_all(at("removed"));
  monitor_->scanPaths({Event{root_, ++eventId_, Flags::kMustScanSubDirs | Flags::kItemIsDir}});

  tickUntilQuiet();
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(recorded("n" + std::to_string(i) + "/s"));
    for (int j = 0; j < 3; ++j) EXPECT_TRUE(recorded("n" + std::to_string(i) + "/s/" + std::to_string(j)));
  }
  EXPECT_TRUE(recorded("stays"));
  EXPECT_EQ(stored("removed/r")->status(), 1);
  EXPECT_EQ(stored("removed")->status(), 1);
  // A new folder's entries join its batch only while the batch has room.
  EXPECT_LE(largestBatch(), 2 + 3);
}

TEST_F(MonitorBoundsTest, AFolderMovedInWholeIsListedOneLevelAtATime) {
  load();
  bound(20000, 4000, 2);
  TempDir outside;
  std::vector<std::string> inside;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) inside.push_back("d/sub" + std::to_string(i) + "/" + std::to_string(j));
  }
  for (const auto& relative : inside) writeFile(outside / relative, relative);
  std::filesystem::rename(outside / "d", at("d"));
  report({"d"}, FileEventStream::kItemIsDir | FileEventStream::kItemRenamed);

  tickUntilQuiet();
  EXPECT_TRUE(recorded("d"));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(recorded("d/sub" + std::to_string(i)));
  for (const auto& relative : inside) EXPECT_TRUE(recorded(relative)) << relative;
  EXPECT_LE(largestBatch(), 2 + 3);
}

TEST_F(MonitorBoundsTest, AFolderNotWatchedIsComparedWithoutTheRestOfTheCopy) {
  writeFile(at("a/deep/old"), "old");
  writeFile(at("b/x"), "x");
  load();
  writeFile(at("a/deep/new"), "new");
  writeFile(at("a/deep/deeper/f"), "f");
  std::filesystem::remove(at("a/deep/old"));
  writeFile(at("b/unreported"), "u");
  monitor_->scanPaths({Event{at("a/deep"), ++eventId_, Flags::kMustScanSubDirs | Flags::kItemIsDir}});
  tickUntilQuiet();
  EXPECT_TRUE(recorded("a/deep/new"));
  EXPECT_TRUE(recorded("a/deep/deeper/f"));
  EXPECT_EQ(stored("a/deep/old")->status(), 1);
  EXPECT_FALSE(stored("b/unreported")) << "the rest of the copy has events of its own";
}

TEST_F(MonitorBoundsTest, TheListenerWatchesNoMoreFoldersThanItsBound) {
  std::filesystem::create_directories(at("a/b/c"));
  load();
  bound(20000, 4000, 1000);
  Monitor::Bounds bounds{20000, 4000, 1000};
  bounds.watches = 2;
  monitor_->setBounds(bounds);
  monitor_->listenFileSystem();
  EXPECT_EQ(monitor_->watchCount(), 2u);
}

TEST_F(MonitorBoundsTest, ACopyWhoseFolderIsGoneKeepsItsRecords) {
  writeFile(at("top"), "t");
  writeFile(at("d/inner"), "i");
  load();
  ASSERT_TRUE(recorded("d/inner"));
  bound(1, 1, 2);
  // The whole folder moved away (or its disk unmounted): nothing in it was removed.
  const std::string away = root_ + ".away";
  std::filesystem::rename(root_, away);
  // A full change set compares the root's own entries; lost events compare the whole copy.
  look({"top", "d/inner"}, FileEventStream::kItemIsFile | FileEventStream::kItemModified);
  monitor_->scanPaths({Event{root_, ++eventId_, Flags::kMustScanSubDirs | Flags::kItemIsDir}});
  tick();
  std::filesystem::rename(away, root_);
  for (const char* relative : {"top", "d", "d/inner"}) EXPECT_TRUE(recorded(relative)) << relative;
}

TEST_F(MonitorBoundsTest, AnEmptyMountPointIsMissingAndTheCopyResumesWhenItsDiskIsBack) {
  writeFile(at("top"), "t");
  writeFile(at("d/inner"), "i");
  load();
  ASSERT_TRUE(recorded("d/inner"));
  std::atomic<int> missingNotices{0};
  const auto token = QoNotices::observe<notice::SyncdirMissing>([&](const notice::SyncdirMissing& n) {
    EXPECT_EQ(n.path, root_);
    ++missingNotices;
  });

  // The disk is not mounted: its mount point, an empty folder, stands where the copy was.
  const std::string disk = root_ + ".disk";
  std::filesystem::rename(root_, disk);
  std::filesystem::create_directories(root_);
  look({"top", "d/inner"}, FileEventStream::kItemIsFile | FileEventStream::kItemRemoved);
  monitor_->scanPaths({Event{root_, ++eventId_, Flags::kMustScanSubDirs | Flags::kItemIsDir}});
  tick();
  load();
  for (const char* relative : {"top", "d", "d/inner"}) EXPECT_TRUE(recorded(relative)) << relative;
  EXPECT_TRUE(SyncdirPresence::shared().isMissing(local_->uuid()));
  QoNotify::resetNotifyQueue();
  EXPECT_EQ(missingNotices, 1) << "said once, not at every look";

  // Mounted again: found by the classifier's look, compared and watched without anyone asking.
  std::filesystem::remove(root_);
  std::filesystem::rename(disk, root_);
  writeFile(at("while-away"), "w");
  tick();
  EXPECT_FALSE(SyncdirPresence::shared().isMissing(local_->uuid()));
  EXPECT_TRUE(eventually([&] { return recorded("while-away"); }));
  for (const char* relative : {"top", "d", "d/inner"}) EXPECT_TRUE(recorded(relative)) << relative;

  // Gone again, and found back by a pull's look before the monitor's own: the monitor still
  // compares and watches it again.
  std::filesystem::rename(root_, disk);
  std::filesystem::create_directories(root_);
  monitor_->scanPaths({Event{root_, ++eventId_, Flags::kMustScanSubDirs | Flags::kItemIsDir}});
  tick();
  ASSERT_TRUE(SyncdirPresence::shared().isMissing(local_->uuid()));
  writeFile(disk + "/made-while-away", "m");
  tick();
  std::filesystem::remove(root_);
  std::filesystem::rename(disk, root_);
  ASSERT_TRUE(SyncdirPresence::shared().check(local_));
  tick();
  EXPECT_TRUE(eventually([&] { return recorded("made-while-away"); }));

  // Gone while nothing is compared or pulled: the end of the root's watch tells at once.
  std::filesystem::rename(root_, disk);
  monitor_->scanPaths({Event{root_, ++eventId_, Flags::kRootChanged | Flags::kItemIsDir}});
  EXPECT_TRUE(eventually([&] { return SyncdirPresence::shared().isMissing(local_->uuid()); }));
  std::filesystem::rename(disk, root_);
  NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(MonitorBoundsTest, ABatchThatFailsPutsItsPathsBackWithinTheBound) {
  load();
  bound(4, 100, 3);
  column(
      "CREATE TRIGGER refuse BEFORE INSERT ON qo_file WHEN NEW.path LIKE '%boom%' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  for (int i = 0; i < 12; ++i) writeFile(at("n/boom" + std::to_string(i)), "b");
  monitor_->scanPaths({Event{root_, ++eventId_, Flags::kMustScanSubDirs | Flags::kItemIsDir}});
  tick();
  EXPECT_LE(changeSet().size(), 4u);
  column("DROP TRIGGER refuse");
  tickUntilQuiet();
  for (int i = 0; i < 12; ++i) EXPECT_TRUE(recorded("n/boom" + std::to_string(i))) << i;
  EXPECT_TRUE(changeSet().empty());
}

}  // namespace
}  // namespace velbor::test
