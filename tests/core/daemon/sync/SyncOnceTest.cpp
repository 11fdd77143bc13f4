#include <algorithm>
#include <atomic>
#include <filesystem>
#include <limits>
#include <optional>
#include <random>
#include <thread>

#include <sys/statvfs.h>

#include "PullTestBase.h"
#include "core/daemon/router/NoticeLog.h"
#include "core/daemon/sync/PeerFolderRemovals.h"
#include "core/daemon/sync/RecordsBackoff.h"
#include "core/entity/SyncdirMark.h"
#include "core/state/PullsAwaitingPeer.h"
#include "core/state/QoNotices.h"
#include "core/state/SyncFileProcessBox.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/persistence/PersistenceTestSupport.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kMiB = 0x100000;

// Stand-ins for the Find and Get servers that count and may change what is served.
std::atomic<int> finds{0};
std::atomic<int> gets{0};
std::function<void(const pb::MsgFindRequest&)> beforeFind;
std::function<void(pb::MsgFindResponse&)> alterFind;
std::function<QoMessage::Ptr(const pb::MsgGetRequest&)> refuseGet;
// Changes an answer the Get server made; true: no answer goes out at all.
std::function<bool(pb::MsgGetResponse&)> alterGet;

QoMessage::Ptr countedFind(const QoRequest& request) {
  ++finds;
  if (beforeFind) beforeFind(*request.bodyAs<pb::MsgFindRequest>());
  auto reply = QoWorker::handleFindRequest(request);
  if (alterFind) alterFind(*reply->pbBodyAs<pb::MsgFindResponse>());
  return reply;
}

QoMessage::Ptr countedGet(const QoRequest& request) {
  ++gets;
  if (refuseGet) {
    if (auto reply = refuseGet(*request.bodyAs<pb::MsgGetRequest>())) return reply;
  }
  auto reply = QoWorker::handleGetRequest(request);
  if (alterGet && reply && reply->code() == pb::MsgCodeGetResponse &&
      alterGet(*reply->pbBodyAs<pb::MsgGetResponse>())) {
    return nullptr;
  }
  return reply;
}

class SyncOnceTest : public PullTestBase {
 protected:
  void SetUp() override {
    PullTestBase::SetUp();
    finds = 0;
    gets = 0;
  }
  void TearDown() override {
    PullTestBase::TearDown();
    beforeFind = nullptr;
    alterFind = nullptr;
    refuseGet = nullptr;
    alterGet = nullptr;
  }

  // Every page names `count` more copies, new ones each time.
  static std::function<void(pb::MsgFindResponse&)> namingNewCopies(int count) {
    return [count](pb::MsgFindResponse& page) {
      for (int i = 0; i < count; ++i) page.add_uuids(QoUtils::generateUuid());
    };
  }
  // The record of `path` on `page` counts `value` for each of the page's last `copies` copies.
  static void countLastCopies(pb::MsgFindResponse& page, const std::string& path, int copies, int32_t value = 1) {
    for (auto& stat : *page.mutable_stats()) {
      if (stat.path() != path) continue;
      while (stat.vclock_size() < page.uuids_size()) stat.add_vclock(0);
      for (int k = page.uuids_size() - copies; k < page.uuids_size(); ++k) stat.set_vclock(k, value);
    }
  }

  // What a peer restored from a backup has: no record of `relative`, and numbers it hands
  // out again from where its backup stood.
  void forgetInB(const std::string& relative) {
    const auto file = QoFile::getFileWithPath(inB(relative));
    ASSERT_TRUE(file);
    QoFileAndSyncdirCopyRelation::deleteObjectsByCriteria(
        "WHERE file = ?", QoFileAndSyncdirCopyRelation::Parameters{std::to_string(file->pk())});
    file->deleteObject();
    fs::remove(inB(relative));
  }
  void setUsnInB(const std::string& relative, int64_t usn) {
    const auto file = QoFile::getFileWithPath(inB(relative));
    ASSERT_TRUE(file);
    file->setUsn(usn);
    file->save();
  }

  // The peer restored from a backup taken before `pulled` (the record at the mark) was made,
  // with three files made since: the last stands at the mark, the others just below it.
  std::vector<std::string> restoreBAndNumberUpToTheMark(const std::string& pulled, int64_t mark) {
    forgetInB(pulled);
    const std::vector<std::string> made{"n1.txt", "n2.txt", "n3.txt"};
    for (const std::string& name : made) writeB(name, name);
    recordB();
    for (size_t i = 0; i < made.size(); ++i) setUsnInB(made[i], mark - 2 + static_cast<int64_t>(i));
    return made;
  }

  int64_t highestUsnInB() {
    int64_t highest = 0;
    for (const auto& record : copyB_->getFileRelationsWithUsn(0, -1))
      highest = std::max(highest, record->file()->usn());
    return highest;
  }

  // Every item below copy "b" is in copy "a" with the same type and content,
  // and files with the same permissions and modification time; nothing else is in "a".
  void expectSameTrees() {
    std::vector<std::string> inBOnly;
    size_t items = 0;
    // Each folder's own mark is not synchronised.
    const auto isMark = [](const fs::directory_entry& entry) { return entry.path().filename() == ".Velbor.Syncdir"; };
    for (const auto& entry : fs::recursive_directory_iterator(rootB_)) {
      if (isMark(entry)) continue;
      ++items;
      const std::string relative = entry.path().string().substr(rootB_.size() + 1);
      SCOPED_TRACE(relative);
      const std::string a = inA(relative);
      ASSERT_TRUE(fs::exists(fs::symlink_status(a)));
      EXPECT_EQ(fs::is_directory(a), entry.is_directory());
      // Folder permissions do not travel: a folder arrives with 0755.
      EXPECT_EQ(modeOf(a), entry.is_directory() ? 0755 : modeOf(entry.path().string()));
      if (!entry.is_directory()) {
        EXPECT_TRUE(readFile(a) == readFile(entry.path().string()));
        EXPECT_EQ(QoFile::getFileModifyTimeAtPath(a), QoFile::getFileModifyTimeAtPath(entry.path().string()));
      }
    }
    EXPECT_EQ(static_cast<size_t>(std::count_if(fs::recursive_directory_iterator(rootA_), {},
                                                [&](const fs::directory_entry& entry) { return !isMark(entry); })),
              items);
  }

  // Copy "a"'s disk goes away: an empty folder stands at its path, the mount point.
  void unmountA() {
    fs::rename(rootA_, diskA());
    fs::create_directories(rootA_);
  }
  // Mounted again, over whatever the mount point holds.
  void remountA() {
    fs::remove_all(rootA_);
    fs::rename(diskA(), rootA_);
  }
  std::string diskA() const { return rootA_ + ".disk"; }

  // The Get server refuses the first request for `path` once.
  void refuseOnce(const std::string& path) {
    refusedOnce_ = false;
    refuseGet = [this, path](const pb::MsgGetRequest& request) -> QoMessage::Ptr {
      if (request.path() != path || refusedOnce_.exchange(true)) return nullptr;
      return getError(request, pb::ErrorCodeVclockMismatch);
    };
  }
  // The transfers a log saw begin and end ("done" or "stopped").
  static std::vector<std::string> transfersIn(NoticeLog<notice::SyncFileProcess>& log) {
    std::vector<std::string> transfers;
    for (const auto& notice : log.delivered()) {
      if (notice.box->status == SyncFileDownloadBegin) transfers.push_back("begin");
      if (notice.box->status == SyncFileDownloadEnd) transfers.push_back(notice.box->complete ? "done" : "stopped");
    }
    return transfers;
  }

  // "0.txt" and "1.txt" pulled, "b" numbering them 10 and 13; the mark.
  int64_t pullTwoNumberedUpTo13() {
    writeB("0.txt", "zero");
    writeB("1.txt", "one");
    recordB();
    setUsnInB("0.txt", 10);
    setUsnInB("1.txt", 13);
    EXPECT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
    EXPECT_EQ(storedMark(), 13);
    return storedMark();
  }

  // Asked again with nothing new: one page from the mark, holding only the record pulled
  // there (the peer's numbers held), and nothing fetched.
  void expectNothingNewAskedFor() {
    finds = 0;
    gets = 0;
    const auto again = syncOnce();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->code(), pb::MsgCodeSyncOnceResponse);
    EXPECT_EQ(finds.load(), 1);
    EXPECT_EQ(gets.load(), 0);
    EXPECT_EQ(storedMark(), highestUsnInB());
  }

  std::atomic<bool> refusedOnce_{false};
  QoHandlerTable::ScopedOverride find_{"FindRequest", &countedFind};
  QoHandlerTable::ScopedOverride get_{"GetRequest", &countedGet};
};

TEST_F(SyncOnceTest, MixedTreeArrivesIdenticalThenNothingNewIsAskedFor) {
  QoConfig::sharedQoConfig().setEncryptLevel(2);
  startPeer();
  writeB("文件夹 一/子 目录/深 的 文件.txt", "你好, world", 0600, 1600000001234);
  writeB("文件夹 一/空 文件", "", 0640, 1600000002000);
  writeB("nested/a/b/parts.bin", pattern(5 * 0x100000 / 2, 'p'), 0755, 1500000000999);
  writeB("top level.txt", "top", 0644, 1400000000000);
  fs::create_directories(inB("empty folder/inside empty"));
  fs::permissions(inB("empty folder"), fs::perms(0700));
  recordB();

  const auto reply = syncOnce();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->code(), pb::MsgCodeSyncOnceResponse);
  expectSameTrees();
  EXPECT_TRUE(temporaries().empty());
  EXPECT_EQ(storedMark(), highestUsnInB());
  EXPECT_EQ(finds.load(), 2);  // one page, then the empty page that ends the pass
  expectNothingNewAskedFor();
}

TEST_F(SyncOnceTest, RequestDuringAPassGetsAnotherPass) {
  startPeer();
  writeB("first.txt", "first");
  recordB();
  int early = -1;
  beforeFind = [&](const pb::MsgFindRequest& request) {
    if (request.since() != 0 || early != -1) return;
    // A change arrives while the pass runs, and with it a request for this pairing.
    writeB("later.txt", "later");
    recordB();
    early = syncOnce()->code();
  };
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_EQ(early, pb::MsgCodeSyncOnceResponse);
  EXPECT_EQ(readFile(inA("later.txt")), "later");
  EXPECT_EQ(storedMark(), highestUsnInB());
}

TEST_F(SyncOnceTest, RequestAtTheEndOfARunIsNeverLost) {
  startPeer();
  // Every request must be followed by a find that starts after it: either its own run's,
  // or another pass of the run it found in progress.
  std::atomic<int> clock{0};
  std::atomic<int> lastFind{0};
  std::atomic<bool> findServed{false};
  beforeFind = [&](const pb::MsgFindRequest&) {
    lastFind = ++clock;
    findServed = true;
  };
  std::mt19937 random(7);
  for (int round = 0; round < 150; ++round) {
    findServed = false;
    std::thread running([&] { syncOnce(); });
    while (!findServed) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    const int asked = ++clock;
    syncOnce();
    running.join();
    ASSERT_GT(lastFind.load(), asked) << "round " << round;
  }
}

TEST_F(SyncOnceTest, RefusesWhatItCannotPull) {
  startPeer();
  auto body = std::make_shared<pb::MsgSyncOnceRequest>();
  body->set_local_tree_uuid(copyB_->uuid());
  body->set_remote_tree_uuid(QoUtils::generateUuid());
  QoRequest request;
  request.body = body;
  const auto none = QoWorker::handleSyncOnceRequest(request);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->code(), pb::MsgCodeError);
  EXPECT_EQ(none->pbBodyAs<pb::MsgError>()->errcode(), pb::ErrorCodeBadSyncdir);
  EXPECT_EQ(none->pbBodyAs<pb::MsgError>()->errstr(), "No syncdir in this device!!");

  // A pairing whose first copy is another device's: pulling it would write into that
  // device's folder path here.
  handCopyBToAnotherDevice();
  writeB("x.txt", "x");
  pair(copyB_, copyA_);
  body->set_remote_tree_uuid(copyA_->uuid());
  EXPECT_THROW(QoWorker::handleSyncOnceRequest(request), QoExceptionZeBadTree);
  EXPECT_EQ(finds.load(), 0);
}

TEST_F(SyncOnceTest, AFolderThatIsNotTheRecordedOneTakesNothingIn) {
  startPeer();
  writeB("kept.txt", "kept");
  writeB("gone.txt", "gone");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  copyA_->refresh();
  ASSERT_EQ(readFile(inA("gone.txt")), "gone");

  // A's disk is not mounted; meanwhile B removes a file and adds one.
  unmountA();
  fs::remove(inB("gone.txt"));
  writeB("new.txt", "new");
  recordB();
  finds = 0;
  EXPECT_EQ(syncOnce(), nullptr) << "stopped early, as after a time-out";
  EXPECT_EQ(finds.load(), 0);
  EXPECT_TRUE(fs::is_empty(rootA_)) << "nothing is written onto the disk below the mount point";
  const auto stillThere = copyA_->getFileRelationWithFilePath(inA("gone.txt"));
  ASSERT_NE(stillThere, nullptr);
  EXPECT_EQ(stillThere->file()->status(), 0);

  // Mounted again: the pull takes the removal and the new file.
  remountA();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_FALSE(fs::exists(inA("gone.txt")));
  EXPECT_EQ(readFile(inA("new.txt")), "new");
  EXPECT_EQ(readFile(inA("kept.txt")), "kept");
}

TEST_F(SyncOnceTest, AFolderOfAFileArrivingIsNotMadeAgainBelowAnUnmountedDisk) {
  startPeer();
  writeB("d/x.txt", "x");
  writeB("kept.txt", "kept");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  const auto arriving = copyA_->getFileRelationWithFilePath(inA("d/x.txt"));
  ASSERT_NE(arriving, nullptr);

  // The disk goes away while a pull is at work: its folders are not made on the mount point,
  // or the folder would hold something, be marked, and every file recorded taken as removed.
  unmountA();
  EXPECT_FALSE(arriving->restoreMissingFolders());
  EXPECT_TRUE(fs::is_empty(rootA_));
  EXPECT_FALSE(SyncdirMark::inPlace(*copyA_));

  remountA();
  fs::remove_all(inA("d"));
  EXPECT_TRUE(arriving->restoreMissingFolders()) << "the disk in place: the folder is made again";
  EXPECT_TRUE(fs::is_directory(inA("d")));
}

TEST_F(SyncOnceTest, AFileArrivingAfterTheDiskWentIsNotPutOnTheMountPoint) {
  startPeer();
  writeB("kept.txt", "kept");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  writeB("1.txt", "one");
  writeB("2.txt", "two");
  recordB();
  // The disk goes away while the first file is asked for.
  std::atomic<bool> gone{false};
  refuseGet = [&](const pb::MsgGetRequest& request) -> QoMessage::Ptr {
    if (gone.exchange(true)) return nullptr;
    unmountA();
    return getError(request, pb::ErrorCodeVclockMismatch);
  };
  syncOnce();
  ASSERT_TRUE(gone);
  for (const auto& entry : fs::directory_iterator(rootA_)) {
    EXPECT_TRUE(entry.path().filename().string().ends_with("Velbor.Download")) << entry.path();
  }
  EXPECT_FALSE(SyncdirMark::inPlace(*copyA_)) << "marked, every file recorded would be taken as removed";

  // Mounted again: what did not arrive comes now.
  refuseGet = nullptr;
  remountA();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_EQ(readFile(inA("1.txt")), "one");
  EXPECT_EQ(readFile(inA("2.txt")), "two");
  EXPECT_EQ(readFile(inA("kept.txt")), "kept");
}

// The disk goes away after the pull's start: the peer's removals find nothing at their paths
// (no folder, or no file, on the mount point), yet the files are still on the disk. Recorded
// as removed here, they would come back as new files once the disk is mounted again.
TEST_F(SyncOnceTest, RemovalsArrivingAfterTheDiskWentAreTakenWhenItIsBack) {
  startPeer();
  writeB("d/x.txt", "x");
  writeB("top.txt", "top");
  writeB("kept.txt", "kept");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  fs::remove(inB("d/x.txt"));
  fs::remove(inB("top.txt"));
  recordB();

  std::atomic<bool> gone{false};
  beforeFind = [&](const pb::MsgFindRequest&) {
    if (!gone.exchange(true)) unmountA();
  };
  syncOnce();
  ASSERT_TRUE(gone);
  EXPECT_TRUE(fs::is_empty(rootA_));
  for (const char* name : {"d/x.txt", "top.txt"}) {
    const auto record = copyA_->getFileRelationWithFilePath(inA(name));
    ASSERT_NE(record, nullptr) << name;
    EXPECT_EQ(record->file()->status(), 0) << name << " recorded as removed while its disk is away";
  }

  // Mounted again: the removals are made on the disk.
  beforeFind = nullptr;
  remountA();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_FALSE(fs::exists(inA("d/x.txt")));
  EXPECT_FALSE(fs::exists(inA("top.txt")));
  EXPECT_EQ(readFile(inA("kept.txt")), "kept");
  EXPECT_EQ(failedUsn(), 0);
}

TEST_F(SyncOnceTest, APeerIsPulledFromOverTcpOnly) {
  startPeer();
  writeB("x.txt", "x");
  recordB();
  local_->setRouteUri("ipc:///tmp/velbor-nobody.ipc");
  local_->save();
  EXPECT_THROW(syncOnce(), Exception);
  EXPECT_FALSE(DataSource::sharedDataSource().isDoingSyncOnce(pairing_->pk()));
  EXPECT_EQ(finds.load(), 0);
}

TEST_F(SyncOnceTest, PageThatDoesNotMoveOnEndsThePassWithAnError) {
  startPeer();
  writeB("x.txt", "x");
  recordB();
  alterFind = [&](pb::MsgFindResponse& page) {
    // A page at or below what was asked; after three of them the peer runs dry.
    if (finds >= 3) page.clear_stats();
    for (auto& stat : *page.mutable_stats()) stat.set_usn(0);
  };
  EXPECT_THROW(syncOnce(), QoExceptionZeGeneral);
  EXPECT_EQ(finds.load(), 1);
  EXPECT_EQ(storedMark(), 0);
  EXPECT_FALSE(DataSource::sharedDataSource().isDoingSyncOnce(pairing_->pk()));
}

TEST_F(SyncOnceTest, NewCopiesTakeOneSlotEachAndACopyNamedTwiceIsRefused) {
  startPeer();
  fs::create_directories(inB("d"));
  recordB();
  const std::string first = QoUtils::generateUuid();
  const std::string second = QoUtils::generateUuid();
  alterFind = [&](pb::MsgFindResponse& page) {
    page.add_uuids(first);
    page.add_uuids(second);
    // Counted by the folder's clock (a copy no clock counts keeps no slot).
    countLastCopies(page, "/d", 2);
  };
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  const auto slots = copyA_->getSyncdirCopysUuidList();
  EXPECT_EQ(slots, (std::vector<std::string>{copyA_->uuid(), copyB_->uuid(), first, second}));
  EXPECT_TRUE(fs::is_directory(inA("d")));
  EXPECT_EQ(copyA_->getFileRelationWithFilePath(inA("d"))->getVclockObject().getClockArray().size(), 4u);

  writeB("y.txt", "y");
  recordB();
  alterFind = [&](pb::MsgFindResponse& page) {
    page.add_uuids(first);
    page.add_uuids(first);
  };
  EXPECT_THROW(syncOnce(), QoExceptionZeBadUuid);
  EXPECT_FALSE(fs::exists(inA("y.txt")));
  EXPECT_EQ(copyA_->getSyncdirCopysUuidList(), slots);
}

TEST_F(SyncOnceTest, PageNamingMoreCopiesThanAFolderKeepsAddsNoneAndUncountedCopiesAreNotKept) {
  startPeer();
  writeB("x.txt", "x");
  recordB();
  const auto slots = copyA_->getSyncdirCopysUuidList();
  // Each new copy would be a stored row and a counter in every clock of the folder, for good.
  alterFind = namingNewCopies(3000);
  EXPECT_THROW(syncOnce(), QoExceptionZeBadFormat);
  EXPECT_EQ(copyA_->getSyncdirCopysUuidList(), slots);
  EXPECT_FALSE(fs::exists(inA("x.txt")));
  EXPECT_EQ(storedMark(), 0);

  // Copies named but counted in no clock carry nothing to keep a slot for.
  alterFind = namingNewCopies(300);
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_EQ(readFile(inA("x.txt")), "x");
  EXPECT_EQ(copyA_->getSyncdirCopysUuidList(), slots);
}

// A folder counted by one more copy: that copy takes a slot, an uncounted one does not.
TEST_F(SyncOnceTest, OnlyCopiesCountedInAClockAreStored) {
  startPeer();
  const auto slots = copyA_->getSyncdirCopysUuidList();
  fs::create_directories(inB("d"));
  recordB();
  const std::string counted = QoUtils::generateUuid();
  alterFind = [&](pb::MsgFindResponse& page) {
    page.add_uuids(QoUtils::generateUuid());
    page.add_uuids(counted);
    countLastCopies(page, "/d", 1, 4);
  };
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_TRUE(fs::is_directory(inA("d")));
  auto expected = slots;
  expected.push_back(counted);
  EXPECT_EQ(copyA_->getSyncdirCopysUuidList(), expected);
  EXPECT_EQ(copyA_->getFileRelationWithFilePath(inA("d"))->getVclockObject().getClockValueAtIndex(2), 4u);
}

// Every copy a folder may keep can be named by the parts of a file.
TEST_F(SyncOnceTest, AFileArrivesWhenItsPartsNameThreeHundredCopies) {
  startPeer();
  for (int i = 0; i < 300; ++i) QoSyncdirCopy::addPlaceholderCopy(copyB_->syncdirUuid(), QoUtils::generateUuid());
  writeB("y.txt", "y");
  recordB();
  auto record = copyB_->getFileRelationWithFilePath(inB("y.txt"));
  std::string clock = "0|1";
  for (int i = 0; i < 300; ++i) clock += "|1";
  record->setVclock(clock);
  record->save();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_EQ(readFile(inA("y.txt")), "y");
  EXPECT_EQ(storedMark(), highestUsnInB());
}

// The peer's numbers went back with its home (a backup put back): what it changed since
// is numbered below what was pulled from it already.
TEST_F(SyncOnceTest, PeerWhoseNumbersWentBackBelowTheMarkIsPulledAgainFromTheStart) {
  startPeer();
  writeB("1.txt", "one");
  writeB("2.txt", "two");
  recordB();
  const int64_t restored = std::max(usnInB("1.txt"), usnInB("2.txt"));
  writeB("3.txt", "three");
  writeB("4.txt", "four");
  writeB("5.txt", "five");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  const int64_t mark = storedMark();
  ASSERT_EQ(mark, highestUsnInB());

  // Back to the state after 2.txt; then a new file and an edit, numbered from there.
  for (const char* name : {"3.txt", "4.txt", "5.txt"}) forgetInB(name);
  writeB("new.txt", "new");
  writeB("1.txt", "edited");
  recordB();
  setUsnInB("new.txt", restored + 1);
  setUsnInB("1.txt", restored + 2);
  ASSERT_LT(highestUsnInB(), mark);

  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_EQ(readFile(inA("new.txt")), "new");
  EXPECT_EQ(readFile(inA("1.txt")), "edited");
  EXPECT_EQ(storedMark(), highestUsnInB());
  // Nothing the peer lost is taken away here.
  EXPECT_EQ(readFile(inA("5.txt")), "five");
}

// Restored, the peer made more changes than the backup took back before this copy pulled:
// some are numbered above the mark, and those below it must be asked for all the same.
TEST_F(SyncOnceTest, PeerWhoseNumbersWentBackAndPastTheMarkIsPulledAgainFromTheStart) {
  startPeer();
  writeB("1.txt", "one");
  recordB();
  const int64_t restored = usnInB("1.txt");
  for (const char* name : {"2.txt", "3.txt", "4.txt"}) writeB(name, name);
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  const int64_t mark = storedMark();
  ASSERT_EQ(mark, highestUsnInB());

  for (const char* name : {"2.txt", "3.txt", "4.txt"}) forgetInB(name);
  std::vector<std::string> made;
  for (int i = 1; i <= 6; ++i) made.push_back("new" + std::to_string(i) + ".txt");
  for (const std::string& name : made) writeB(name, name);
  recordB();
  for (size_t i = 0; i < made.size(); ++i) setUsnInB(made[i], restored + 1 + static_cast<int64_t>(i));
  ASSERT_GT(highestUsnInB(), mark);
  ASSERT_EQ(usnInB(made[static_cast<size_t>(mark - restored - 1)]), mark) << "another record stands at the mark";

  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  for (const std::string& name : made) EXPECT_EQ(readFile(inA(name)), name) << name;
  EXPECT_EQ(storedMark(), highestUsnInB());
  EXPECT_EQ(failedUsn(), 0);
}

// The record pulled at the mark changed again, so it moved above the mark: nothing went back,
// and the pull goes on from the mark.
TEST_F(SyncOnceTest, ARecordThatMovedAboveTheMarkIsNoReasonToAskFromTheStart) {
  startPeer();
  writeB("1.txt", "one");
  writeB("2.txt", "two");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  const int64_t mark = storedMark();
  std::vector<int64_t> asked;
  std::mutex askedLock;
  beforeFind = [&](const pb::MsgFindRequest& request) {
    std::lock_guard guard(askedLock);
    asked.push_back(request.since());
  };
  const std::string last = usnInB("1.txt") == mark ? "1.txt" : "2.txt";
  writeB(last, "edited");
  recordB();
  ASSERT_GT(usnInB(last), mark);

  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_EQ(readFile(inA(last)), "edited");
  std::lock_guard guard(askedLock);
  for (const int64_t since : asked) EXPECT_GT(since, 0);
  EXPECT_EQ(storedMark(), highestUsnInB());
}

// A record that fails here stops the mark below it; when that is the mark already, what
// stands at the mark is still the record pulled there and is kept known.
TEST_F(SyncOnceTest, ARecordFailingJustAboveTheMarkKeepsTheRecordAtTheMarkKnown) {
  startPeer();
  const int64_t mark = pullTwoNumberedUpTo13();
  ASSERT_FALSE(HasFailure());
  writeB("bad.txt", "never installed here");
  recordB();
  setUsnInB("bad.txt", mark + 1);
  refuseGet = [](const pb::MsgGetRequest& request) -> QoMessage::Ptr {
    if (request.path() != "/bad.txt") return nullptr;
    return getError(request, pb::ErrorCodeVclockMismatch);
  };
  syncOnce();
  ASSERT_EQ(failedUsn(), mark + 1);
  ASSERT_EQ(storedMark(), mark);

  refuseGet = nullptr;
  forgetInB("bad.txt");
  const std::vector<std::string> made = restoreBAndNumberUpToTheMark("1.txt", mark);
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  for (const std::string& name : made) EXPECT_EQ(readFile(inA(name)), name) << name;
}

// A mark stored before the record at it was kept (an older version): the next pull learns
// that record, even when the peer has nothing new.
TEST_F(SyncOnceTest, AMarkStoredWithoutItsRecordLearnsItAtTheNextPull) {
  startPeer();
  const int64_t mark = pullTwoNumberedUpTo13();
  ASSERT_FALSE(HasFailure());
  DataSource::sharedDataSource().setSyncdirCopyMaxUsnWithRelationKey(pairingKey(), mark);
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  ASSERT_EQ(storedMark(), mark);

  const std::vector<std::string> made = restoreBAndNumberUpToTheMark("1.txt", mark);
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  for (const std::string& name : made) EXPECT_EQ(readFile(inA(name)), name) << name;
}

// The peer's clock went back as well: its next edit carries a counter this copy has seen
// already, for other content. Both versions stay.
TEST_F(SyncOnceTest, EditWithACounterSeenBeforeForOtherContentKeepsBothVersions) {
  startPeer();
  writeB("f.txt", "first");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  const std::string before = copyB_->getFileRelationWithFilePath(inB("f.txt"))->vclock();
  writeB("f.txt", "second");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  ASSERT_EQ(readFile(inA("f.txt")), "second");

  // Restored: "first" under its old clock; then edited once more, which counts to "second"'s clock.
  auto record = copyB_->getFileRelationWithFilePath(inB("f.txt"));
  record->setVclock(before);
  record->save();
  writeB("f.txt", "third");
  recordB();
  ASSERT_EQ(copyB_->getFileRelationWithFilePath(inB("f.txt"))
                ->getVclockObject()
                .compareToVclock(copyA_->getFileRelationWithFilePath(inA("f.txt"))->getVclockObject()),
            VclockCompareEqual);

  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_EQ(contentsOf(rootA_), (std::vector<std::string>{"second", "third"}));
  EXPECT_TRUE(temporaries().empty());
}

// A removal taken over keeps the kind of item that was here: the peer's record of it may name
// another kind under the same clock. Both say nothing is there, so reading it again (a pull
// from the start) changes nothing, instead of a conflict each side announces to the other.
TEST_F(SyncOnceTest, RemovalsOfTwoKindsOfItemUnderOneClockAreOneVersion) {
  startPeer();
  writeB("d", "a file");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  ASSERT_EQ(readFile(inA("d")), "a file");

  // On B the file became a folder, then went.
  fs::remove(inB("d"));
  fs::create_directories(inB("d"));
  recordB();
  fs::remove(inB("d"));
  recordB();
  const auto removedInB = copyB_->getFileRelationWithFilePath(inB("d"));
  ASSERT_NE(removedInB, nullptr);
  ASSERT_EQ(removedInB->file()->type(), 1);
  ASSERT_EQ(removedInB->file()->status(), 1);

  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_FALSE(fs::exists(inA("d")));
  const auto removedInA = copyA_->getFileRelationWithFilePath(inA("d"));
  ASSERT_NE(removedInA, nullptr);
  ASSERT_EQ(removedInA->file()->status(), 1);
  const int64_t usnInA = removedInA->file()->usn();

  DataSource::sharedDataSource().setSyncdirCopyMaxUsnWithRelationKey(pairingKey(), 0);
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  const auto again = copyA_->getFileRelationWithFilePath(inA("d"));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->file()->usn(), usnInA) << "not announced again";
  EXPECT_EQ(again->vclock(), removedInA->vclock());
  EXPECT_FALSE(fs::exists(inA("d")));
}

TEST_F(SyncOnceTest, FileWithTheLongestNameTheDiskAllowsArrives) {
  startPeer();
  // 255 bytes, the most one name can have: 84 three-byte characters and ".txt".
  std::string name;
  for (int i = 0; i < 83; ++i) name += "\u6587";
  name += "a.txt";
  ASSERT_EQ(name.size(), 254u);
  writeB(name, "long");
  writeB(std::string(251, 'n') + ".txt", "longer");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_EQ(readFile(inA(name)), "long");
  EXPECT_EQ(readFile(inA(std::string(251, 'n') + ".txt")), "longer");
  EXPECT_EQ(storedMark(), highestUsnInB());
  EXPECT_TRUE(temporaries().empty());
}

TEST_F(SyncOnceTest, AFolderRemovedOnThePeerGoesHereWhileWhatWasNeverSynchronisedStays) {
  startPeer();
  writeB("d/x.txt", "x");
  writeB("d/sub/y.txt", "y");
  recordB();
  PeerFolderRemovals::shared().clear();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  const auto peerRemoved = [&](const std::string& relative) {
    return PeerFolderRemovals::shared().removed(copyA_->uuid(), copyB_->uuid(), relative);
  };
  EXPECT_FALSE(peerRemoved("/d"));
  // Hidden entries are not synchronised by default: the peer never hears of them.
  std::ofstream(inA("d/.directory")) << "view";
  std::ofstream(inA("d/sub/.directory")) << "view";
  fs::remove_all(inB("d"));
  recordB();

  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_FALSE(fs::exists(inA("d/x.txt")));
  EXPECT_FALSE(fs::exists(inA("d/sub/y.txt")));
  EXPECT_EQ(readFile(inA("d/.directory")), "view");
  EXPECT_EQ(readFile(inA("d/sub/.directory")), "view");
  for (const char* path : {"d", "d/sub", "d/x.txt", "d/sub/y.txt"}) {
    EXPECT_EQ(QoFile::getFileWithPath(inA(path))->status(), 1) << path;
  }
  // Known for a later page or pass; the parent's spelling may differ there, the name's not.
  EXPECT_TRUE(peerRemoved("/d"));
  EXPECT_TRUE(peerRemoved("/D/sub"));
  EXPECT_FALSE(peerRemoved("/d/Sub"));
  EXPECT_EQ(failedUsn(), 0);
  EXPECT_EQ(storedMark(), highestUsnInB());
  expectNothingNewAskedFor();
}

TEST_F(SyncOnceTest, WhatThePeerAddsToAFolderRemovedHereBringsTheFolderBack) {
  startPeer();
  writeB("d/x.txt", "x");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  fs::remove_all(inA("d"));
  copyA_->refresh();
  const auto removed = QoFile::getFileWithPath(inA("d"));
  ASSERT_EQ(removed->status(), 1);
  // Added on the peer before it heard of the removal: a file, and a folder holding another.
  // The folder's own record stays as it was (its time moving is no change of it).
  const int64_t folderTime = QoFile::getFileModifyTimeAtPath(inB("d"));
  writeB("d/new.txt", "new");
  writeB("d/sub/deep.txt", "deep");
  QoFile::setFileAttributeAtPath(inB("d"), static_cast<int32_t>(modeOf(inB("d"))), folderTime);
  const int64_t folderUsn = usnInB("d");
  recordB();
  ASSERT_EQ(usnInB("d"), folderUsn);

  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_EQ(readFile(inA("d/new.txt")), "new");
  EXPECT_EQ(readFile(inA("d/sub/deep.txt")), "deep");
  EXPECT_FALSE(fs::exists(inA("d/x.txt")));
  // Recorded present again as a change of this copy, so the peer hears of it.
  const auto restored = QoFile::getFileWithPath(inA("d"));
  EXPECT_EQ(restored->status(), 0);
  EXPECT_EQ(restored->type(), 1);
  EXPECT_GT(restored->usn(), removed->usn());
  const auto peerRecord = copyB_->getFileRelationWithFilePath(inB("d"));
  EXPECT_EQ(
      copyA_->getFileRelationWithFilePath(inA("d"))->getVclockObject().compareToVclock(peerRecord->getVclockObject()),
      VclockCompareAfter);
  EXPECT_EQ(failedUsn(), 0);
  EXPECT_EQ(storedMark(), highestUsnInB());
  EXPECT_TRUE(temporaries().empty());
  expectNothingNewAskedFor();
}

// The peer made a folder and renamed it before this copy ever pulled: the page holds the
// removal of the old folder and of what was in it beside the new ones.
TEST_F(SyncOnceTest, AFolderMadeAndRenamedBeforeTheFirstPullArrivesWithoutAFailure) {
  startPeer();
  writeB("X/Y/Z/file.txt", "inside");
  recordB();
  fs::rename(inB("X/Y"), inB("X/W"));
  recordB();

  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  expectSameTrees();
  EXPECT_EQ(failedUsn(), 0);
  EXPECT_EQ(storedMark(), highestUsnInB());
}

// The folder went here, not recorded yet, while the peer moved a file out of it: the peer's
// removal of the file's old path finds no folder to look in.
TEST_F(SyncOnceTest, AFileMovedOutOfAFolderRemovedHereArrivesWithoutAFailure) {
  startPeer();
  writeB("S/P/photo.txt", "photo");
  writeB("S/P/Q/other.txt", "other");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  fs::remove_all(inA("S"));
  fs::rename(inB("S/P/photo.txt"), inB("photo.txt"));
  fs::remove_all(inB("S"));
  recordB();

  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_EQ(readFile(inA("photo.txt")), "photo");
  EXPECT_FALSE(fs::exists(inA("S")));
  EXPECT_EQ(failedUsn(), 0);
  EXPECT_EQ(storedMark(), highestUsnInB());
}

TEST_F(SyncOnceTest, FailedRecordIsFetchedAgainFromThePeersUsn) {
  startPeer();
  writeB("1.txt", "one");
  writeB("2.txt", "two");
  writeB("3.txt", "three");
  recordB();
  refuseGet = [](const pb::MsgGetRequest& request) -> QoMessage::Ptr {
    if (request.path() != "/2.txt") return nullptr;
    return getError(request, pb::ErrorCodeVclockMismatch);
  };
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_FALSE(fs::exists(inA("2.txt")));
  EXPECT_EQ(readFile(inA("3.txt")), "three");
  // Applying the others gave them local usns above every peer usn: the mark is the peer's.
  EXPECT_EQ(storedMark(), usnInB("2.txt") - 1);

  refuseGet = nullptr;
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_EQ(readFile(inA("2.txt")), "two");
  EXPECT_EQ(storedMark(), highestUsnInB());
  EXPECT_TRUE(temporaries().empty());
}

// A peer's usns are its own word: a refused record numbered at the bottom of the range
// leaves a mark the next pull asks from, not a number past the range.
TEST_F(SyncOnceTest, RefusedRecordAtTheLowestUsnLeavesAMarkToAskFrom) {
  startPeer();
  writeB("1.txt", "one");
  recordB();
  alterFind = [](pb::MsgFindResponse& page) {
    if (page.stats_size() == 0) return;
    pb::Stat* bad = page.add_stats();
    *bad = page.stats(0);
    bad->set_path("/refused.txt");
    bad->set_length(-1);
    bad->set_usn(std::numeric_limits<int64_t>::min());
  };
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_EQ(readFile(inA("1.txt")), "one");
  EXPECT_FALSE(fs::exists(inA("refused.txt")));
  EXPECT_LE(storedMark(), 0);
}

// A record no file of this disk can be, or one the page could not fully carry, fails
// alone: the rest of its page comes in, and it is asked for again from its usn.
TEST_F(SyncOnceTest, AnImpossibleRecordFailsAloneAndTheRestOfItsPageArrives) {
  startPeer();
  const std::vector<std::string> bad{"b-huge.bin", "c-no-type.txt", "d-no-status.txt", "e-no-length.txt"};
  writeB("a-before.txt", "before");
  for (const std::string& name : bad) writeB(name, name);
  writeB("f-after.txt", "after");
  recordB();
  struct statvfs disk {};
  ASSERT_EQ(statvfs(rootA_.c_str(), &disk), 0);
  const auto capacity = static_cast<int64_t>(disk.f_blocks * disk.f_frsize);
  alterFind = [&](pb::MsgFindResponse& page) {
    for (auto& stat : *page.mutable_stats()) {
      if (stat.path() == "/b-huge.bin") stat.set_length(std::max(int64_t{1} << 62, capacity + 1));
      // Values outside their sets arrive as fields the schema does not know: missing ones.
      if (stat.path() == "/c-no-type.txt") {
        stat.clear_type();
        stat.mutable_unknown_fields()->AddVarint(pb::Stat::kTypeFieldNumber, 7);
      }
      if (stat.path() == "/d-no-status.txt") {
        stat.clear_status();
        stat.mutable_unknown_fields()->AddVarint(pb::Stat::kStatusFieldNumber, 9);
      }
      if (stat.path() == "/e-no-length.txt") stat.clear_length();
    }
  };
  QoNotify::notifyQueue()->sync([] {});
  NoticeLog<notice::NotEnoughDeviceSpace> notEnough;

  ASSERT_NE(syncOnce(), nullptr);
  EXPECT_EQ(readFile(inA("a-before.txt")), "before");
  EXPECT_EQ(readFile(inA("f-after.txt")), "after");
  int64_t lowest = std::numeric_limits<int64_t>::max();
  for (const std::string& name : bad) {
    EXPECT_FALSE(fs::exists(inA(name))) << name;
    lowest = std::min(lowest, usnInB(name));
  }
  EXPECT_EQ(failedUsn(), lowest);
  EXPECT_EQ(storedMark(), lowest - 1);
  EXPECT_TRUE(notEnough.delivered().empty());
  EXPECT_TRUE(temporaries().empty());

  // Carried whole again, they arrive.
  alterFind = nullptr;
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  expectSameTrees();
  EXPECT_EQ(failedUsn(), 0);
}

// However a file's parts fail to come (one short, one under another file's transfer
// number, one not at all), the file is given up without its temporary download.
TEST_F(SyncOnceTest, AFileGivenUpForItsPartsLeavesNoTemporaryDownload) {
  startPeer(1);  // answers in request order
  struct Case {
    const char* name;
    std::function<bool(pb::MsgGetResponse&)> alter;
    // The part's own answer never comes: to the pull the peer fell silent. Either, when that
    // depends on the order the answers come in.
    std::optional<bool> silent;
  };
  const std::vector<Case> cases{
      {"short.bin", [](pb::MsgGetResponse& answer) { return answer.mutable_part_data()->pop_back(), false; }, false},
      // The number of the file asked for just before it, in the same batch.
      {"other-transfer.bin",
       [](pb::MsgGetResponse& answer) { return answer.set_transfer(answer.transfer() - 1), false; }, std::nullopt},
      {"missing.bin", [](pb::MsgGetResponse&) { return true; }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // What the case before gave up arrives first, so that each case pulls its own files only.
    alterGet = nullptr;
    ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
    ASSERT_EQ(failedUsn(), 0);
    writeB(std::string("0-before-") + c.name, pattern(2 * kMiB + 3, 'b'));
    writeB(c.name, pattern(2 * kMiB + 7, 's'));
    recordB();
    const std::string path = std::string("/") + c.name;
    alterGet = [&c, path](pb::MsgGetResponse& answer) {
      return answer.path() == path && answer.part().offset() == kMiB && c.alter(answer);
    };
    PullsAwaitingPeer::shared().clear();
    // A silent peer: the pull ends there, and is made again when the peer is heard.
    const bool stopped = syncOnce() == nullptr;
    EXPECT_EQ(stopped, c.silent.value_or(stopped));
    EXPECT_EQ(PullsAwaitingPeer::shared().devices().size(), stopped ? 1U : 0U);
    EXPECT_FALSE(fs::exists(inA(c.name)));
    // The file asked for before it may be given up with it.
    EXPECT_GT(failedUsn(), 0);
    EXPECT_LE(failedUsn(), usnInB(c.name));
    EXPECT_TRUE(temporaries().empty()) << ::testing::PrintToString(temporaries());
  }
}

TEST_F(SyncOnceTest, ARecordThatFailsOnceIsFetchedAgainInTheSameRun) {
  startPeer();
  writeB("1.txt", "one");
  writeB("2.txt", "two");
  recordB();
  refuseOnce("/2.txt");
  QoNotify::notifyQueue()->sync([] {});
  NoticeLog<notice::SyncFileProcess> log;
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_TRUE(refusedOnce_);
  EXPECT_EQ(readFile(inA("2.txt")), "two");
  EXPECT_EQ(storedMark(), highestUsnInB());
  // The pass that gave the file up ends its transfer at once (not done), while the retry
  // waits; the retry's own transfer ends done.
  EXPECT_EQ(transfersIn(log), (std::vector<std::string>{"begin", "stopped", "begin", "done"}));
}

// A pass whose records all fail changes nothing here and tells no peer of a change: two devices
// failing each other's records would otherwise pull each other again and again. A folder the
// peer replaced by a file goes before the file comes: that is news even when the file fails.
TEST_F(SyncOnceTest, APassAnnouncesWhatItRecordedAndNothingElse) {
  startPeer();
  fs::create_directories(inB("d"));
  writeB("d/f.txt", "in d");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  ASSERT_EQ(readFile(inA("d/f.txt")), "in d");
  writeB("1.txt", "one");
  recordB();
  refuseGet = [](const pb::MsgGetRequest& request) { return getError(request, pb::ErrorCodeVclockMismatch); };
  // What the first pull posted is delivered before the log starts.
  QoNotify::notifyQueue()->sync([] {});
  std::optional<NoticeLog<notice::FileChanged>> changes(std::in_place);
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_FALSE(fs::exists(inA("1.txt")));
  EXPECT_TRUE(changes->delivered().empty());

  fs::remove_all(inB("d"));
  recordB();
  writeB("d", "a file now");
  recordB();
  changes.emplace();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_FALSE(fs::exists(inA("d")));
  EXPECT_EQ(copyA_->getFileRelationWithFilePath(inA("d"))->file()->status(), 1);
  EXPECT_FALSE(changes->delivered().empty()) << "the removal of d here is announced";
}

// A retry that has nothing left to download still ends the run as done on the row, after
// the pass before it said that it gave a file up.
TEST_F(SyncOnceTest, ARetryWithNothingToDownloadEndsTheTransferDone) {
  startPeer();
  writeB("1.txt", "one");
  writeB("2.txt", "two");
  recordB();
  refuseOnce("/2.txt");
  // After the refusal the peer lists nothing more, as one whose file needs nothing here.
  alterFind = [this](pb::MsgFindResponse& page) {
    if (refusedOnce_) page.clear_stats();
  };
  QoNotify::notifyQueue()->sync([] {});
  NoticeLog<notice::SyncFileProcess> log;
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  ASSERT_TRUE(refusedOnce_);
  EXPECT_EQ(transfersIn(log), (std::vector<std::string>{"begin", "stopped", "begin", "done"}));
}

TEST_F(SyncOnceTest, FilesMovedOnThePeerAreMovedHereWithoutAskingForTheirContent) {
  startPeer();
  writeB("old name.txt", "moved as it is");
  writeB("folder/inner.bin", pattern(3 * 0x100000 / 2, 'i'), 0600, 1500000000000);
  writeB("edited then moved.txt", "before");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  expectSameTrees();

  fs::rename(inB("old name.txt"), inB("new name.txt"));
  fs::create_directories(inB("elsewhere"));
  fs::rename(inB("folder/inner.bin"), inB("elsewhere/inner.bin"));
  fs::remove(inB("edited then moved.txt"));
  writeB("edited and moved.txt", "after");
  recordB();
  std::mutex asked;
  std::vector<std::string> paths;
  refuseGet = [&](const pb::MsgGetRequest& request) -> QoMessage::Ptr {
    std::lock_guard guard(asked);
    paths.push_back(request.path());
    return nullptr;
  };
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  expectSameTrees();
  EXPECT_FALSE(fs::exists(inA("old name.txt")));
  EXPECT_FALSE(fs::exists(inA("folder/inner.bin")));
  // Only the file whose content changed on the way is fetched.
  EXPECT_EQ(paths, std::vector<std::string>{"/edited and moved.txt"});
  EXPECT_TRUE(temporaries().empty());
  EXPECT_EQ(storedMark(), highestUsnInB());
}

TEST_F(SyncOnceTest, PageLargerThanTheFreeSpaceStopsThePullBeforeAnythingIsWritten) {
  startPeer();
  writeB("kept.txt", "kept");
  writeB("old name.txt", "moved");
  writeB("gone.txt", "gone");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  const int64_t mark = storedMark();
  gets = 0;

  // One page with an update, a rename, a deletion, a new folder and a file larger than the
  // free space, though not than the disk.
  writeB("kept.txt", "edited");
  fs::rename(inB("old name.txt"), inB("new name.txt"));
  fs::remove(inB("gone.txt"));
  fs::create_directories(inB("new folder"));
  writeB("huge.bin", "claims more");
  recordB();
  struct statvfs disk {};
  ASSERT_EQ(statvfs(rootA_.c_str(), &disk), 0);
  const auto available = static_cast<int64_t>(disk.f_bavail * disk.f_frsize);
  const auto capacity = static_cast<int64_t>(disk.f_blocks * disk.f_frsize);
  // Halfway between: what other writers to this disk do meanwhile does not reach it.
  const int64_t kHuge = available + (capacity - available) / 2;
  ASSERT_GT(kHuge, available);
  alterFind = [&](pb::MsgFindResponse& page) {
    for (auto& stat : *page.mutable_stats()) {
      if (stat.path() == "/huge.bin") stat.set_length(kHuge);
    }
  };
  // The first pull's last notices are delivered before the logs of this one begin.
  QoNotify::notifyQueue()->sync([] {});
  NoticeLog<notice::NotEnoughDeviceSpace> notEnough;
  NoticeLog<notice::EnoughDeviceSpace> enough;
  NoticeLog<notice::SyncFileProcess> progress;

  EXPECT_EQ(syncOnce(), nullptr);
  const auto posted = notEnough.delivered();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].total, static_cast<uint64_t>(kHuge + 6 + 5));  // huge.bin, kept.txt, new name.txt
  EXPECT_GT(posted[0].available, 0u);
  EXPECT_LE(posted[0].available, static_cast<uint64_t>(disk.f_blocks) * disk.f_frsize);
  EXPECT_TRUE(enough.delivered().empty());
  for (const auto& notice : progress.delivered()) EXPECT_LT(notice.box->status, SyncFileDownloadBegin);
  EXPECT_EQ(readFile(inA("kept.txt")), "kept");
  EXPECT_EQ(readFile(inA("old name.txt")), "moved");
  EXPECT_EQ(readFile(inA("gone.txt")), "gone");
  EXPECT_FALSE(fs::exists(inA("new name.txt")));
  EXPECT_FALSE(fs::exists(inA("new folder")));
  EXPECT_FALSE(fs::exists(inA("huge.bin")));
  EXPECT_TRUE(temporaries().empty());
  EXPECT_EQ(gets.load(), 0);
  EXPECT_EQ(storedMark(), mark);
  EXPECT_FALSE(DataSource::sharedDataSource().isDoingSyncOnce(pairing_->pk()));

  // Asked again with the page as it is, the pull goes through.
  alterFind = nullptr;
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  expectSameTrees();
  EXPECT_EQ(storedMark(), highestUsnInB());
  EXPECT_EQ(enough.delivered().size(), 1u);
}

// A database that takes no records (its disk is full): nothing is left installed unrecorded,
// the pull stops at the first refusal instead of trying each file, and pulls wait a while.
TEST_F(SyncOnceTest, ADatabaseThatRefusesCommitsStopsThePullAndLeavesNothingUnrecorded) {
  startPeer();
  writeB("kept.txt", "kept");
  writeB("old name.txt", "moved");
  recordB();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  const int64_t mark = storedMark();
  writeB("kept.txt", "edited");
  fs::rename(inB("old name.txt"), inB("new name.txt"));
  fs::create_directories(inB("new folder"));
  for (int i = 0; i < 30; ++i) writeB("new-" + std::to_string(i) + ".txt", "new " + std::to_string(i));
  recordB();
  {
    RefusedCommits refused;
    EXPECT_EQ(syncOnce(), nullptr);
    EXPECT_EQ(readFile(inA("kept.txt")), "kept");
    EXPECT_EQ(readFile(inA("old name.txt")), "moved");
    for (const auto& entry : fs::directory_iterator(rootA_)) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == "kept.txt" || name == "old name.txt" || name == ".Velbor.Syncdir") << name;
    }
    EXPECT_EQ(storedMark(), mark);
    // Asked again at once, it waits: no page is asked for.
    finds = 0;
    EXPECT_EQ(syncOnce(), nullptr);
    EXPECT_EQ(finds.load(), 0);
  }
  RecordsBackoff::shared().clear();
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  expectSameTrees();
}

// A page with nothing to do after one that downloaded (here the peer's record again, under
// a higher usn, as a peer that indexed its file once more sends it) must not swallow the end
// of the download that began.
TEST_F(SyncOnceTest, APullThatBeganDownloadingAlwaysPostsItsEnd) {
  startPeer();
  writeB("only.txt", "the only file");
  recordB();
  pb::MsgFindResponse downloaded;
  bool repeated = false;
  alterFind = [&](pb::MsgFindResponse& page) {
    if (downloaded.stats_size() == 0) {
      downloaded = page;
      return;
    }
    if (repeated || page.stats_size() != 0) return;
    repeated = true;
    const std::string challenge = page.challenge();
    page = downloaded;
    page.set_challenge(challenge);
    for (auto& stat : *page.mutable_stats()) stat.set_usn(stat.usn() + 1000);
  };
  QoNotify::notifyQueue()->sync([] {});
  NoticeLog<notice::SyncFileProcess> log;
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  EXPECT_TRUE(repeated);
  EXPECT_EQ(readFile(inA("only.txt")), "the only file");

  std::vector<int> statuses;
  for (const auto& notice : log.delivered()) {
    if (notice.box->status >= SyncFileDownloadBegin) statuses.push_back(notice.box->status);
  }
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.front(), SyncFileDownloadBegin);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), SyncFileDownloadBegin), 1);
  EXPECT_EQ(statuses.back(), SyncFileDownloadEnd);
}

TEST_F(SyncOnceTest, PullReportsEveryPartAndEveryFileUpToItsLength) {
  startPeer(1);
  writeB("two and a half.bin", pattern(5 * kMiB / 2, 'h'));
  writeB("small.txt", "small");
  writeB("empty", "");
  fs::create_directories(inB("folder"));
  recordB();
  NoticeLog<notice::SyncFileProcess> log;
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  expectSameTrees();

  std::vector<std::shared_ptr<SyncFileProcessBox>> notices;
  for (const auto& notice : log.delivered()) {
    if (notice.box->status >= SyncFileDownloadBegin) notices.push_back(notice.box);
  }
  ASSERT_GE(notices.size(), 2u);
  for (const auto& box : notices) {
    ASSERT_TRUE(box->relation);
    EXPECT_EQ(box->relation->relationHash(), pairingKey());
  }
  const auto& begin = *notices.front();
  ASSERT_EQ(begin.status, SyncFileDownloadBegin);
  EXPECT_EQ(begin.total, 5 * kMiB / 2 + 5);
  EXPECT_EQ(begin.fileCount, 4);
  EXPECT_EQ(begin.currentFileCount, 4);
  EXPECT_GT(begin.timeStart, 0);
  EXPECT_EQ(notices.back()->status, SyncFileDownloadEnd);

  // Per file (by name: parts name the relative path, the end of a file its absolute one):
  // the bytes of its parts, one after another, then its end.
  std::map<std::string, std::vector<int64_t>> parts;
  std::map<std::string, int> done;
  std::vector<std::string> folders;
  int64_t received = 0;
  double lastTime = begin.timeStart;
  for (size_t i = 1; i + 1 < notices.size(); ++i) {
    const auto& box = *notices[i];
    const std::string name = fs::path(box.downloadFilePath).filename().string();
    SCOPED_TRACE(name);
    switch (box.status) {
      case SyncFileDownloading:
        EXPECT_FALSE(done.contains(name)) << "a part after the end of its file";
        EXPECT_GE(box.downloadLength, 0);
        EXPECT_LE(box.downloadLength, kMiB);
        EXPECT_GE(box.currentTime, lastTime);
        lastTime = box.currentTime;
        parts[name].push_back(box.downloadLength);
        received += box.downloadLength;
        break;
      case SyncFileDownloadFileDown:
        EXPECT_EQ(box.downloadFilePath, inA(name));
        ++done[name];
        break;
      case SyncFileDownloadCreateDir:
        folders.push_back(name);
        break;
      default:
        ADD_FAILURE() << "status " << box.status;
    }
  }
  EXPECT_EQ(parts["two and a half.bin"], (std::vector<int64_t>{kMiB, kMiB, kMiB / 2}));
  EXPECT_EQ(parts["small.txt"], std::vector<int64_t>{5});
  EXPECT_EQ(parts["empty"], std::vector<int64_t>{0});
  EXPECT_EQ(parts.size(), 3u);
  EXPECT_EQ(received, begin.total);
  EXPECT_EQ(done, (std::map<std::string, int>{{"small.txt", 1}, {"two and a half.bin", 1}}));
  EXPECT_EQ(folders, std::vector<std::string>{"folder"});
}

}  // namespace
}  // namespace velbor::test
