#include "core/state/DataSource.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/state/Lockers.h"
#include "platform/Exception.h"
#include "platform/UserDefaults.h"
#include "support/FreshState.h"

namespace velbor {
namespace {

class DataSourceTest : public test::FreshStateTest {
 protected:
  DataSource& ds() { return DataSource::sharedDataSource(); }
};

TEST_F(DataSourceTest, UsnCountsFromOneAndSurvivesRestart) {
  EXPECT_EQ(ds().getCurrentUsn(), 0);
  EXPECT_EQ(ds().getAutoUsn(), 1);
  EXPECT_EQ(ds().getAutoUsn(), 2);
  EXPECT_EQ(ds().getCurrentUsn(), 2);

  // Usns are reserved on disk in blocks: after a restart (or a crash, which writes nothing
  // more) numbering goes on above every usn handed out, without reusing one.
  std::set<int64_t> handedOut{1, 2};
  for (int round = 0; round < 3; ++round) {
    restart();
    int64_t floor = *handedOut.rbegin();
    EXPECT_GE(ds().getCurrentUsn(), floor);
    for (int i = 0; i < 300; ++i) {
      int64_t usn = ds().getAutoUsn();
      EXPECT_GT(usn, floor);
      EXPECT_TRUE(handedOut.insert(usn).second) << usn;
      floor = usn;
    }
    EXPECT_EQ(ds().getCurrentUsn(), floor);
  }

  ds().resetUsn();
  EXPECT_EQ(ds().getCurrentUsn(), 0);
  EXPECT_EQ(ds().getAutoUsn(), 1);
}

TEST_F(DataSourceTest, UsnIsUniqueAcrossThreads) {
  constexpr int kThreads = 8;
  constexpr int kEach = 40;
  std::mutex mutex;
  std::vector<int64_t> all;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      std::vector<int64_t> mine;
      for (int i = 0; i < kEach; ++i) mine.push_back(ds().getAutoUsn());
      EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
      std::lock_guard lock(mutex);
      all.insert(all.end(), mine.begin(), mine.end());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<int64_t> unique(all.begin(), all.end());
  EXPECT_EQ(unique.size(), all.size());
  EXPECT_EQ(*unique.begin(), 1);
  EXPECT_EQ(*unique.rbegin(), kThreads * kEach);
  // The ceiling on disk covered every value before it was returned.
  restart();
  EXPECT_GE(ds().getCurrentUsn(), kThreads * kEach);
}

TEST_F(DataSourceTest, PulledUsnMarksAreKeptPerPairingAndResetTogether) {
  EXPECT_EQ(ds().getSyncdirCopyMaxUsnWithRelaionKey("AAAAAA-BBBBBB"), 0);
  ds().setSyncdirCopyMaxUsnWithRelationKey("AAAAAA-BBBBBB", 17);
  ds().setSyncdirCopyMaxUsnWithRelationKey("CCCCCC-DDDDDD", 5);
  ds().setSegmentControl(0, true);
  restart();
  EXPECT_EQ(ds().getSyncdirCopyMaxUsnWithRelaionKey("AAAAAA-BBBBBB"), 17);
  auto suite = UserDefaults::suiteNamed("DataSource");
  EXPECT_TRUE(suite->hasKey("syncdirCopyMaxUsn-AAAAAA-BBBBBB"));

  ds().resetSyncdirCopyMaxUsn();
  EXPECT_EQ(ds().getSyncdirCopyMaxUsnWithRelaionKey("AAAAAA-BBBBBB"), 0);
  EXPECT_EQ(ds().getSyncdirCopyMaxUsnWithRelaionKey("CCCCCC-DDDDDD"), 0);
  EXPECT_TRUE(ds().getSegmentControl(0));
}

// What stood at a mark goes with it: a mark stored alone, or reset, leaves it unknown.
TEST_F(DataSourceTest, TheRecordAtAMarkIsKeptWithItAndGoesWithIt) {
  const std::string key = "AAAAAA-BBBBBB";
  const std::string record("\x01\x00\xff record", 10);
  EXPECT_EQ(ds().getSyncdirCopyMarkRecordWithRelationKey(key), "");
  ds().setSyncdirCopyMaxUsnWithRelationKey(key, 17, record);
  restart();
  EXPECT_EQ(ds().getSyncdirCopyMaxUsnWithRelaionKey(key), 17);
  EXPECT_EQ(ds().getSyncdirCopyMarkRecordWithRelationKey(key), record);
  ds().setSyncdirCopyMaxUsnWithRelationKey(key, 20);
  EXPECT_EQ(ds().getSyncdirCopyMarkRecordWithRelationKey(key), "");
  ds().setSyncdirCopyMaxUsnWithRelationKey(key, 21, record);
  ds().resetSyncdirCopyMaxUsn();
  EXPECT_EQ(ds().getSyncdirCopyMarkRecordWithRelationKey(key), "");
}

TEST_F(DataSourceTest, FailedUsnKeepsTheLowestMark) {
  const std::string key = "AAAAAA-BBBBBB";
  EXPECT_EQ(ds().getSyncdirCopyRelationFailedUsn(key), 0);
  ds().setSyncdirCopyRelationFailedUsn(key, 50);
  ds().setSyncdirCopyRelationFailedUsn(key, 30);
  EXPECT_EQ(ds().getSyncdirCopyRelationFailedUsn(key), 30);
  ds().setSyncdirCopyRelationFailedUsn(key, 40);
  EXPECT_EQ(ds().getSyncdirCopyRelationFailedUsn(key), 30);
  EXPECT_EQ(ds().getSyncdirCopyRelationFailedUsn("CCCCCC-DDDDDD"), 0);

  ds().resetSyncdirCopyRelationFailedUsn(key);
  EXPECT_EQ(ds().getSyncdirCopyRelationFailedUsn(key), 0);
  ds().setSyncdirCopyRelationFailedUsn(key, 40);
  EXPECT_EQ(ds().getSyncdirCopyRelationFailedUsn(key), 40);

  EXPECT_THROW(ds().getSyncdirCopyRelationFailedUsn(""), Exception);
}

TEST_F(DataSourceTest, SyncOnceFlagsAndRequestsPerPairing) {
  EXPECT_FALSE(ds().isDoingSyncOnce(7));
  ds().setDoingSyncOnce(7);
  EXPECT_TRUE(ds().isDoingSyncOnce(7));
  EXPECT_FALSE(ds().isDoingSyncOnce(8));
  ds().setStopSyncOnce(7);
  EXPECT_FALSE(ds().isDoingSyncOnce(7));

  EXPECT_FALSE(ds().hasAnySyncOnceRequest(7));
  ds().appendSyncOnceQueue(7);
  ds().appendSyncOnceQueue(7);
  EXPECT_TRUE(ds().hasAnySyncOnceRequest(7));
  EXPECT_FALSE(ds().hasAnySyncOnceRequest(8));
  ds().cleanSyncOnceQueue(7);
  EXPECT_FALSE(ds().hasAnySyncOnceRequest(7));
}

TEST_F(DataSourceTest, LockersAreOnePerNameAndSharedWithTheDatabaseLayer) {
  EXPECT_EQ(&ds().getLocker("transaction"), &ds().getLocker("transaction"));
  EXPECT_EQ(&ds().getLocker("transaction"), &WriteTransaction::locker());
  EXPECT_EQ(&ds().getLocker("syncOnce", 7), &ds().getLocker("syncOnce-7"));
  EXPECT_NE(&ds().getLocker("syncOnce", 7), &ds().getLocker("syncOnce", 8));
  EXPECT_THROW(ds().getLocker(""), Exception);

  // Concurrent first requests of a new name get the same object.
  std::vector<RecursiveLocker*> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] { seen[i] = &ds().getLocker("fresh-locker"); });
  }
  for (auto& thread : threads) thread.join();
  for (auto* locker : seen) EXPECT_EQ(locker, seen.front());

  // A locker outlives a restart of the runtime state: a holder keeps excluding others.
  std::lock_guard held(ds().getLocker("monitor"));
  restart();
  std::thread other([&] { EXPECT_FALSE(ds().getLocker("monitor").try_lock()); });
  other.join();
}

TEST_F(DataSourceTest, NamedLockersAreTheTypedOnes) {
  EXPECT_EQ(&ds().getLocker("transaction"), &Lockers::transaction());
  EXPECT_EQ(&ds().getLocker("monitor"), &Lockers::monitor());
  EXPECT_EQ(&ds().getLocker("failedUsn"), &Lockers::failedUsn());
  EXPECT_EQ(&ds().getLocker("syncOnce", -3), &Lockers::syncOnce(-3));
  EXPECT_EQ(&ds().getLocker("trust-AAAAAA"), &Lockers::trust("AAAAAA"));
  // Names that only look like a keyed one are lockers of their own.
  EXPECT_NE(&ds().getLocker("syncOnce-07"), &Lockers::syncOnce(7));
  EXPECT_NE(&ds().getLocker("syncOnce-"), &Lockers::syncOnce(0));
  EXPECT_NE(&ds().getLocker("syncOnce-99999999999"), &ds().getLocker("syncOnce-1410065407"));
}

TEST_F(DataSourceTest, TypedLockersAreOnePerKeyAndSharedWithTheDatabaseLayer) {
  EXPECT_EQ(&Lockers::transaction(), &Lockers::transaction());
  EXPECT_EQ(&Lockers::transaction(), &WriteTransaction::locker());
  EXPECT_EQ(&Lockers::syncOnce(7), &Lockers::syncOnce(7));
  EXPECT_NE(&Lockers::syncOnce(7), &Lockers::syncOnce(8));
  EXPECT_EQ(&Lockers::trust("AAAAAA"), &Lockers::trust("AAAAAA"));
  EXPECT_NE(&Lockers::trust("AAAAAA"), &Lockers::trust("BBBBBB"));
  EXPECT_NE(&Lockers::monitor(), &Lockers::failedUsn());

  // Concurrent first requests of a new key get the same object.
  std::vector<RecursiveLocker*> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] { seen[i] = &Lockers::trust("fresh-locker"); });
  }
  for (auto& thread : threads) thread.join();
  for (auto* locker : seen) EXPECT_EQ(locker, seen.front());

  // A locker outlives a restart of the runtime state: a holder keeps excluding others.
  std::lock_guard held(Lockers::monitor());
  restart();
  std::thread other([&] { EXPECT_FALSE(Lockers::monitor().try_lock()); });
  other.join();
}

TEST_F(DataSourceTest, SegmentControlIsInitedByIndexZeroOnly) {
  EXPECT_FALSE(ds().isSegmentControlInited());
  EXPECT_FALSE(ds().getSegmentControl(1));
  ds().setSegmentControl(1, true);
  EXPECT_FALSE(ds().isSegmentControlInited());
  EXPECT_TRUE(ds().getSegmentControl(1));
  ds().setSegmentControl(0, false);
  EXPECT_TRUE(ds().isSegmentControlInited());
  restart();
  EXPECT_TRUE(ds().isSegmentControlInited());
  EXPECT_TRUE(ds().getSegmentControl(1));
  EXPECT_FALSE(ds().getSegmentControl(0));
}

}  // namespace
}  // namespace velbor
