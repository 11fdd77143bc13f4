#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "SyncTestBase.h"
#include "core/daemon/sync/TmpFileOpening.h"
#include "core/entity/TmpFileName.h"
#include "core/entity/TmpFileStream.h"
#include "framework/errors/QoExceptionProto.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using ActionsTest = SyncTestBase;
using Page = SyncTestBase::Page;
using RelationList = SyncTestBase::RelationList;

// Deletions in the order the pull applies them: every item before the folder holding it.
RelationList descending(RelationList records) {
  std::sort(records.begin(), records.end(), QoFileAndSyncdirCopyRelation::sortComparatorDesc());
  return records;
}

TEST_F(ActionsTest, ATemporaryDownloadDroppedUntakenIsRemovedWhereItsFolderWent) {
  TempDir outside;
  fs::create_directories(at("docs"));
  auto name = std::make_shared<const TmpFileName>(at("docs/a.txt"));
  const std::string tmpName = fs::path(name->path()).filename().string();
  writeFile(outside / tmpName, "not ours");
  const fs::path movedAway = home_.path() / "moved away";
  {
    TmpFileOpening opening(0, root_, name);
    opening.run();
    ASSERT_TRUE(fs::exists(at("docs") + "/" + tmpName));
    fs::rename(at("docs"), movedAway);
    ASSERT_EQ(symlink(outside.str().c_str(), at("docs").c_str()), 0);
  }
  EXPECT_TRUE(fs::is_empty(movedAway)) << "the temporary file stayed behind";
  EXPECT_EQ(readFile(outside / tmpName), "not ours");
}

TEST_F(ActionsTest, FolderDeletionRemovesTheListedContentsThenTheEmptyFolder) {
  writeFile(at("d/a.txt"), "a");
  writeFile(at("d/sub/b.txt"), "b");
  recordTree("d");
  const Page page = classify({stat("d", Incoming().type(1).status(1).clock(kNewer), 20),
                              stat("d/a.txt", Incoming().content("a").status(1).clock(kNewer), 21),
                              stat("d/sub", Incoming().type(1).status(1).clock(kNewer), 22),
                              stat("d/sub/b.txt", Incoming().content("b").status(1).clock(kNewer), 23)});
  ASSERT_EQ(page.deletions.size(), 4u);
  EXPECT_TRUE(QoWorkerSync::deleteRelation(pairing_, descending(page.deletions)));
  EXPECT_FALSE(fs::exists(at("d")));
  for (const char* path : {"d", "d/sub", "d/a.txt", "d/sub/b.txt"}) EXPECT_EQ(stored(path)->status(), 1) << path;
  EXPECT_EQ(failedUsn(), 0);
}

TEST_F(ActionsTest, FolderDeletionKeepsWhatThePeerDidNotList) {
  // Local content the peer never saw keeps the folder, recorded present, and the removal fails
  // until the content is recorded and reaches the peer, which then brings the folder back.
  // Entries never synchronised are kept where they are, but the folder is recorded removed:
  // nothing the peer could ever list would let it go otherwise.
  struct Case {
    const char* name;
    std::function<void(const std::string&)> addToFolder;
    bool folderStays;
    bool recordedRemoved;
  };
  std::shared_ptr<TmpFileStream> download;
  const std::vector<Case> cases{
      {"a new file not yet recorded", [&](const std::string& d) { writeFile(at(d + "/new.txt"), "new"); }, true, false},
      {"a recorded file the peer never had",
       [&](const std::string& d) {
         writeFile(at(d + "/mine.txt"), "mine");
         recordLocal(d + "/mine.txt");
       },
       true, false},
      {"an empty subfolder", [&](const std::string& d) { fs::create_directories(at(d + "/empty")); }, true, false},
      {"only a download of this run",
       [&](const std::string& d) {
         download = QoFileAndSyncdirCopyRelation::openTmpFile(root_, at(d + "/.x.txt.Velbor.Download"));
       },
       false, true},
      {"a file of the user's named like a download",
       [&](const std::string& d) { writeFile(at(d + "/.y.txt.Velbor.Download"), "mine"); }, true, true},
      {"a hidden entry never synchronised", [&](const std::string& d) { writeFile(at(d + "/.directory"), "view"); },
       true, true},
      {"a hidden folder never synchronised",
       [&](const std::string& d) { writeFile(at(d + "/.git/config"), "history"); }, true, true},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DataSource::sharedDataSource().resetSyncdirCopyRelationFailedUsn(pairingKey());
    const std::string d = "d" + std::to_string(index++);
    writeFile(at(d + "/listed.txt"), "listed");
    recordTree(d);
    c.addToFolder(d);
    const Page page = classify({stat(d, Incoming().type(1).status(1).clock(kNewer), 60),
                                stat(d + "/listed.txt", Incoming().content("listed").status(1).clock(kNewer), 61)});
    ASSERT_EQ(page.deletions.size(), 2u);
    EXPECT_TRUE(QoWorkerSync::deleteRelation(pairing_, descending(page.deletions)));
    EXPECT_FALSE(fs::exists(at(d + "/listed.txt")));
    EXPECT_EQ(stored(d + "/listed.txt")->status(), 1);
    EXPECT_EQ(fs::exists(at(d)), c.folderStays);
    EXPECT_EQ(stored(d)->status(), c.recordedRemoved ? 1 : 0);
    EXPECT_EQ(failedUsn(), c.recordedRemoved ? 0 : 60);
  }
  EXPECT_TRUE(fs::exists(at("d0/new.txt")));
  EXPECT_EQ(readFile(at("d1/mine.txt")), "mine");
  EXPECT_EQ(readFile(at("d4/.y.txt.Velbor.Download")), "mine");
  EXPECT_EQ(readFile(at("d5/.directory")), "view");
  EXPECT_EQ(readFile(at("d6/.git/config")), "history");
}

TEST_F(ActionsTest, FolderDeletionReachesFoldersKeptForWhatWasNeverSynchronised) {
  writeFile(at("k/a.txt"), "a");
  writeFile(at("k/sub/b.txt"), "b");
  writeFile(at("k/other/c.txt"), "c");
  recordTree("k");
  writeFile(at("k/sub/.env"), "secret");
  writeFile(at("k/bad\xff.txt"), "a name that is not UTF-8");
  const Page page = classify({stat("k", Incoming().type(1).status(1).clock(kNewer), 90),
                              stat("k/a.txt", Incoming().content("a").status(1).clock(kNewer), 91),
                              stat("k/sub", Incoming().type(1).status(1).clock(kNewer), 92),
                              stat("k/sub/b.txt", Incoming().content("b").status(1).clock(kNewer), 93),
                              stat("k/other", Incoming().type(1).status(1).clock(kNewer), 94),
                              stat("k/other/c.txt", Incoming().content("c").status(1).clock(kNewer), 95)});
  ASSERT_EQ(page.deletions.size(), 6u);
  EXPECT_TRUE(QoWorkerSync::deleteRelation(pairing_, descending(page.deletions)));
  EXPECT_EQ(readFile(at("k/sub/.env")), "secret");
  EXPECT_EQ(readFile(at("k/bad\xff.txt")), "a name that is not UTF-8");
  for (const char* gone : {"k/a.txt", "k/sub/b.txt", "k/other"}) EXPECT_FALSE(fs::exists(at(gone))) << gone;
  for (const char* path : {"k", "k/a.txt", "k/sub", "k/sub/b.txt", "k/other", "k/other/c.txt"}) {
    EXPECT_EQ(stored(path)->status(), 1) << path;
  }
  EXPECT_EQ(failedUsn(), 0);
}

TEST_F(ActionsTest, RemovalRecordedAsAnotherTypeRemovesTheLocalItem) {
  // The peer replaced the file by a folder and removed that before this device pulled.
  writeFile(at("z"), "z");
  recordLocal("z");
  fs::create_directories(at("e"));
  recordLocal("e");
  const Page page = classify({stat("z", Incoming().type(1).status(1).clock(kNewer), 80),
                              stat("e", Incoming().content("e").status(1).clock(kNewer), 81)});
  ASSERT_EQ(page.deletions.size(), 2u);
  EXPECT_TRUE(QoWorkerSync::deleteRelation(pairing_, descending(page.deletions)));
  EXPECT_FALSE(fs::exists(at("z")));
  EXPECT_FALSE(fs::exists(at("e")));
  EXPECT_EQ(stored("z")->status(), 1);
  EXPECT_EQ(stored("e")->status(), 1);
  EXPECT_EQ(failedUsn(), 0);
}

TEST_F(ActionsTest, MetadataUpdateStampsOnlyFilesThatAreStillAsRecorded) {
  writeFile(at("same.txt"), "content");
  writeFile(at("edited.txt"), "content");
  recordLocal("same.txt");
  recordLocal("edited.txt");
  writeFile(at("edited.txt"), "content, edited here");
  const int64_t editedTime = mtimeOf(at("edited.txt"));
  const int64_t sameUsn = stored("same.txt")->usn();

  const Page page = classify({stat("same.txt", Incoming().content("content").permissions(0600).clock(kNewer), 70),
                              stat("edited.txt", Incoming().content("content").permissions(0600).clock(kNewer), 71)});
  ASSERT_EQ(page.metadataOnly.size(), 2u);
  EXPECT_TRUE(QoWorkerSync::updateFilesWithoutDownload(page.metadataOnly));

  EXPECT_EQ(modeOf(at("same.txt")), 0600u);
  EXPECT_EQ(mtimeOf(at("same.txt")), kPeerTime);
  EXPECT_EQ(storedClock("same.txt"), "1|1|0");
  EXPECT_GT(stored("same.txt")->usn(), sameUsn);

  EXPECT_EQ(readFile(at("edited.txt")), "content, edited here");
  EXPECT_EQ(mtimeOf(at("edited.txt")), editedTime) << "its local change stays visible to the next rescan";
  EXPECT_EQ(storedClock("edited.txt"), "1");
  EXPECT_EQ(failedUsn(), 71);
}

// Where the stand-in fetcher fails.
struct FetchScript {
  bool failConnect;
  size_t failBatch;  // 1-based; 0 never
  bool otherException;
};

// What the stand-in fetcher was asked to do.
struct FetchLog {
  std::vector<size_t> batches;
  std::vector<size_t> nextBatches;
  std::string treeUuid;
  int connects = 0;
  int disconnects = 0;
};

// Stands in for the part-wise fetcher: records what it is handed, fails where told.
class ScriptedFetcher {
 public:
  static inline FetchScript script{};
  static inline FetchLog* log = nullptr;

  ScriptedFetcher(const std::string& treeUuid, const std::shared_ptr<ZMQContext>&) { log->treeUuid = treeUuid; }
  void connectToDevice(const QoDevice::Ptr&) {
    ++log->connects;
    if (script.failConnect) throw QoExceptionZeBadDevice::defaultExceptionWithReason("no route");
  }
  void fetchData(const RelationList& batch, const std::shared_ptr<QoSyncdirCopyRelation>&, const RelationList& next) {
    log->batches.push_back(batch.size());
    log->nextBatches.push_back(next.size());
    if (log->batches.size() != script.failBatch) return;
    // Records applied before the failure carry local usns from then on.
    for (const auto& record : batch) record->file()->setUsn(999999);
    if (script.otherException) throw std::runtime_error("out of memory");
    throw QoExceptionZeGeneral::defaultExceptionWithReason("peer went away");
  }
  void disconncet() { ++log->disconnects; }
  bool peerSilent() const { return false; }

  // Runs `work` with this script, answering what the fetcher saw.
  static FetchLog run(const FetchScript& with, const std::function<void()>& work) {
    FetchLog seen;
    script = with;
    log = &seen;
    work();
    log = nullptr;
    return seen;
  }
};

TEST_F(ActionsTest, DownloadsGoInBatchesAndEveryRecordNotThroughIsFetchedAgain) {
  RelationList files;
  for (int index = 0; index < 85; ++index) {
    auto record = incoming("f" + std::to_string(index), Incoming().content("x"));
    record->file()->setUsn(1000 + index);
    files.push_back(record);
  }
  const auto resetUsns = [&] {
    for (int index = 0; index < 85; ++index) files[static_cast<size_t>(index)]->file()->setUsn(1000 + index);
    DataSource::sharedDataSource().resetSyncdirCopyRelationFailedUsn(pairingKey());
  };
  struct Case {
    const char* name;
    FetchScript script;
    std::vector<size_t> batches;
    // The records announced as following, with each batch: up to three batches ahead.
    std::vector<size_t> next;
    bool result;
    int64_t failed;
  };
  const std::vector<Case> cases{
      {"all through", {false, 0, false}, {40, 40, 5}, {45, 5, 0}, true, 0},
      {"second batch fails", {false, 2, false}, {40, 40}, {45, 5}, false, 1040},
      {"last batch fails", {false, 3, false}, {40, 40, 5}, {45, 5, 0}, false, 1080},
      {"no connection", {true, 0, false}, {}, {}, false, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    resetUsns();
    bool result = false;
    const FetchLog seen = ScriptedFetcher::run(c.script, [&] {
      result = QoWorkerSync::updateTreeRelation<ScriptedFetcher>(pairing_, files, remote_->device(), remote_->uuid(),
                                                                 nullptr);
    });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(seen.batches, c.batches);
    EXPECT_EQ(seen.nextBatches, c.next);
    EXPECT_EQ(seen.treeUuid, remote_->uuid());
    EXPECT_EQ(seen.connects, 1);
    EXPECT_EQ(seen.disconnects, 1);
    EXPECT_EQ(failedUsn(), c.failed);
  }

  // Anything but the system's own exceptions leaves, after closing the fetcher.
  resetUsns();
  FetchLog seen = ScriptedFetcher::run({false, 1, true}, [&] {
    EXPECT_THROW(
        QoWorkerSync::createTreeRelation<ScriptedFetcher>(pairing_, files, remote_->device(), remote_->uuid(), nullptr),
        std::runtime_error);
  });
  EXPECT_EQ(seen.disconnects, 1);
  EXPECT_EQ(failedUsn(), 1000);

  // Nothing to fetch: no fetcher, no connection.
  seen = ScriptedFetcher::run({false, 0, false}, [&] {
    EXPECT_TRUE(QoWorkerSync::handleConflictTreeRelation<ScriptedFetcher>(pairing_, {}, remote_->device(),
                                                                          remote_->uuid(), nullptr));
  });
  EXPECT_EQ(seen.connects, 0);
}

}  // namespace
}  // namespace velbor::test
