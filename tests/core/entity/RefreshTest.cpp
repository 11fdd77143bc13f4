#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <thread>

#include "EntityTestBase.h"
#include "core/state/QoNotices.h"
#include "core/state/SyncFileProcessBox.h"
#include "core/utils/QoUtils.h"
#include "framework/persistence/PersistenceTestSupport.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"
#include "support/ReadWatch.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

// One notice as an observer saw it: "FileChanged", or the index status with its total.
struct Notice {
  std::string what;
  int64_t total = 0;
  bool operator==(const Notice&) const = default;
};

class RefreshTest : public EntityTestBase {
 protected:
  void SetUp() override {
    EntityTestBase::SetUp();
    root_ = (home_.path() / "sync").string();
    fs::create_directories(root_);
    copy_ = copy(root_, device(0, "local"), "S", "aaaaaa-local");
    tokens_.push_back(QoNotices::observe<notice::SyncFileProcess>([this](const notice::SyncFileProcess& n) {
      const auto& box = n.box;
      static const char* kNames[] = {"prepare", "begin", "indexing", "end"};
      add({kNames[box->status], box->status == SyncFileIndexBegin ? box->total : 0});
    }));
    tokens_.push_back(QoNotices::observe<notice::FileChanged>([this](const notice::FileChanged& n) {
      EXPECT_EQ(n.copy, copy_);
      add({"FileChanged"});
    }));
  }
  void TearDown() override {
    for (auto token : tokens_) NotificationCenter::defaultCenter().removeObserver(token);
    EntityTestBase::TearDown();
  }

  void add(Notice notice) {
    std::lock_guard<std::mutex> lock(mutex_);
    notices_.push_back(std::move(notice));
    changed_.notify_all();
  }

  // Rescans and answers the notices it posted, with the indexing notices counted as one.
  std::vector<Notice> refresh() {
    copy_->refresh();
    return takeNotices();
  }
  std::vector<Notice> takeNotices() {
    QoNotify::notifyQueue()->sync([] {});
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Notice> seen;
    for (const Notice& notice : notices_) {
      if (notice.what == "indexing" && !seen.empty() && seen.back().what == "indexing") {
        ++seen.back().total;
      } else {
        seen.push_back(notice.what == "indexing" ? Notice{"indexing", 1} : notice);
      }
    }
    notices_.clear();
    return seen;
  }

  std::string at(const std::string& relative) const { return root_ + "/" + relative; }
  QoFile::Ptr stored(const std::string& relative) { return QoFile::getFileWithPath(at(relative)); }
  static void setMtime(const std::string& path, int64_t seconds, long nanoseconds = 0) {
    const timespec times[2] = {{0, UTIME_OMIT}, {seconds, nanoseconds}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }

  std::string root_;
  QoSyncdirCopy::Ptr copy_;
  std::vector<NotificationCenter::Token> tokens_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Notice> notices_;
};

TEST_F(RefreshTest, ASecondSaveOfTheSameSizeWithinOneSecondIsUpdated) {
  writeFile(at("a.txt"), "one");
  setMtime(at("a.txt"), 1700000000, 100000000);
  refresh();
  ASSERT_NE(stored("a.txt"), nullptr);
  writeFile(at("a.txt"), "two");
  setMtime(at("a.txt"), 1700000000, 600000000);
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"begin", 1}, {"indexing", 1}, {"FileChanged"}, {"end"}}));
  EXPECT_EQ(stored("a.txt")->contentModTime(), 1700000000600);
  EXPECT_EQ(stored("a.txt")->sha1(), *QoUtils::getSha1StringWithPath(at("a.txt")));
}

TEST_F(RefreshTest, NewChangedRemovedAndRestoredFiles) {
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"begin", 0}, {"end"}})) << "an empty copy changes nothing";

  writeFile(at("a.txt"), "one");
  writeFile(at("d/b.txt"), "two");
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"begin", 3}, {"indexing", 3}, {"FileChanged"}, {"end"}}));
  ASSERT_NE(stored("d/b.txt"), nullptr);
  EXPECT_EQ(stored("d")->type(), 1);
  EXPECT_EQ(stored("a.txt")->sha1().size(), 40u);
  EXPECT_EQ(copy_->getFileRelationWithFilePath(at("a.txt"))->vclock(), "1");

  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"begin", 0}, {"end"}})) << "nothing changed";

  // Content and size change within the same second counts; so does a permission change.
  const int64_t usnA = stored("a.txt")->usn();
  const auto mtimeA = stored("a.txt")->contentModTime();
  writeFile(at("a.txt"), "one, longer");
  setMtime(at("a.txt"), mtimeA / 1000, 999000000);
  fs::permissions(at("d/b.txt"), fs::perms(0600));
  const int32_t pkB = stored("d/b.txt")->pk();
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"begin", 2}, {"indexing", 2}, {"FileChanged"}, {"end"}}));
  EXPECT_GT(stored("a.txt")->usn(), usnA);
  EXPECT_EQ(stored("a.txt")->length(), 11);
  EXPECT_EQ(stored("d/b.txt")->unixAttr(), 0600);

  // Removed: marked removed, once.
  fs::remove(at("d/b.txt"));
  setMtime(at("d"), 1000);
  refresh();
  EXPECT_EQ(stored("d/b.txt")->status(), 1);
  EXPECT_EQ(stored("d")->contentModTime(), 1000000);
  const int64_t removedUsn = stored("d/b.txt")->usn();
  refresh();
  EXPECT_EQ(stored("d/b.txt")->usn(), removedUsn);

  // Restored: the same row comes back present.
  writeFile(at("d/b.txt"), "two again");
  setMtime(at("d"), 1000);
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"begin", 1}, {"indexing", 1}, {"FileChanged"}, {"end"}}));
  EXPECT_EQ(stored("d/b.txt")->status(), 0);
  EXPECT_EQ(stored("d/b.txt")->pk(), pkB);
}

TEST_F(RefreshTest, FilesAreHashedOutsideTheLockerAndNotRecordedAsTheyWereBeforeAChange) {
  writeFile(at("a"), "first");
  writeFile(at("b"), "removed soon");
  ReadWatch reads(root_);
  std::unique_lock<RecursiveLocker> held(WriteTransaction::locker());
  std::thread rescan([&] { copy_->refresh(); });
  const bool hashedWhileHeld = reads.waitUntilRead({"a", "b"});
  // Both change after they were hashed and before their records can be written.
  writeFile(at("a"), "second, longer");
  fs::remove(at("b"));
  held.unlock();
  rescan.join();
  EXPECT_TRUE(hashedWhileHeld) << "files are read while another thread holds the locker";
  ASSERT_NE(stored("a"), nullptr);
  EXPECT_EQ(stored("a")->length(), 14);
  EXPECT_EQ(stored("a")->sha1(), QoUtils::getSha1StringWithPath(at("a"))) << "hashed again";
  EXPECT_EQ(stored("b"), nullptr);
}

TEST_F(RefreshTest, AFailedChunkLosesOnlyItselfAndTheNextRescanRecordsIt) {
  constexpr int kFiles = 600;
  for (int i = 0; i < kFiles; ++i) writeFile(at(fmt::format("f{:03}", i)), "x");
  {
    RefusedCommits refused(2);
    copy_->refresh();
  }
  const int64_t recorded = QoFile::count();
  EXPECT_GT(recorded, 0) << "chunks before the failed one stay";
  EXPECT_LT(recorded, kFiles) << "the failed chunk is rolled back";
  EXPECT_GT(recorded, kFiles / 2) << "chunks after the failed one are written";
  copy_->refresh();
  EXPECT_EQ(QoFile::count(), kFiles);
}

TEST_F(RefreshTest, AStoppedRescanRecordsNothingItDidNotReadWhole) {
  writeFile(at("kept"), "kept");
  refresh();
  writeFile(at("new"), "new");
  std::stop_source quitting;
  quitting.request_stop();
  copy_->refresh(quitting.get_token());
  EXPECT_EQ(stored("kept")->status(), 0) << "what was not listed is not removed";
  EXPECT_EQ(stored("new"), nullptr);
  // Hashing ends as soon as the stop is asked for.
  EXPECT_EQ(QoUtils::getSha1StringWithPath(at("new"), quitting.get_token()), std::nullopt);
  refresh();
  EXPECT_EQ(stored("new")->sha1(), QoUtils::getSha1StringWithPath(at("new")));
}

TEST_F(RefreshTest, UnreadableRootDeletesNothing) {
  writeFile(at("a.txt"), "one");
  refresh();
  const int64_t usn = stored("a.txt")->usn();

  fs::rename(root_, root_ + ".unmounted");
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"end"}}));
  EXPECT_EQ(stored("a.txt")->status(), 0);

  writeFile(root_, "a file where the copy's folder was");
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"end"}}));
  EXPECT_EQ(stored("a.txt")->status(), 0);
  EXPECT_EQ(stored("a.txt")->usn(), usn);
}

TEST_F(RefreshTest, AnEmptyFolderWithoutTheMarkIsNotTheCopyAndDeletesNothing) {
  // A copy recorded before marks existed is marked on its first look, not taken as missing.
  writeFile(at("a.txt"), "one");
  refresh();
  const std::string mark = at(".Velbor.Syncdir");
  fs::remove(mark);
  writeFile(at("b.txt"), "two");
  refresh();
  EXPECT_TRUE(fs::is_regular_file(mark));
  ASSERT_NE(stored("b.txt"), nullptr);
  EXPECT_EQ(stored(".Velbor.Syncdir"), nullptr) << "the mark is never recorded";

  // Its disk not mounted: the mount point is an empty folder of the disk below.
  fs::remove_all(root_);
  fs::create_directories(root_);
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"end"}}));
  EXPECT_EQ(stored("a.txt")->status(), 0);
  EXPECT_EQ(stored("b.txt")->status(), 0);
  EXPECT_FALSE(fs::exists(mark)) << "the empty mount point is never marked";

  // Even with the hidden files synchronised the mark stays out of the records.
  QoConfig::sharedQoConfig().setSyncHiddenFile(true);
  QoFile::generateRegexExpress();
  writeFile(at("a.txt"), "one");
  writeFile(at("b.txt"), "two");
  refresh();
  EXPECT_TRUE(fs::is_regular_file(mark));
  EXPECT_EQ(stored(".Velbor.Syncdir"), nullptr);
  EXPECT_TRUE(QoFile::matchIgnoreFilter(mark));
  QoConfig::sharedQoConfig().setSyncHiddenFile(false);
  QoFile::generateRegexExpress();

  // A copy with nothing recorded yet is simply marked, empty or not.
  const std::string fresh = (home_.path() / "fresh").string();
  fs::create_directories(fresh);
  copy(fresh, device(0, "local"), "T", "bbbbbb-fresh")->refresh();
  EXPECT_TRUE(fs::is_regular_file(fresh + "/.Velbor.Syncdir"));
}

TEST_F(RefreshTest, AnotherDiskInTheCopysPlaceIsNotTheCopyAndDeletesNothing) {
  writeFile(at("a.txt"), "one");
  writeFile(at("docs/b.txt"), "two");
  refresh();
  const std::string mark = at(".Velbor.Syncdir");
  ASSERT_TRUE(fs::is_regular_file(mark));

  // Another disk mounted at the same place (a stick of the same label, one just formatted):
  // what it holds is none of what was recorded.
  const std::string disk = root_ + ".disk";
  fs::rename(root_, disk);
  fs::create_directories(at("lost+found"));
  writeFile(at("holiday.jpg"), "other");
  refresh();
  EXPECT_FALSE(fs::exists(mark)) << "marked, every file recorded would be taken as removed";
  EXPECT_EQ(stored("a.txt")->status(), 0);
  EXPECT_EQ(stored("docs/b.txt")->status(), 0);
  EXPECT_EQ(stored("holiday.jpg"), nullptr);

  // The copy's own disk, its mark lost: it holds what was recorded and is marked again.
  fs::remove_all(root_);
  fs::rename(disk, root_);
  fs::remove(mark);
  refresh();
  EXPECT_TRUE(fs::is_regular_file(mark));
  EXPECT_EQ(stored("a.txt")->status(), 0);
}

TEST_F(RefreshTest, OnlySynchronisedEntriesCountAndNamesCompareByteWise) {
  writeFile(at("A.txt"), "upper");
  writeFile(at("a.txt"), "lower");
  writeFile(at("B"), "b");
  writeFile(at(".hidden"), "h");
  writeFile(at("d/.x.Velbor.Download"), "partial");
  ASSERT_EQ(symlink("/etc", at("c-link").c_str()), 0);
  refresh();
  for (const char* name : {"A.txt", "a.txt", "B", "d"}) EXPECT_NE(stored(name), nullptr) << name;
  EXPECT_EQ(stored("c-link"), nullptr);
  EXPECT_EQ(stored(".hidden"), nullptr);
  EXPECT_EQ(QoFile::count(), 4);

  // The link sits between records; entries around it still compare normally.
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"begin", 0}, {"end"}}));

  QoConfig::sharedQoConfig().setSyncHiddenFile(true);
  QoFile::generateRegexExpress();
  refresh();
  EXPECT_NE(stored(".hidden"), nullptr);
  EXPECT_EQ(stored("d/.x.Velbor.Download"), nullptr);
}

TEST_F(RefreshTest, SecondRescanOfTheSameCopyReturnsAtOnce) {
  writeFile(at("a.txt"), "one");
  copy_->setRefreshing(true);
  EXPECT_TRUE(refresh().empty());
  EXPECT_EQ(stored("a.txt"), nullptr);
  copy_->setRefreshing(false);

  // Another object of the same copy, as a second reader of the table builds it.
  const QoSyncdirCopy::Ptr same = QoSyncdirCopy::getSyncdirCopyWithUuid(copy_->uuid());
  ASSERT_NE(same, copy_);
  for (const QoSyncdirCopy::Ptr& second : {copy_, same}) {
    // A rescan holds at its first batch while this thread holds the transaction locker.
    std::unique_lock<RecursiveLocker> transaction(WriteTransaction::locker());
    std::thread running([this] { copy_->refresh(); });
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ASSERT_TRUE(changed_.wait_for(lock, std::chrono::seconds(30), [this] { return !notices_.empty(); }));
    }
    second->refresh();
    transaction.unlock();
    running.join();
    EXPECT_EQ(takeNotices(),
              (std::vector<Notice>{{"prepare"}, {"begin", 1}, {"indexing", 1}, {"FileChanged"}, {"end"}}));
    EXPECT_EQ(copy_->getFileRelationWithFilePath(at("a.txt"))->vclock(), "1") << "recorded once";
    fs::remove(at("a.txt"));
    refresh();
    writeFile(at("a.txt"), "one");
    QoFileAndSyncdirCopyRelation::deleteObjectsByCriteria("");
    QoFile::deleteObjectsByCriteria("");
  }
}

TEST_F(RefreshTest, RecordedItemReplacedByASpecialItemIsMarkedRemoved) {
  const std::string outside = (home_.path() / "outside").string();
  writeFile(outside + "/d/c.txt", "outside the copy");
  writeFile(outside + "/l.txt", "outside the copy");
  writeFile(at("l.txt"), "link soon");
  writeFile(at("p.txt"), "pipe soon");
  writeFile(at("d/c.txt"), "folder soon a link");
  writeFile(at("kept.txt"), "stays");
  refresh();
  ASSERT_EQ(QoFile::count(), 5);

  fs::remove(at("l.txt"));
  fs::create_symlink(outside + "/l.txt", at("l.txt"));
  fs::remove(at("p.txt"));
  ASSERT_EQ(mkfifo(at("p.txt").c_str(), 0600), 0);
  fs::remove_all(at("d"));
  fs::create_directory_symlink(outside + "/d", at("d"));
  refresh();
  for (const char* name : {"l.txt", "p.txt", "d", "d/c.txt"}) EXPECT_EQ(stored(name)->status(), 1) << name;
  EXPECT_EQ(stored("kept.txt")->status(), 0);
  EXPECT_EQ(readFile(outside + "/d/c.txt"), "outside the copy");
}

}  // namespace
}  // namespace velbor::test
