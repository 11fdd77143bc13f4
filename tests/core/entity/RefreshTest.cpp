#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <thread>

#include "EntityTestBase.h"
#include "core/entity/SyncdirMark.h"
#include "core/state/QoNotices.h"
#include "core/state/SyncFileProcessBox.h"
#include "core/utils/QoUtils.h"
#include "framework/persistence/PersistenceTestSupport.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
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

TEST_F(RefreshTest, TheMarkNamesItsCopyAndAFolderWithoutItIsNotTheCopy) {
  writeFile(at("a.txt"), "one");
  writeFile(at("b.txt"), "two");
  refresh();
  const std::string mark = at(".Velbor.Syncdir");
  ASSERT_TRUE(fs::is_regular_file(mark));
  EXPECT_EQ(readFile(mark), copy_->uuid() + "\n") << "the mark says whose folder it is";
  EXPECT_EQ(stored(".Velbor.Syncdir"), nullptr) << "the mark is never recorded";

  // Its disk not mounted: the mount point is an empty folder of the disk below.
  const std::string disk = root_ + ".disk";
  fs::rename(root_, disk);
  fs::create_directories(root_);
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"end"}}));
  EXPECT_FALSE(fs::exists(mark)) << "the empty mount point is never marked";

  // Another disk there that holds files of the same names but no mark: where this copy had
  // a mark, a folder without it is not the copy's, whatever it holds.
  writeFile(at("a.txt"), "other");
  writeFile(at("b.txt"), "two");
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"end"}}));
  EXPECT_FALSE(fs::exists(mark));

  // A folder copied from another synced one (cp -a, rsync -a) carries that copy's mark.
  writeFile(mark, "0a6d4c2e-1b1f-4d0c-9a8e-2f3b5c6d7e8f\n");
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"end"}}));
  EXPECT_EQ(readFile(mark), "0a6d4c2e-1b1f-4d0c-9a8e-2f3b5c6d7e8f\n") << "another copy's mark is left as it is";
  EXPECT_EQ(stored("a.txt")->status(), 0);
  EXPECT_EQ(stored("b.txt")->status(), 0);

  // Told by hand that this is the copy's folder again: it is compared from then on.
  writeFile(mark, copy_->uuid() + "\n");
  refresh();
  EXPECT_EQ(stored("a.txt")->sha1(), *QoUtils::getSha1StringWithPath(at("a.txt")));

  // The copy's own disk back, even with the hidden files synchronised: the mark and its
  // temporary files stay out of the records.
  fs::remove_all(root_);
  fs::rename(disk, root_);
  QoConfig::sharedQoConfig().setSyncHiddenFile(true);
  QoFile::generateRegexExpress();
  writeFile(at("c.txt"), "three");
  refresh();
  EXPECT_EQ(stored("a.txt")->sha1(), *QoUtils::getSha1StringWithPath(at("a.txt")));
  EXPECT_NE(stored("c.txt"), nullptr);
  EXPECT_EQ(stored(".Velbor.Syncdir"), nullptr);
  EXPECT_TRUE(QoFile::matchIgnoreFilter(mark));
  EXPECT_TRUE(QoFile::matchIgnoreFilter(mark + ".a1b2c3"));
  QoConfig::sharedQoConfig().setSyncHiddenFile(false);
  QoFile::generateRegexExpress();

  // A copy with nothing recorded yet is simply marked, empty or not.
  const std::string fresh = (home_.path() / "fresh").string();
  fs::create_directories(fresh);
  const auto freshCopy = copy(fresh, device(0, "local"), "T", "bbbbbb-fresh");
  freshCopy->refresh();
  EXPECT_EQ(readFile(fresh + "/.Velbor.Syncdir"), "bbbbbb-fresh\n");
}

TEST_F(RefreshTest, ACopyMarkedBeforeMarksNamedTheirCopyIsMarkedOnlyOnEvidence) {
  // Recorded by an earlier version: an empty mark, or none, and nothing known of marks.
  const auto forgetMarks = [&] {
    UserDefaults::suiteNamed("DataSource")->removeObjectForKey("Marked-" + copy_->uuid());
  };
  const std::string mark = at(".Velbor.Syncdir");
  writeFile(at("lost+found/.keep"), "");
  writeFile(at("DCIM/IMG_0001.JPG"), "picture");
  writeFile(at("notes.txt"), "notes");
  refresh();
  ASSERT_NE(stored("notes.txt"), nullptr);
  forgetMarks();
  writeFile(mark, "");

  // A spare disk in its place: the same top-level names every such disk has, and a file of a
  // recorded name but another content. Names prove nothing.
  const std::string disk = root_ + ".disk";
  fs::rename(root_, disk);
  writeFile(at("lost+found/.keep"), "");
  writeFile(at("DCIM/IMG_0001.JPG"), "another picture");
  writeFile(at("notes.txt"), "other");
  writeFile(at("new.txt"), "new");
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"end"}}));
  EXPECT_FALSE(fs::exists(mark)) << "a spare disk is never marked";
  EXPECT_EQ(stored("notes.txt")->status(), 0);
  EXPECT_EQ(stored("DCIM/IMG_0001.JPG")->status(), 0);
  EXPECT_EQ(stored("new.txt"), nullptr);

  // Its own disk back, with its empty mark of old: a recorded file is there as recorded.
  fs::remove_all(root_);
  fs::rename(disk, root_);
  writeFile(at("later.txt"), "later");
  refresh();
  EXPECT_EQ(readFile(mark), copy_->uuid() + "\n");
  EXPECT_NE(stored("later.txt"), nullptr);
  EXPECT_EQ(stored("notes.txt")->status(), 0);

  // No mark at all, the top-level file changed meanwhile: the files further down are evidence.
  forgetMarks();
  fs::remove(mark);
  writeFile(at("notes.txt"), "notes, longer now");
  refresh();
  EXPECT_EQ(readFile(mark), copy_->uuid() + "\n");
  EXPECT_EQ(stored("notes.txt")->sha1(), *QoUtils::getSha1StringWithPath(at("notes.txt")));

  // An older backup put in its place: one recorded file unchanged since, one older, the
  // others not made yet. One file is no evidence: most of those looked at must be there.
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) writeFile(at(name), name);
  refresh();
  forgetMarks();
  fs::rename(root_, disk);
  fs::create_directories(root_);
  fs::rename(disk + "/notes.txt", at("notes.txt"));
  writeFile(at("a.txt"), "an older a");
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"end"}}));
  EXPECT_FALSE(fs::exists(mark)) << "an older backup is not the folder";
  // (The one file's content is not read: it could not decide.)
  EXPECT_EQ(SyncdirMark::explain(*copy_),
            "not marked, and only 0 of the 6 recorded files looked at are there as recorded (most must be)");
  EXPECT_EQ(stored("a.txt")->sha1(), *QoUtils::getSha1StringWithPath(disk + "/a.txt"));
  EXPECT_EQ(stored("b.txt")->status(), 0);
  fs::rename(at("notes.txt"), disk + "/notes.txt");
  fs::remove_all(root_);
  fs::rename(disk, root_);
  refresh();
  EXPECT_EQ(readFile(mark), copy_->uuid() + "\n");
}

TEST_F(RefreshTest, ACopyOfFoldersAndEmptyFilesWithItsMarkOfOldIsTheCopysWhenAllOfItIsThere) {
  // Recorded by an earlier version: nothing of it has a content to compare.
  const std::string mark = at(".Velbor.Syncdir");
  fs::create_directories(at("a/b"));
  fs::create_directories(at("c"));
  writeFile(at("a/empty.txt"), "");
  refresh();
  ASSERT_NE(stored("a/b"), nullptr);
  ASSERT_NE(stored("a/empty.txt"), nullptr);
  UserDefaults::suiteNamed("DataSource")->removeObjectForKey("Marked-" + copy_->uuid());
  writeFile(mark, "");

  // A folder with a mark of old where part of it is missing, or an empty file has a content:
  // taking it would remove or change what is recorded.
  const std::string disk = root_ + ".disk";
  fs::rename(root_, disk);
  fs::create_directories(at("a"));
  writeFile(at("a/empty.txt"), "");
  writeFile(at("c"), "a file where a folder was");
  writeFile(mark, "");
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"end"}}));
  EXPECT_EQ(readFile(mark), "");
  EXPECT_EQ(stored("a/b")->status(), 0);
  fs::remove(at("c"));
  fs::create_directories(at("a/b"));
  fs::create_directories(at("c"));
  writeFile(at("a/empty.txt"), "not empty");
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"end"}}));
  EXPECT_EQ(readFile(mark), "");
  EXPECT_EQ(stored("a/empty.txt")->length(), 0);

  // Without any mark, all of it there proves nothing: an empty disk has such folders too.
  fs::remove_all(root_);
  fs::rename(disk, root_);
  fs::remove(mark);
  EXPECT_EQ(refresh(), (std::vector<Notice>{{"prepare"}, {"end"}}));
  EXPECT_FALSE(fs::exists(mark));

  // Its own folder with its mark of old: all of it is there as recorded, so taking it
  // removes and changes nothing; it is marked and syncs again.
  writeFile(mark, "");
  writeFile(at("later.txt"), "later");
  refresh();
  EXPECT_EQ(readFile(mark), copy_->uuid() + "\n");
  EXPECT_NE(stored("later.txt"), nullptr);
  EXPECT_EQ(stored("a/b")->status(), 0);
}

TEST_F(RefreshTest, AMarkWhoseWriteWasCutOffLeavesNoTemporaryMarkBehind) {
  // Killed between writing the temporary mark and renaming it: no mark, a temporary one.
  const std::string mark = at(".Velbor.Syncdir");
  writeFile(at(".Velbor.Syncdir.3F9A0C"), copy_->uuid().substr(0, 10));
  writeFile(at(".Velbor.Syncdir.saved"), "the user's own");
  writeFile(at("a.txt"), "one");
  refresh();
  EXPECT_EQ(readFile(mark), copy_->uuid() + "\n");
  EXPECT_FALSE(fs::exists(at(".Velbor.Syncdir.3F9A0C"))) << "a temporary mark is left";
  EXPECT_TRUE(fs::exists(at(".Velbor.Syncdir.saved"))) << "only temporary marks are removed";
  EXPECT_NE(stored("a.txt"), nullptr);
}

TEST_F(RefreshTest, TheMarkOfTheCopyIsKnownAcrossRestarts) {
  writeFile(at("a.txt"), "one");
  refresh();
  const std::string mark = at(".Velbor.Syncdir");
  ASSERT_TRUE(fs::exists(mark));
  // A new process: the settings read again from their file.
  UserDefaults::resetAll();
  DataSource::resetSharedDataSource();
  fs::remove(mark);
  refresh();
  EXPECT_FALSE(fs::exists(mark)) << "a folder without the mark where the copy had one is not the copy's";
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
