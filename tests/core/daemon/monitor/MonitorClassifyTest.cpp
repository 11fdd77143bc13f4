// The event filter and the classifier, driven directly: events in, records out.

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "MonitorTestBase.h"
#include "core/entity/LocalLooks.h"
#include "core/entity/RecordedStates.h"
#include "core/state/Lockers.h"
#include "framework/persistence/PersistenceTestSupport.h"
#include "framework/persistence/WriteTransaction.h"

namespace velbor::test {
namespace {

using Flags = FileEventStream::Flag;

class MonitorClassifyTest : public MonitorTestBase {};

TEST_F(MonitorClassifyTest, CreatesEditsChmodsAndDeletesBecomeRecords) {
  load();
  writeFile(at("a.txt"), "one");
  look({"a.txt"});
  ASSERT_TRUE(recorded("a.txt"));
  EXPECT_EQ(stored("a.txt")->sha1(), sha1Of("one"));
  EXPECT_EQ(storedClock("a.txt"), "1");
  const int64_t afterCreate = usn();
  ASSERT_TRUE(notices_.waitFor(1));

  writeFile(at("a.txt"), "two, longer");
  look({"a.txt"});
  EXPECT_EQ(stored("a.txt")->sha1(), sha1Of("two, longer"));
  EXPECT_EQ(storedClock("a.txt"), "2");
  EXPECT_GT(usn(), afterCreate);
  const int64_t afterEdit = usn();

  ::chmod(at("a.txt").c_str(), 0600);
  look({"a.txt"}, FileEventStream::kItemIsFile | FileEventStream::kItemInodeMetaMod);
  EXPECT_EQ(stored("a.txt")->unixAttr(), 0600);
  EXPECT_EQ(stored("a.txt")->sha1(), sha1Of("two, longer"));
  EXPECT_EQ(storedClock("a.txt"), "3");
  EXPECT_GT(usn(), afterEdit);

  std::filesystem::remove(at("a.txt"));
  look({"a.txt"}, FileEventStream::kItemIsFile | FileEventStream::kItemRemoved);
  ASSERT_TRUE(stored("a.txt"));
  EXPECT_EQ(stored("a.txt")->status(), 1);
  EXPECT_EQ(storedClock("a.txt"), "4");
  EXPECT_TRUE(notices_.waitFor(4));
}

TEST_F(MonitorClassifyTest, AChangeNoEventToldOfIsRecordedOnceAnInstallAsksForALook) {
  load();
  writeFile(at("a.txt"), "one");
  look({"a.txt"});
  writeFile(at("a.txt"), "edited where no watch heard it");
  tick();
  EXPECT_EQ(stored("a.txt")->sha1(), sha1Of("one"));
  LocalLooks::shared().ask(at("a.txt"));
  tick();
  EXPECT_EQ(stored("a.txt")->sha1(), sha1Of("edited where no watch heard it"));

  // Gone with its folders: they go too, not only the file asked for.
  std::filesystem::create_directories(at("d/m"));
  writeFile(at("d/m/f.txt"), "f");
  look({"d", "d/m", "d/m/f.txt"});
  std::filesystem::remove_all(at("d/m"));
  LocalLooks::shared().ask(at("d/m/f.txt"));
  tick();
  EXPECT_EQ(stored("d/m/f.txt")->status(), 1);
  EXPECT_EQ(stored("d/m")->status(), 1);
  EXPECT_EQ(stored("d")->status(), 0);
}

TEST_F(MonitorClassifyTest, EditWithinTheSameSecondAndSizeChangeIsRecorded) {
  load();
  writeFile(at("f"), "short");
  setMtime(at("f"), 1700000000);
  look({"f"});
  writeFile(at("f"), "much longer content");
  setMtime(at("f"), 1700000000);
  look({"f"});
  EXPECT_EQ(stored("f")->sha1(), sha1Of("much longer content"));
}

TEST_F(MonitorClassifyTest, ASecondSaveOfTheSameSizeWithinOneSecondIsRecorded) {
  RecordedStates::shared().clear();
  const auto setTime = [&](long milliseconds) {
    const timespec times[2] = {{0, UTIME_OMIT}, {1700000000, milliseconds * 1000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, at("f").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  };
  load();
  writeFile(at("f"), "one");
  setTime(100);
  look({"f"});
  ASSERT_EQ(stored("f")->sha1(), sha1Of("one"));

  writeFile(at("f"), "two");
  setTime(600);
  // Read well after it was written: this state vouches for its content.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  look({"f"});
  EXPECT_EQ(stored("f")->sha1(), sha1Of("two"));
  EXPECT_EQ(stored("f")->contentModTime(), 1700000000600);
  EXPECT_EQ(storedClock("f"), "2");

  // Saved again and given back the very time it had: the disk's change time tells.
  writeFile(at("f"), "six");
  setTime(600);
  look({"f"});
  EXPECT_EQ(stored("f")->sha1(), sha1Of("six"));
  EXPECT_EQ(storedClock("f"), "3");

  // Only touched: the content is what is recorded, nothing to send.
  const int64_t before = usn();
  setTime(600);
  look({"f"});
  EXPECT_EQ(usn(), before);
  EXPECT_EQ(storedClock("f"), "3");
  RecordedStates::shared().clear();
}

TEST_F(MonitorClassifyTest, AFileSystemThatKeepsWholeSecondsOnlyMakesNoChangeOfAPulledFile) {
  RecordedStates::shared().clear();
  load();
  // Pulled with a time in milliseconds, which such a file system cuts to the second.
  ASSERT_TRUE(incoming("f", Incoming().content("theirs").download("theirs"))->handleFetchEvent(EventCreateFile));
  const timespec wholeSecond[2] = {{0, UTIME_OMIT}, {kPeerTime / 1000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, at("f").c_str(), wholeSecond, AT_SYMLINK_NOFOLLOW), 0);
  const int64_t before = usn();
  look({"f"});
  EXPECT_EQ(usn(), before) << "nothing to send back";
  ASSERT_TRUE(incoming("f", Incoming().content("newer").download("newer").clock(std::vector<uint64_t>{0, 5}))
                  ->handleFetchEvent(EventUpdateFile));
  EXPECT_EQ(readFile(at("f")), "newer");
  RecordedStates::shared().clear();
}

TEST_F(MonitorClassifyTest, RenameAndFolderMovedInWholeAreRecorded) {
  writeFile(at("old.txt"), "content");
  load();
  ASSERT_TRUE(recorded("old.txt"));
  ASSERT_TRUE(notices_.waitFor(1));
  std::filesystem::rename(at("old.txt"), at("new.txt"));
  look({"old.txt", "new.txt"}, FileEventStream::kItemIsFile | FileEventStream::kItemRenamed);
  EXPECT_EQ(stored("old.txt")->status(), 1);
  EXPECT_TRUE(recorded("new.txt"));

  // Filled outside the copy, then moved in: only the folder has an event.
  TempDir outside;
  writeFile(outside / "d" / "sub" / "x", "x");
  writeFile(outside / "d" / "y", "y");
  std::filesystem::rename(outside / "d", at("d"));
  ASSERT_TRUE(notices_.waitFor(2));
  look({"d"}, FileEventStream::kItemIsDir | FileEventStream::kItemRenamed);
  EXPECT_TRUE(recorded("d"));
  EXPECT_TRUE(recorded("d/sub"));
  EXPECT_TRUE(recorded("d/sub/x"));
  EXPECT_TRUE(recorded("d/y"));
  ASSERT_TRUE(notices_.waitFor(3));

  // Moved out whole: the folder and everything below it are removed.
  std::filesystem::rename(at("d"), outside / "back");
  look({"d"}, FileEventStream::kItemIsDir | FileEventStream::kItemRenamed);
  for (const char* relative : {"d", "d/sub", "d/sub/x", "d/y"}) EXPECT_EQ(stored(relative)->status(), 1) << relative;
}

// The user moves a folder away, and before the classifier looks a pull makes it again for a
// file arriving in it, or the user makes a new one: what was in the folder left all the same.
TEST_F(MonitorClassifyTest, AFolderMovedAwayAndMadeAgainLosesWhatItHeld) {
  writeFile(at("X/a.txt"), "a");
  writeFile(at("X/sub/b.txt"), "b");
  load();
  ASSERT_TRUE(recorded("X/sub/b.txt"));
  ASSERT_TRUE(notices_.waitFor(1));
  std::filesystem::rename(at("X"), at("Y"));
  const auto arriving = incoming("X/new.txt", Incoming());
  ASSERT_TRUE(arriving->restoreMissingFolders());
  ASSERT_TRUE(arriving->handleFetchEvent(EventCreateEmptyFile));
  report({"X", "Y"}, FileEventStream::kItemIsDir | FileEventStream::kItemRenamed);
  report({"X"}, FileEventStream::kItemIsDir | FileEventStream::kItemCreated);
  look({"X/new.txt"}, FileEventStream::kItemIsFile | FileEventStream::kItemRenamed);

  for (const char* relative : {"X/a.txt", "X/sub", "X/sub/b.txt"}) {
    ASSERT_TRUE(stored(relative)) << relative;
    EXPECT_EQ(stored(relative)->status(), 1) << relative;
  }
  for (const char* relative : {"X", "X/new.txt", "Y", "Y/a.txt", "Y/sub", "Y/sub/b.txt"}) {
    EXPECT_TRUE(recorded(relative)) << relative;
  }

  // The same by hand: moved away, and a new folder of that name made at once.
  std::filesystem::rename(at("Y"), at("Z"));
  std::filesystem::create_directories(at("Y"));
  report({"Y", "Z"}, FileEventStream::kItemIsDir | FileEventStream::kItemRenamed);
  look({"Y"}, FileEventStream::kItemIsDir | FileEventStream::kItemCreated);
  for (const char* relative : {"Y/a.txt", "Y/sub", "Y/sub/b.txt"}) EXPECT_EQ(stored(relative)->status(), 1) << relative;
  for (const char* relative : {"Y", "Z/a.txt", "Z/sub/b.txt"}) EXPECT_TRUE(recorded(relative)) << relative;

  // Moved while the database takes no writes (a full disk): the move waits, and once writes
  // work a pull makes the folder and its subfolder again before the monitor tries once more.
  {
    RefusedCommits refused;
    ASSERT_TRUE(refused.active());
    std::filesystem::rename(at("Z"), at("V"));
    report({"Z", "V"}, FileEventStream::kItemIsDir | FileEventStream::kItemRenamed);
    for (int attempt = 0; attempt < Monitor::kMaxBatchAttempts; ++attempt) tick();
  }
  ASSERT_TRUE(recorded("Z/sub/b.txt"));
  const auto late = incoming("Z/sub/late.txt", Incoming());
  ASSERT_TRUE(late->restoreMissingFolders());
  ASSERT_TRUE(late->handleFetchEvent(EventCreateEmptyFile));
  report({"Z", "Z/sub"}, FileEventStream::kItemIsDir | FileEventStream::kItemCreated);
  report({"Z/sub/late.txt"}, FileEventStream::kItemIsFile | FileEventStream::kItemRenamed);
  // A change recorded tells that writes work again: what waits is tried at once.
  writeFile(at("other"), "o");
  look({"other"});
  tick();
  for (const char* relative : {"Z/a.txt", "Z/sub/b.txt"}) EXPECT_EQ(stored(relative)->status(), 1) << relative;
  for (const char* relative : {"Z/sub", "Z/sub/late.txt", "V/a.txt", "V/sub/b.txt"}) {
    EXPECT_TRUE(recorded(relative)) << relative;
  }
}

TEST_F(MonitorClassifyTest, AFolderIsNoPrefixOfASiblingWithAnExtension) {
  load();
  // "x" is new with content of its own, and "x.txt" sorts right after it.
  std::filesystem::create_directories(at("x"));
  writeFile(at("x/inner"), "inner");
  writeFile(at("x.txt"), "sibling");
  report({"x"}, FileEventStream::kItemIsDir | FileEventStream::kItemCreated);
  look({"x.txt"});
  EXPECT_TRUE(recorded("x"));
  EXPECT_TRUE(recorded("x.txt"));
  EXPECT_TRUE(recorded("x/inner"));
}

TEST_F(MonitorClassifyTest, QuietBatchesAndIgnoredPathsChangeNothing) {
  writeFile(at("same"), "same");
  std::filesystem::create_directories(at("folder"));
  load();
  const int64_t before = usn();
  writeFile(at(".hidden"), "hidden");
  writeFile(at("folder/new"), "new");  // moves the folder's time
  std::filesystem::create_symlink(at("same"), at("link"));
  report({"same", ".hidden", "link", "gone-before-seen"});
  report({"folder"}, FileEventStream::kItemIsDir | FileEventStream::kItemInodeMetaMod);
  // The root itself and paths outside the copy are dropped by the filter.
  monitor_->scanPaths({Event{root_, 1, FileEventStream::kItemIsDir}, Event{"/elsewhere/f", 2, kFileChanged}});
  takeIndexed();
  tick();
  EXPECT_EQ(usn(), before);
  // Nor is any announced as indexed: the pane would tell of files updated.
  EXPECT_EQ(takeIndexed(), std::vector<std::string>{});
  EXPECT_FALSE(stored(".hidden"));
  EXPECT_FALSE(stored("link"));
  EXPECT_FALSE(stored("folder/new"));  // no event of its own yet
}

TEST_F(MonitorClassifyTest, AbsentPathAlreadyRemovedIsNoChange) {
  load();
  writeFile(at("f"), "f");
  std::filesystem::create_directories(at("d/e"));
  look({"f", "d"});
  std::filesystem::remove(at("f"));
  std::filesystem::remove_all(at("d"));
  look({"f", "d"}, FileEventStream::kItemRemoved);
  ASSERT_EQ(stored("f")->status(), 1);
  ASSERT_EQ(stored("d/e")->status(), 1);
  ASSERT_TRUE(notices_.waitFor(2));
  const int64_t removed = usn();
  const std::string clock = storedClock("f");

  // Late or repeated events of the same removals: the removal must not travel again.
  look({"f", "d", "d/e"}, FileEventStream::kItemRemoved);
  EXPECT_EQ(usn(), removed);
  EXPECT_EQ(storedClock("f"), clock);
  // A record left present below a removed folder is still marked removed.
  inTransaction([&] {
    auto left = stored("d/e");
    left->setStatus(0);
    left->save();
  });
  look({"d"}, FileEventStream::kItemRemoved);
  EXPECT_EQ(stored("d/e")->status(), 1);
  EXPECT_TRUE(notices_.waitFor(3));
}

TEST_F(MonitorClassifyTest, FileStillBeingWrittenIsHeldUntilClosedOrStable) {
  load();
  writeFile(at("big"), "part");
  setMtime(at("big"), 1700000000);
  report({"big"}, kFileChanged | FileEventStream::kItemWriting);
  EXPECT_TRUE(changeSet().empty());
  // Written again before the tick: held, with the time it has now.
  writeFile(at("big"), "part, more");
  setMtime(at("big"), 1700000010);
  tick();
  EXPECT_FALSE(stored("big"));
  writeFile(at("big"), "part, more, all");
  setMtime(at("big"), 1700000020);
  tick();
  EXPECT_FALSE(stored("big"));
  // No more writes over one tick: recorded without any further event.
  tick();
  ASSERT_TRUE(recorded("big"));
  EXPECT_EQ(stored("big")->sha1(), sha1Of("part, more, all"));

  // Closed: the next event no longer says writing, and it goes in at once.
  report({"big"}, kFileChanged | FileEventStream::kItemWriting);
  writeFile(at("big"), "rewritten");
  look({"big"});
  EXPECT_EQ(stored("big")->sha1(), sha1Of("rewritten"));
}

TEST_F(MonitorClassifyTest, AFailedBatchIsKeptUntilWritesWorkAgain) {
  load();
  column(
      "CREATE TRIGGER refuse BEFORE INSERT ON qo_file WHEN NEW.path LIKE '%boom%' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  writeFile(at("boom"), "b");
  look({"boom"});
  EXPECT_FALSE(stored("boom"));
  EXPECT_EQ(changeSet(), std::set<std::string>{at("boom")});
  column("DROP TRIGGER refuse");
  tick();
  EXPECT_TRUE(recorded("boom"));
  EXPECT_TRUE(changeSet().empty());

  column(
      "CREATE TRIGGER refuse BEFORE INSERT ON qo_file WHEN NEW.path LIKE '%boom%' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  writeFile(at("boom2"), "b");
  report({"boom2"});
  for (int attempt = 0; attempt < Monitor::kMaxBatchAttempts; ++attempt) {
    EXPECT_FALSE(changeSet().empty()) << attempt;
    tick();
  }
  // Not tried on every tick any more, but not given up either (a full disk for a while).
  EXPECT_TRUE(changeSet().empty());
  EXPECT_FALSE(stored("boom2"));
  column("DROP TRIGGER refuse");
  // Writes work again, and nothing else changes: it is tried again after a while.
  EXPECT_TRUE(eventually([&] {
    tick();
    return recorded("boom2");
  }));

  // A write that works tells at once that the database takes writes again.
  column(
      "CREATE TRIGGER refuse BEFORE INSERT ON qo_file WHEN NEW.path LIKE '%boom%' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  writeFile(at("boom3"), "b");
  report({"boom3"});
  for (int attempt = 0; attempt < Monitor::kMaxBatchAttempts; ++attempt) tick();
  EXPECT_FALSE(stored("boom3"));
  column("DROP TRIGGER refuse");
  writeFile(at("other"), "o");
  look({"other"});
  ASSERT_TRUE(recorded("other"));
  tick();
  EXPECT_TRUE(recorded("boom3"));
}

TEST_F(MonitorClassifyTest, ARescanThatCouldNotRecordEverythingIsMadeAgainOnceWritesWork) {
  writeFile(at("boom"), "b");
  column(
      "CREATE TRIGGER refuse BEFORE INSERT ON qo_file WHEN NEW.path LIKE '%boom%' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  load();
  EXPECT_FALSE(stored("boom"));
  column("DROP TRIGGER refuse");
  EXPECT_TRUE(eventually([&] {
    tick();
    return recorded("boom");
  }));
}

TEST_F(MonitorClassifyTest, FilesAreHashedBeforeTheTransactionLockerIsTaken) {
  load();
  writeFile(at("hashed"), std::string(1 << 20, 'h'));
  report({"hashed"});
  const int watcher = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watcher, 0);
  ASSERT_GE(inotify_add_watch(watcher, at("hashed").c_str(), IN_CLOSE_NOWRITE), 0);

  std::unique_lock<RecursiveLocker> transaction(Lockers::transaction());
  std::thread classifier([&] { tick(); });
  // The file is read to its end while the locker is still held here.
  pollfd ready{watcher, POLLIN, 0};
  const bool readWhileLocked = ::poll(&ready, 1, 20000) == 1;
  transaction.unlock();
  classifier.join();
  ::close(watcher);
  EXPECT_TRUE(readWhileLocked);
  ASSERT_TRUE(recorded("hashed"));
  EXPECT_EQ(stored("hashed")->sha1(), sha1Of(std::string(1 << 20, 'h')));
}

TEST_F(MonitorClassifyTest, ChangeAfterHashingWaitsForTheNextTick) {
  load();
  writeFile(at("moving"), "first");
  report({"moving"});
  const int watcher = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watcher, at("moving").c_str(), IN_CLOSE_NOWRITE), 0);
  std::unique_lock<RecursiveLocker> transaction(Lockers::transaction());
  std::thread classifier([&] { tick(); });
  // Once hashed, the file changes before the records may be written.
  pollfd ready{watcher, POLLIN, 0};
  ::poll(&ready, 1, 20000);
  ::close(watcher);
  writeFile(at("moving"), "second, changed");
  transaction.unlock();
  classifier.join();
  EXPECT_FALSE(stored("moving") && stored("moving")->sha1() == sha1Of("first"));
  tick();
  ASSERT_TRUE(recorded("moving"));
  EXPECT_EQ(stored("moving")->sha1(), sha1Of("second, changed"));
}

TEST_F(MonitorClassifyTest, TheSystemsOwnWritesAreNotRecordedAgain) {
  writeFile(at("gone"), "gone");
  load();
  ASSERT_TRUE(notices_.waitFor(1));
  const auto goneRecord = incoming("gone", Incoming().status(1).clock({1, 3}));
  ASSERT_TRUE(goneRecord->handleFetchEvent(EventDeleteFile));
  ASSERT_TRUE(incoming("d", Incoming().type(1))->handleFetchEvent(EventCreateDirectory));
  ASSERT_TRUE(incoming("d/e", Incoming())->handleFetchEvent(EventCreateEmptyFile));
  ASSERT_TRUE(incoming("d/f", Incoming().content("fetched").download("fetched"))->handleFetchEvent(EventCreateFile));
  const int64_t before = usn();

  // What the event stream reports for those writes.
  report({"gone"}, FileEventStream::kItemIsFile | FileEventStream::kItemRemoved);
  report({"d"}, FileEventStream::kItemIsDir | FileEventStream::kItemCreated);
  look({"d/e", "d/f"}, FileEventStream::kItemIsFile | FileEventStream::kItemRenamed);
  EXPECT_EQ(usn(), before);
  // Then a change of the user's: exactly one usn more.
  writeFile(at("d/mine"), "mine");
  look({"d/mine"});
  EXPECT_EQ(usn(), before + 1);
  EXPECT_TRUE(notices_.waitFor(2));
}

TEST_F(MonitorClassifyTest, ChangesRightAfterAnInstallAreRecorded) {
  load();
  for (const char* name : {"kept", "written", "chmodded", "replaced"}) {
    ASSERT_TRUE(incoming(name, Incoming().content("fetched").download("fetched"))->handleFetchEvent(EventCreateFile));
  }
  // Installed inside a transaction that is then undone: taken off the disk with its records.
  {
    WriteTransaction outer;
    const auto undone = incoming("undone", Incoming().content("fetched").download("fetched"));
    ASSERT_TRUE(undone->handleFetchEvent(EventCreateFile));
    outer.rollback();
  }
  ASSERT_FALSE(stored("undone"));
  ASSERT_FALSE(std::filesystem::exists(at("undone")));
  const int64_t before = usn();

  // The user's changes, made before the monitor hears of the installs.
  writeFile(at("written"), "fetchex");
  ::chmod(at("chmodded").c_str(), 0600);
  std::filesystem::remove(at("replaced"));
  writeFile(at("replaced"), "mine, longer");
  report({"kept", "written", "chmodded", "replaced", "undone"},
         FileEventStream::kItemIsFile | FileEventStream::kItemRenamed);
  tick();

  EXPECT_EQ(stored("kept")->sha1(), sha1Of("fetched"));
  EXPECT_EQ(stored("written")->sha1(), sha1Of("fetchex"));
  EXPECT_EQ(stored("chmodded")->unixAttr(), 0600);
  EXPECT_EQ(stored("replaced")->sha1(), sha1Of("mine, longer"));
  EXPECT_FALSE(recorded("undone"));
  EXPECT_EQ(usn(), before + 3);

  // A later edit of the untouched install is an ordinary change.
  writeFile(at("kept"), "edited later");
  look({"kept"});
  EXPECT_EQ(stored("kept")->sha1(), sha1Of("edited later"));
}

TEST_F(MonitorClassifyTest, AFolderReplacedByALinkIsNotReadThroughIt) {
  writeFile(at("d/notes"), "mine");
  writeFile(at("d/sub/deep"), "deep");
  load();
  ASSERT_TRUE(recorded("d/notes"));
  // Outside the copy: files with the same names, and a folder for the walk to enter.
  TempDir outside;
  writeFile(outside / "notes", "outside secret");
  writeFile(outside / "sub" / "deep", "outside deep");
  writeFile(outside / "fresh" / "x", "outside x");
  std::filesystem::remove_all(at("d"));
  std::filesystem::create_symlink(outside.path(), at("d"));
  report({"d/notes", "d/sub/deep", "d/fresh"});
  look({"d"}, FileEventStream::kItemIsSymlink | FileEventStream::kItemCreated);
  // Reached only through the link: gone from the copy, and nothing outside is read.
  EXPECT_EQ(stored("d")->status(), 1);
  EXPECT_EQ(stored("d/notes")->status(), 1);
  EXPECT_EQ(stored("d/sub/deep")->status(), 1);
  EXPECT_FALSE(recorded("d/fresh"));
  EXPECT_FALSE(recorded("d/fresh/x"));
  EXPECT_TRUE(changeSet().empty());
}

TEST_F(MonitorClassifyTest, ReloadingTheCopiesKeepsPendingChanges) {
  load();
  writeFile(at("pending"), "p");
  report({"pending"});
  // A tree is added elsewhere: the list is loaded again before the next tick.
  std::filesystem::create_directories(home_.path() / "other");
  copy((home_.path() / "other").string(), QoDevice::getDeviceLocal(), "T", "dddddd-other");
  monitor_->listenFileSystem();
  EXPECT_EQ(monitor_->syncdirCopys().size(), 2u);
  tick();
  EXPECT_TRUE(recorded("pending"));
}

}  // namespace
}  // namespace velbor::test
