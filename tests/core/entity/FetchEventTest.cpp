#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "FetchTestBase.h"
#include "core/entity/FileFlush.h"
#include "core/entity/LocalLooks.h"
#include "core/entity/RecordedStates.h"
#include "core/entity/RecordsRefused.h"
#include "core/entity/SyncdirMark.h"
#include "core/state/QoNotices.h"
#include "core/state/SyncFileProcessBox.h"
#include "framework/persistence/PersistenceTestSupport.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/NotificationCenter.h"
#include "support/ReadWatch.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using FetchEventTest = FetchTestBase;

void setMtime(const std::string& path, int64_t seconds, long nanoseconds) {
  const timespec times[2] = {{0, UTIME_OMIT}, {seconds, nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

OwnInstalls::State stateOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0);
  return OwnInstalls::State::of(status);
}

TEST_F(FetchEventTest, DownloadedFileIsInstalledWithThePeersAttributesAndMergedClock) {
  fs::create_directories(at("docs"));
  auto created = incoming("docs/a.txt", Incoming().content("hello").download("hello").permissions(0640));
  ASSERT_TRUE(created->handleFetchEvent(EventCreateFile));

  EXPECT_EQ(readFile(at("docs/a.txt")), "hello");
  EXPECT_EQ(modeOf(at("docs/a.txt")), 0640u);
  EXPECT_EQ(mtimeOf(at("docs/a.txt")), kPeerTime);
  EXPECT_TRUE(temporaries().empty());
  auto file = stored("docs/a.txt");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->sha1(), sha1Of("hello"));
  EXPECT_EQ(file->status(), 0);
  EXPECT_GT(file->usn(), 0);
  EXPECT_NE(file->usn(), kPeerUsn) << "a local usn, so the change travels on";
  EXPECT_EQ(storedClock("docs/a.txt"), "0|3");

  const int64_t firstUsn = file->usn();
  auto updated = incoming("docs/a.txt", Incoming()
                                            .content("hello again")
                                            .download("hello again")
                                            .permissions(0600)
                                            .mtime(kPeerTime + 5000)
                                            .clock(std::vector<uint64_t>{0, 5}));
  ASSERT_TRUE(updated->handleFetchEvent(EventUpdateFile));
  EXPECT_EQ(readFile(at("docs/a.txt")), "hello again");
  EXPECT_EQ(modeOf(at("docs/a.txt")), 0600u);
  EXPECT_EQ(mtimeOf(at("docs/a.txt")), kPeerTime + 5000);
  EXPECT_GT(stored("docs/a.txt")->usn(), firstUsn);
  EXPECT_EQ(storedClock("docs/a.txt"), "0|5");
  EXPECT_EQ(failedUsn(), 0);
}

TEST_F(FetchEventTest, DownloadIsHashedOnceAndBeforeTheTransactionLockerIsTaken) {
  fs::create_directories(at("docs"));
  auto created = incoming("docs/a.txt", Incoming().content("hello").download("hello"));
  ReadWatch reads(at("docs"));
  std::unique_lock<RecursiveLocker> held(WriteTransaction::locker());
  bool applied = false;
  std::thread apply([&] { applied = created->handleFetchEvent(EventCreateFile); });
  const bool hashedWhileHeld = reads.waitUntilRead({".a.txt.Velbor.Download"});
  reads.takeReads();
  held.unlock();
  apply.join();
  EXPECT_TRUE(hashedWhileHeld) << "the download is read while another thread holds the locker";
  EXPECT_TRUE(applied);
  EXPECT_TRUE(reads.takeReads().empty()) << "neither the download nor the installed file is read again";
  ASSERT_NE(stored("docs/a.txt"), nullptr);
  EXPECT_EQ(stored("docs/a.txt")->sha1(), sha1Of("hello"));
}

TEST_F(FetchEventTest, CorruptDownloadLeavesTheOldFileAndRecordsThePeersUsn) {
  writeFile(at("a.txt"), "old");
  recordLocal("a.txt");
  const auto before = stored("a.txt");
  DataSource::sharedDataSource().setSyncdirCopyRelationFailedUsn(pairingKey(), kPeerUsn + 10);

  auto corrupt = incoming("a.txt", Incoming().content("new").download("evil"));
  EXPECT_FALSE(corrupt->handleFetchEvent(EventUpdateFile));

  EXPECT_EQ(readFile(at("a.txt")), "old");
  EXPECT_TRUE(temporaries().empty());
  auto after = stored("a.txt");
  EXPECT_EQ(after->usn(), before->usn());
  EXPECT_EQ(after->sha1(), before->sha1());
  EXPECT_EQ(storedClock("a.txt"), "1");
  EXPECT_EQ(failedUsn(), kPeerUsn) << "the peer's usn, not one handed out locally";

  // A mark already lower stays.
  DataSource::sharedDataSource().setSyncdirCopyRelationFailedUsn(pairingKey(), 5);
  EXPECT_FALSE(incoming("a.txt", Incoming().content("new").download("evil"))->handleFetchEvent(EventUpdateFile));
  EXPECT_EQ(failedUsn(), 5);
}

TEST_F(FetchEventTest, FailingDiskStepsRollBackAndTouchNothingOutsideTheCopy) {
  TempDir outside;
  writeFile(outside / "victim", "keep me");
  ASSERT_EQ(symlink(outside.str().c_str(), at("link").c_str()), 0);
  writeFile(at("blocker"), "a file where a folder must be");
  writeFile(at("mine.txt"), "mine");
  recordLocal("mine.txt");
  writeFile(at("mine.txt"), "mine, edited after it was recorded");

  struct Case {
    const char* name;
    std::string relative;
    int32_t event;
    Incoming spec;
  };
  const std::vector<Case> cases{
      {"folder on the way is a file", "blocker/a.txt", EventCreateFile, Incoming().content("x")},
      {"folder on the way is a link", "link/newdir", EventCreateDirectory, Incoming().type(1)},
      {"delete through a link", "link/victim", EventDeleteFile, Incoming().status(1)},
      {"path leaves the copy", "../escape", EventCreateDirectory, Incoming().type(1)},
      {"local change not yet recorded", "mine.txt", EventUpdateFile, Incoming().content("theirs").download("theirs")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DataSource::sharedDataSource().resetSyncdirCopyRelationFailedUsn(pairingKey());
    auto relation = incoming(c.relative, c.spec);
    EXPECT_FALSE(relation->handleFetchEvent(c.event));
    EXPECT_EQ(failedUsn(), kPeerUsn);
    EXPECT_EQ(stored(c.relative) == nullptr, c.relative != "mine.txt");
  }
  EXPECT_EQ(readFile(outside / "victim"), "keep me");
  EXPECT_FALSE(exists((outside / "newdir").string()));
  EXPECT_FALSE(exists((home_.path() / "escape").string()));
  EXPECT_EQ(readFile(at("blocker")), "a file where a folder must be");
  EXPECT_EQ(readFile(at("mine.txt")), "mine, edited after it was recorded");
  EXPECT_EQ(stored("mine.txt")->sha1(), sha1Of("mine"));
  EXPECT_TRUE(temporaries().empty());

  // The temporary file vanished before the event: nothing is installed or recorded.
  auto vanished = incoming("gone.txt", Incoming().content("data").download("data"));
  fs::remove(vanished->getTempFilePath());
  EXPECT_FALSE(vanished->handleFetchEvent(EventCreateFile));
  EXPECT_FALSE(exists(at("gone.txt")));
  EXPECT_EQ(stored("gone.txt"), nullptr);
}

TEST_F(FetchEventTest, ASecondSaveOfTheSameSizeWithinOneSecondIsNeverReplaced) {
  RecordedStates::shared().clear();
  const auto theirs = [&](const std::string& relative) {
    return incoming(relative, Incoming().content("theirs").download("theirs").clock(std::vector<uint64_t>{1, 3}));
  };
  LocalLooks::shared().take();
  // Saved again, at the same size, half a second after the save that was recorded.
  writeFile(at("a.txt"), "one");
  setMtime(at("a.txt"), 1700000000, 100000000);
  recordLocal("a.txt");
  writeFile(at("a.txt"), "two");
  setMtime(at("a.txt"), 1700000000, 600000000);
  EXPECT_FALSE(theirs("a.txt")->handleFetchEvent(EventUpdateFile));
  EXPECT_EQ(readFile(at("a.txt")), "two");
  // The monitor is asked to look at it, in case no event told it of the save.
  EXPECT_EQ(LocalLooks::shared().take(), std::vector<std::string>{at("a.txt")});

  // Saved again with the very time it was recorded with: the disk's change time tells.
  writeFile(at("b.txt"), "one");
  setMtime(at("b.txt"), 1700000000, 100000000);
  recordLocal("b.txt");
  RecordedStates::shared().note(at("b.txt"), stateOf(at("b.txt")));
  writeFile(at("b.txt"), "six");
  setMtime(at("b.txt"), 1700000000, 100000000);
  EXPECT_FALSE(theirs("b.txt")->handleFetchEvent(EventUpdateFile));
  EXPECT_EQ(readFile(at("b.txt")), "six");
  EXPECT_EQ(stored("b.txt")->sha1(), sha1Of("one"));

  // Touched to its own time, content as recorded: it may be replaced.
  writeFile(at("c.txt"), "one");
  setMtime(at("c.txt"), 1700000000, 100000000);
  recordLocal("c.txt");
  RecordedStates::shared().note(at("c.txt"), stateOf(at("c.txt")));
  setMtime(at("c.txt"), 1700000000, 100000000);
  EXPECT_TRUE(theirs("c.txt")->handleFetchEvent(EventUpdateFile));
  EXPECT_EQ(readFile(at("c.txt")), "theirs");
  EXPECT_EQ(LocalLooks::shared().take(), std::vector<std::string>{at("b.txt")});
  EXPECT_TRUE(temporaries().empty());
  RecordedStates::shared().clear();
}

TEST_F(FetchEventTest, ALocalSaveDuringTheInstallsFlushIsKept) {
  struct Case {
    const char* name;
    int32_t event;
    bool recorded;  // a recorded local file stands there before the install
    std::function<void(const std::string&)> save;
  };
  const auto inPlace = [](const std::string& path) { writeFile(path, "saved during the flush"); };
  const auto byRename = [](const std::string& path) {
    writeFile(path + ".save", "saved during the flush");
    fs::rename(path + ".save", path);
  };
  const std::vector<Case> cases{
      {"written into the recorded file", EventUpdateFile, true, inPlace},
      {"saved over the recorded file by a rename", EventUpdateFile, true, byRename},
      {"created where nothing stood", EventCreateFile, false, inPlace},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DataSource::sharedDataSource().resetSyncdirCopyRelationFailedUsn(pairingKey());
    const std::string name = "u" + std::to_string(index++) + ".txt";
    if (c.recorded) {
      writeFile(at(name), "old");
      recordLocal(name);
    }
    auto relation = incoming(name, Incoming().content("theirs").download("theirs"));
    bool saved = false;
    FileFlush::ScopedOverride saving([&](int fd) {
      if (!saved) c.save(at(name));
      saved = true;
      return ::fsync(fd);
    });
    EXPECT_FALSE(relation->handleFetchEvent(c.event));
    EXPECT_TRUE(saved);
    EXPECT_EQ(readFile(at(name)), "saved during the flush");
    EXPECT_TRUE(temporaries().empty());
    EXPECT_EQ(failedUsn(), kPeerUsn);
    if (c.recorded) {
      EXPECT_EQ(stored(name)->sha1(), sha1Of("old"));
    }
  }

  // Left as recorded meanwhile: replaced.
  writeFile(at("v.txt"), "old");
  recordLocal("v.txt");
  int flushes = 0;
  FileFlush::ScopedOverride counting([&](int fd) {
    ++flushes;
    return ::fsync(fd);
  });
  EXPECT_TRUE(incoming("v.txt", Incoming().content("theirs").download("theirs"))->handleFetchEvent(EventUpdateFile));
  EXPECT_EQ(readFile(at("v.txt")), "theirs");
  EXPECT_EQ(flushes, 1);
  EXPECT_TRUE(temporaries().empty());
}

TEST_F(FetchEventTest, ATransferWhoseFolderWentAwayRemovesItsTemporaryFileWhereItNowStands) {
  TempDir outside;
  const std::string decoy = ".a.txt.Velbor.Download";
  writeFile(outside / decoy, "not ours");
  struct Case {
    const char* name;
    bool linked;  // a link to `outside` takes the folder's place
  };
  for (const Case& c : {Case{"moved away, a link in its place", true}, Case{"moved away", false}}) {
    SCOPED_TRACE(c.name);
    fs::create_directories(at("docs"));
    auto relation = incoming("docs/a.txt", Incoming().content("hello").download("hello"));
    const fs::path movedAway = home_.path() / "moved away";
    fs::rename(at("docs"), movedAway);
    if (c.linked) {
      ASSERT_EQ(symlink(outside.str().c_str(), at("docs").c_str()), 0);
    }
    EXPECT_FALSE(relation->handleFetchEvent(EventCreateFile));
    EXPECT_TRUE(fs::is_empty(movedAway)) << "the temporary file stayed behind";
    EXPECT_EQ(readFile(outside / decoy), "not ours");
    EXPECT_EQ(std::distance(fs::directory_iterator(outside.path()), fs::directory_iterator()), 1);
    EXPECT_EQ(stored("docs/a.txt"), nullptr);
    fs::remove_all(movedAway);
    fs::remove(at("docs"));
  }
}

TEST_F(FetchEventTest, ATransferWhoseFolderWasRemovedLeavesAFileOfItsNameInTheNewFolder) {
  fs::create_directories(at("docs"));
  auto relation = incoming("docs/a.txt", Incoming().content("hello").download("hello"));
  // The folder goes with the temporary file in it, and another of the same name takes its
  // place, holding a file the transfer never made.
  fs::remove_all(at("docs"));
  fs::create_directories(at("docs"));
  const std::string decoy = at("docs/.a.txt.Velbor.Download");
  writeFile(decoy, "not ours");
  EXPECT_FALSE(relation->handleFetchEvent(EventCreateFile));
  ASSERT_TRUE(exists(decoy));
  EXPECT_EQ(readFile(decoy), "not ours");
}

TEST_F(FetchEventTest, DownloadsAreNeverWrittenThroughALinkedFolder) {
  TempDir outside;
  ASSERT_EQ(symlink(outside.str().c_str(), at("link").c_str()), 0);
  auto relation = incoming("link/a.txt", Incoming().content("x"));
  EXPECT_EQ(relation->getTmpFileHandle(), nullptr);
  EXPECT_FALSE(relation->handleFetchEvent(EventCreateFile));
  EXPECT_TRUE(fs::is_empty(outside.path()));
}

TEST_F(FetchEventTest, DirectoriesAreCreatedAndUpdatedInPlace) {
  auto created = incoming("d", Incoming().type(1).permissions(0750));
  ASSERT_TRUE(created->handleFetchEvent(EventCreateDirectory));
  EXPECT_TRUE(fs::is_directory(at("d")));
  EXPECT_EQ(modeOf(at("d")), 0750u);
  EXPECT_EQ(mtimeOf(at("d")), kPeerTime);
  ASSERT_NE(stored("d"), nullptr);
  EXPECT_EQ(stored("d")->type(), 1);

  writeFile(at("d/inside.txt"), "content stays");
  auto updated =
      incoming("d", Incoming().type(1).permissions(0700).mtime(kPeerTime + 1000).clock(std::vector<uint64_t>{0, 4}));
  ASSERT_TRUE(updated->handleFetchEvent(EventUpdateDirectory));
  EXPECT_EQ(readFile(at("d/inside.txt")), "content stays");
  EXPECT_EQ(modeOf(at("d")), 0700u) << "the record's permissions are what the disk holds";
  EXPECT_EQ(mtimeOf(at("d")), kPeerTime + 1000);
  EXPECT_EQ(storedClock("d"), "0|4");
}

TEST_F(FetchEventTest, DeletionRemovesFilesAndWholeTreesAndRecordsThemRemoved) {
  writeFile(at("gone.txt"), "bye");
  recordLocal("gone.txt");
  writeFile(at("tree/x/y.txt"), "deep");
  recordLocal("tree");
  recordLocal("tree/x");
  recordLocal("tree/x/y.txt");
  // As a pull does before it applies anything: once every entry recorded at its top is
  // removed, only the mark tells this folder from an empty mount point.
  ASSERT_TRUE(SyncdirMark::inPlace(*local_));
  const int64_t usnBefore = stored("gone.txt")->usn();

  ASSERT_TRUE(
      incoming("gone.txt", Incoming().status(1).clock(std::vector<uint64_t>{0, 4}))->handleFetchEvent(EventDeleteFile));
  EXPECT_FALSE(exists(at("gone.txt")));
  EXPECT_EQ(stored("gone.txt")->status(), 1);
  EXPECT_GT(stored("gone.txt")->usn(), usnBefore);
  EXPECT_EQ(storedClock("gone.txt"), "1|4");

  ASSERT_TRUE(incoming("tree", Incoming().type(1).status(1))->handleFetchEvent(EventDeleteFile));
  EXPECT_FALSE(exists(at("tree")));
  EXPECT_EQ(stored("tree")->status(), 1);

  // Never seen here: stored as removed all the same, so the removal travels on.
  ASSERT_TRUE(incoming("ghost", Incoming().status(1))->handleFetchEvent(EventDeleteFile));
  ASSERT_NE(stored("ghost"), nullptr);
  EXPECT_EQ(stored("ghost")->status(), 1);
}

TEST_F(FetchEventTest, DeletingAFolderKeepsLocalChangesBelowIt) {
  struct Case {
    const char* name;
    std::string change;  // relative to the folder
    bool added;
  };
  const std::vector<Case> cases{
      {"file added and not yet recorded", "x/new.txt", true},
      {"recorded file edited since", "x/y.txt", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string tree = "tree" + std::to_string(n++);
    writeFile(at(tree + "/x/y.txt"), "deep");
    for (const std::string& relative : std::vector<std::string>{tree, tree + "/x", tree + "/x/y.txt"}) {
      recordLocal(relative);
    }
    writeFile(at(tree + "/" + c.change), c.added ? "new here" : "edited here, and longer");
    DataSource::sharedDataSource().resetSyncdirCopyRelationFailedUsn(pairingKey());

    EXPECT_FALSE(incoming(tree, Incoming().type(1).status(1))->handleFetchEvent(EventDeleteFile));
    EXPECT_EQ(readFile(at(tree + "/" + c.change)), c.added ? "new here" : "edited here, and longer");
    EXPECT_EQ(stored(tree)->status(), 0);
    EXPECT_EQ(failedUsn(), kPeerUsn);
  }

  // Entries never synchronised were never seen by the peer: they stay, and so do the folders
  // that hold them, while the delete is done for everything else.
  writeFile(at("plain/a.txt"), "a");
  writeFile(at("plain/sub/b.txt"), "b");
  writeFile(at("plain/sub/.env"), "secret");
  writeFile(at("plain/.git/config"), "history");
  writeFile(at("plain/other/c.txt"), "c");
  writeFile(at("plain/bad\xff.txt"), "a name that is not UTF-8");
  writeFile(at("plain/.own.txt.Velbor.Download"), "the user's, named like a download");
  for (const char* relative :
       {"plain", "plain/a.txt", "plain/sub", "plain/sub/b.txt", "plain/other", "plain/other/c.txt"}) {
    recordLocal(relative);
  }
  ASSERT_TRUE(incoming("plain", Incoming().type(1).status(1))->handleFetchEvent(EventDeleteFile));
  EXPECT_EQ(readFile(at("plain/sub/.env")), "secret");
  EXPECT_EQ(readFile(at("plain/.git/config")), "history");
  EXPECT_EQ(readFile(at("plain/bad\xff.txt")), "a name that is not UTF-8");
  EXPECT_EQ(readFile(at("plain/.own.txt.Velbor.Download")), "the user's, named like a download");
  for (const char* gone : {"plain/a.txt", "plain/sub/b.txt", "plain/other"}) EXPECT_FALSE(exists(at(gone))) << gone;
  EXPECT_EQ(stored("plain")->status(), 1);

  // With hidden files synchronised, a hidden entry is the peer's to delete.
  QoConfig::sharedQoConfig().setSyncHiddenFile(true);
  QoFile::generateRegexExpress();
  writeFile(at("shown/.env"), "synchronised");
  for (const char* relative : {"shown", "shown/.env"}) recordLocal(relative);
  ASSERT_TRUE(incoming("shown", Incoming().type(1).status(1))->handleFetchEvent(EventDeleteFile));
  EXPECT_FALSE(exists(at("shown")));
  QoConfig::sharedQoConfig().setSyncHiddenFile(false);
  QoFile::generateRegexExpress();
}

TEST_F(FetchEventTest, FailedRecordWriteAnswersFailureAndStoresNothing) {
  ASSERT_TRUE(SQLiteInstanceManager::sharedManager()->executeUpdateSQL(
      "CREATE TRIGGER refuse BEFORE INSERT ON qo_file_and_syncdir_copy_relation "
      "BEGIN SELECT RAISE(ABORT, 'refused by the test'); END"));
  auto created = incoming("a.txt", Incoming().content("hello").download("hello"));
  EXPECT_FALSE(created->handleFetchEvent(EventCreateFile));
  EXPECT_FALSE(exists(at("a.txt"))) << "no file on disk without its record";
  EXPECT_EQ(stored("a.txt"), nullptr) << "no file row without its record";
  EXPECT_EQ(failedUsn(), kPeerUsn);
  EXPECT_EQ(PersistentObject::transactionLevel(), 0);
  EXPECT_TRUE(temporaries().empty());
}

// A database that refuses the commit (its disk is full) leaves the disk as it was before the
// event, whatever the event did there; the event then stops its caller's pull.
TEST_F(FetchEventTest, ARefusedCommitPutsBackWhatTheEventDidOnDisk) {
  struct Case {
    const char* name;
    std::string path;
    int32_t event;
    Incoming spec;
    std::function<void(QoFileAndSyncdirCopyRelation&)> prepare;
  };
  writeFile(at("old.txt"), "recorded");
  writeFile(at("moved.txt"), "moved");
  writeFile(at("both.txt"), "mine");
  writeFile(at("same.txt"), "same");
  fs::create_directories(at("folder"));
  for (const char* relative : {"old.txt", "moved.txt", "both.txt", "same.txt", "folder"}) recordLocal(relative);
  const auto renameFrom = [&](const std::string& relative) {
    return [this, relative](QoFileAndSyncdirCopyRelation& r) { r.setFileRelationLocal(recordLocal(relative)); };
  };
  const std::vector<Case> cases{
      {"new file", "new.txt", EventCreateFile, Incoming().content("new").download("new"), nullptr},
      {"update", "old.txt", EventUpdateFile, Incoming().content("theirs").download("theirs"), nullptr},
      {"rename", "renamed.txt", EventRenameFile, Incoming().content("moved"), renameFrom("moved.txt")},
      {"conflict, the local file renamed", "both.txt", EventFFConflict, Incoming().content("theirs").download("theirs"),
       [](QoFileAndSyncdirCopyRelation& r) { r.setIsRenameLocalWHenConflict(true); }},
      {"conflict, the incoming file renamed", "both.txt", EventFFConflict,
       Incoming().content("theirs").download("theirs"),
       [](QoFileAndSyncdirCopyRelation& r) { r.setIsRenameLocalWHenConflict(false); }},
      {"times and mode only", "same.txt", EventFFConflict, Incoming().content("same").permissions(0600), nullptr},
      {"new folder", "made", EventCreateDirectory, Incoming().type(1), nullptr},
      {"folder times", "folder", EventUpdateDirectory, Incoming().type(1).permissions(0700), nullptr},
  };
  const auto tree = [&] {
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
      struct stat status {};
      ::lstat(entry.path().c_str(), &status);
      found[entry.path().string()] =
          fmt::format("{:o} {}.{} {}", status.st_mode, status.st_mtim.tv_sec, status.st_mtim.tv_nsec,
                      entry.is_regular_file() ? readFile(entry.path()) : "");
    }
    return found;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DataSource::sharedDataSource().resetSyncdirCopyRelationFailedUsn(pairingKey());
    const auto before = tree();
    auto relation = incoming(c.path, c.spec);
    if (c.prepare) c.prepare(*relation);
    const auto stored = QoFile::getFileWithPath(at(c.path));
    {
      RefusedCommits refused;
      EXPECT_FALSE(relation->handleFetchEvent(c.event));
    }
    EXPECT_TRUE(RecordsRefused::takeNoted()) << "noted for the pull to stop";
    auto after = tree();
    EXPECT_EQ(after, before);
    EXPECT_EQ(failedUsn(), kPeerUsn);
    const auto now = QoFile::getFileWithPath(at(c.path));
    EXPECT_EQ(now ? now->usn() : 0, stored ? stored->usn() : 0);
    EXPECT_EQ(PersistentObject::transactionLevel(), 0);
  }
}

TEST_F(FetchEventTest, EmptyFilesAndRenamesNeedNoDownload) {
  constexpr const char* kEmpty = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
  ASSERT_TRUE(incoming("empty", Incoming().permissions(0604))->handleFetchEvent(EventCreateEmptyFile));
  EXPECT_EQ(readFile(at("empty")), "");
  EXPECT_EQ(modeOf(at("empty")), 0604u);
  EXPECT_EQ(stored("empty")->sha1(), kEmpty);

  writeFile(at("already"), "");
  ASSERT_TRUE(incoming("already", Incoming())->handleFetchEvent(EventCreateEmptyFile));
  EXPECT_EQ(stored("already")->sha1(), kEmpty);
  EXPECT_EQ(mtimeOf(at("already")), kPeerTime);

  writeFile(at("old.txt"), "payload");
  auto oldRecord = recordLocal("old.txt");
  auto renamed = incoming("new.txt", Incoming().content("payload").permissions(0644));
  renamed->setFileRelationLocal(oldRecord);
  ASSERT_TRUE(renamed->handleFetchEvent(EventRenameFile));
  EXPECT_EQ(readFile(at("new.txt")), "payload");
  EXPECT_FALSE(exists(at("old.txt")));
  EXPECT_EQ(mtimeOf(at("new.txt")), kPeerTime);
  EXPECT_EQ(stored("new.txt")->sha1(), sha1Of("payload"));

  // The local file no longer holds the named content: it stays where it is.
  writeFile(at("other.txt"), "changed");
  auto otherRecord = recordLocal("other.txt");
  auto wrong = incoming("new2.txt", Incoming().content("payload"));
  wrong->setFileRelationLocal(otherRecord);
  EXPECT_FALSE(wrong->handleFetchEvent(EventRenameFile));
  EXPECT_EQ(readFile(at("other.txt")), "changed");
  EXPECT_FALSE(exists(at("new2.txt")));
}

// A file emptied on the peer comes with nothing to download, on every road that installs it:
// a plain update, a conflict whose incoming side wins, and one that keeps both sides.
TEST_F(FetchEventTest, AFileEmptiedOnThePeerArrivesEmpty) {
  writeFile(at("emptied.txt"), "old content");
  recordLocal("emptied.txt");
  auto update = incoming("emptied.txt", Incoming().content("").permissions(0604).clock(std::vector<uint64_t>{1, 3}));
  ASSERT_TRUE(update->handleFetchEvent(EventUpdateFile));
  EXPECT_EQ(readFile(at("emptied.txt")), "");
  EXPECT_EQ(modeOf(at("emptied.txt")), 0604u);
  EXPECT_EQ(mtimeOf(at("emptied.txt")), kPeerTime);
  EXPECT_EQ(stored("emptied.txt")->length(), 0);
  EXPECT_EQ(storedClock("emptied.txt"), "1|3");

  // Both sides changed it: the local edit and the emptied file are both kept.
  writeFile(at("both.txt"), "base");
  recordLocal("both.txt");
  writeFile(at("both.txt"), "local edit");
  recordLocal("both.txt");
  auto conflict = incoming("both.txt", Incoming().content("").clock(std::vector<uint64_t>{0, 3}));
  conflict->setIsRenameLocalWHenConflict(false);
  ASSERT_TRUE(conflict->handleFetchEvent(EventFFConflict));
  EXPECT_EQ(readFile(at("both.txt")), "local edit");
  ASSERT_EQ(conflictsOf("both.txt").size(), 1u);
  EXPECT_EQ(readFile(conflictsOf("both.txt").front()), "");

  // Removed here, emptied there: the emptied file comes back.
  writeFile(at("gone.txt"), "was here");
  recordLocal("gone.txt");
  fs::remove(at("gone.txt"));
  inTransaction([&] { stored("gone.txt")->deleteRelation(); });
  auto back = incoming("gone.txt", Incoming().content("").clock(std::vector<uint64_t>{0, 3}));
  ASSERT_TRUE(back->handleFetchEvent(EventFFConflict));
  EXPECT_EQ(readFile(at("gone.txt")), "");
  EXPECT_TRUE(exists(at("gone.txt")));
  EXPECT_EQ(failedUsn(), 0);
  EXPECT_TRUE(temporaries().empty());
}

TEST_F(FetchEventTest, NothingToApplyStillDropsTheTemporaryFile) {
  for (int32_t event : {static_cast<int32_t>(EventFailed), 13, -1}) {
    auto relation = incoming("n.txt", Incoming().content("x").download("x"));
    EXPECT_TRUE(relation->handleFetchEvent(event));
    EXPECT_TRUE(temporaries().empty());
    EXPECT_FALSE(exists(at("n.txt")));
    EXPECT_EQ(stored("n.txt"), nullptr);
  }
  EXPECT_EQ(failedUsn(), 0);
}

TEST_F(FetchEventTest, RescanInterleavedWithAFetchApplyKeepsBoth) {
  writeFile(at("recorded.txt"), "recorded");
  recordLocal("recorded.txt");
  writeFile(at("local-new.txt"), "new here");  // gives the rescan a batch to wait at

  std::mutex mutex;
  std::condition_variable changed;
  bool compared = false;
  auto& center = NotificationCenter::defaultCenter();
  const auto token = QoNotices::observe<notice::SyncFileProcess>([&](const notice::SyncFileProcess& notification) {
    if (notification.box->status != SyncFileIndexBegin) return;
    std::lock_guard<std::mutex> lock(mutex);
    compared = true;
    changed.notify_all();
  });
  {
    // The rescan has listed and compared, and waits for the locker this thread holds.
    std::unique_lock<RecursiveLocker> transaction(WriteTransaction::locker());
    std::thread rescan([this] { local_->refresh(); });
    {
      std::unique_lock<std::mutex> lock(mutex);
      EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return compared; }));
    }
    // Meanwhile a peer's changes are applied.
    const auto update = Incoming().content("updated").download("updated").clock(std::vector<uint64_t>{1, 4});
    const auto create = Incoming().content("theirs").download("theirs");
    EXPECT_TRUE(incoming("fetched.txt", create)->handleFetchEvent(EventCreateFile));
    EXPECT_TRUE(incoming("recorded.txt", update)->handleFetchEvent(EventUpdateFile));
    transaction.unlock();
    rescan.join();
  }
  center.removeObserver(token);

  EXPECT_NE(stored("local-new.txt"), nullptr);
  EXPECT_EQ(stored("fetched.txt")->status(), 0) << "installed after the listing: not removed";
  EXPECT_EQ(storedClock("fetched.txt"), "0|3") << "not taken for a local change";
  EXPECT_EQ(readFile(at("recorded.txt")), "updated");
  EXPECT_EQ(storedClock("recorded.txt"), "1|4");

  // A later rescan finds the peer's changes already recorded.
  const int64_t fetchedUsn = stored("fetched.txt")->usn();
  const int64_t recordedUsn = stored("recorded.txt")->usn();
  local_->refresh();
  EXPECT_EQ(stored("fetched.txt")->usn(), fetchedUsn);
  EXPECT_EQ(stored("recorded.txt")->usn(), recordedUsn);
}

}  // namespace
}  // namespace velbor::test
