#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <set>
#include <string_view>
#include <utility>

#include <sqlite3.h>

#include "SyncTestBase.h"
#include "core/entity/RecordsRefused.h"
#include "framework/persistence/PersistenceTestSupport.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using Page = SyncTestBase::Page;

class RenameTest : public SyncTestBase {
 protected:
  // The peer's page removes `from` (usn `removalUsn`, "payload" recorded here) and makes `to`
  // (usn 31) with the same content: the one rename found in it.
  RelationList renameOf(const std::string& from, const std::string& to, Incoming made = Incoming().content("payload"),
                        int64_t removalUsn = 30) {
    page_ =
        classify({stat(from, Incoming().content("payload").status(1).clock(kNewer), removalUsn), stat(to, made, 31)});
    auto renames = QoWorkerSync::computeToRenameFilesByDeleteArray(page_.deletions, page_.fileCreate);
    EXPECT_EQ(renames.size(), 1u);
    return renames;
  }
  // "payload" at `relative`, recorded.
  void recordPayload(const std::string& relative) {
    writeFile(at(relative), "payload");
    recordLocal(relative);
  }

  Page page_;
};

TEST_F(RenameTest, FileMovedOnThePeerIsRenamedHereWithoutDownload) {
  recordPayload("old.txt");
  auto renames = renameOf("old.txt", "new.txt", Incoming().content("payload").permissions(0600));
  ASSERT_EQ(renames.size(), 1u);
  EXPECT_TRUE(page_.deletions.empty());
  EXPECT_TRUE(page_.fileCreate.empty());
  EXPECT_EQ(renames[0]->file()->path(), at("new.txt"));
  EXPECT_EQ(renames[0]->file()->usn(), 30);

  EXPECT_TRUE(QoWorkerSync::renameFiles(renames).empty());
  EXPECT_EQ(readFile(at("new.txt")), "payload");
  EXPECT_EQ(modeOf(at("new.txt")), 0600u);
  EXPECT_FALSE(fs::exists(at("old.txt")));
  EXPECT_EQ(stored("new.txt")->status(), 0);
  EXPECT_EQ(stored("old.txt")->status(), 1) << "the old path is recorded removed, as on the peer";
  EXPECT_TRUE(temporaries().empty());
  EXPECT_EQ(failedUsn(), 0);
}

// A rename onto a second link of the same file (the new name leads to the very file, same
// device and inode, the old name does) leaves the file at the new name alone: both names
// kept, the old one, recorded removed, came back as a new file on every device.
TEST_F(RenameTest, ARenameOntoASecondLinkOfTheFileLeavesItAtTheNewNameAlone) {
  recordPayload("report.txt");
  fs::create_hard_link(at("report.txt"), at("Report.txt"));
  auto renames = renameOf("report.txt", "Report.txt", Incoming().content("payload").permissions(0600));
  ASSERT_EQ(renames.size(), 1u);

  EXPECT_TRUE(QoWorkerSync::renameFiles(renames).empty());
  EXPECT_EQ(readFile(at("Report.txt")), "payload");
  EXPECT_EQ(modeOf(at("Report.txt")), 0600u);
  EXPECT_FALSE(fs::exists(at("report.txt")));
  EXPECT_EQ(fs::hard_link_count(at("Report.txt")), 1u);
  EXPECT_EQ(stored("Report.txt")->status(), 0);
  EXPECT_EQ(stored("report.txt")->status(), 1);
  EXPECT_TRUE(temporaries().empty());
  EXPECT_EQ(failedUsn(), 0);
}

// The rows of qo_file each committed transaction changed, in order: what another thread
// could see between two commits.
class CommittedFileRows {
 public:
  CommittedFileRows() : database_(SQLiteInstanceManager::sharedManager()->database()) {
    sqlite3_update_hook(database_, &CommittedFileRows::changed, this);
    sqlite3_commit_hook(database_, &CommittedFileRows::committed, this);
  }
  ~CommittedFileRows() {
    sqlite3_update_hook(database_, nullptr, nullptr);
    sqlite3_commit_hook(database_, nullptr, nullptr);
  }
  CommittedFileRows(const CommittedFileRows&) = delete;
  CommittedFileRows& operator=(const CommittedFileRows&) = delete;

  const std::vector<std::set<int64_t>>& commits() const { return commits_; }

 private:
  static void changed(void* self, int, const char*, const char* table, sqlite3_int64 row) {
    if (std::string_view(table) == "qo_file") static_cast<CommittedFileRows*>(self)->open_.insert(row);
  }
  static int committed(void* self) {
    auto& rows = *static_cast<CommittedFileRows*>(self);
    rows.commits_.push_back(std::exchange(rows.open_, {}));
    return 0;
  }

  sqlite3* database_;
  std::set<int64_t> open_;
  std::vector<std::set<int64_t>> commits_;
};

TEST_F(RenameTest, ARenameAndItsOldPathsRemovalAreCommittedTogether) {
  recordPayload("old.txt");
  auto renames = renameOf("old.txt", "new.txt");
  ASSERT_EQ(renames.size(), 1u);
  std::vector<std::set<int64_t>> commits;
  {
    CommittedFileRows rows;
    EXPECT_TRUE(QoWorkerSync::renameFiles(renames).empty());
    commits = rows.commits();
  }
  ASSERT_EQ(stored("new.txt")->status(), 0);
  ASSERT_EQ(stored("old.txt")->status(), 1);
  const std::set<int64_t> both{stored("old.txt")->pk(), stored("new.txt")->pk()};
  EXPECT_EQ(commits, std::vector<std::set<int64_t>>{both})
      << "never the new path recorded while the old one is still recorded present";
}

TEST_F(RenameTest, ARenameWhoseCommitIsRefusedComesAgainWithTheNextPull) {
  recordPayload("old.txt");
  auto renames = renameOf("old.txt", "new.txt");
  ASSERT_EQ(renames.size(), 1u);
  {
    RefusedCommits refused;
    EXPECT_THROW(QoWorkerSync::renameFiles(renames), RecordsRefused) << "the pull stops";
  }
  EXPECT_EQ(PersistentObject::transactionLevel(), 0);
  EXPECT_EQ(stored("new.txt"), nullptr);
  EXPECT_EQ(stored("old.txt")->status(), 0);
  EXPECT_EQ(readFile(at("old.txt")), "payload") << "moved back where it is recorded";
  EXPECT_FALSE(fs::exists(at("new.txt")));
  EXPECT_EQ(failedUsn(), 30) << "both paths are asked for again";
}

TEST_F(RenameTest, EachDeletionPairsOnceAndOnlyWithTheSameContent) {
  writeFile(at("a.txt"), "same");
  writeFile(at("b.txt"), "same");
  writeFile(at("c.txt"), "before");
  recordLocal("a.txt");
  recordLocal("b.txt");
  recordLocal("c.txt");
  Page page = classify({stat("a.txt", Incoming().content("same").status(1).clock(kNewer), 30),
                        stat("b.txt", Incoming().content("same").status(1).clock(kNewer), 31),
                        stat("c.txt", Incoming().content("before").status(1).clock(kNewer), 32),
                        stat("moved.txt", Incoming().content("same"), 40),
                        stat("moved-and-edited.txt", Incoming().content("after"), 41)});
  auto renames = QoWorkerSync::computeToRenameFilesByDeleteArray(page.deletions, page.fileCreate);
  ASSERT_EQ(renames.size(), 1u);
  EXPECT_EQ(renames[0]->file()->path(), at("moved.txt"));
  const auto& source = renames[0]->getFileRelationLocal();
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(renames[0]->file()->usn(), source->file()->usn()) << "the lower usn of the pair";
  ASSERT_EQ(page.deletions.size(), 2u) << "the other copy and the edited file's old path stay deletions";
  EXPECT_EQ(std::count(page.deletions.begin(), page.deletions.end(), source), 0);
  ASSERT_EQ(page.fileCreate.size(), 1u);
  EXPECT_EQ(page.fileCreate[0]->file()->path(), at("moved-and-edited.txt"));

  // A later list finds only what is left.
  RelationList none;
  EXPECT_TRUE(QoWorkerSync::computeToRenameFilesByDeleteArray(page.deletions, none).empty());
}

TEST_F(RenameTest, OnlyAnIntactRecordedLocalFileIsARenameSource) {
  // Each case leaves "old.txt" so that the peer's removal of it must not become a rename.
  struct Case {
    const char* name;
    std::function<void(const std::string&)> prepare;
    std::vector<uint64_t> removalClock;
  };
  // "payload" recorded at `p`, then gone from disk.
  const auto recordedThenGone = [&](const std::string& p) {
    recordPayload(p);
    fs::remove(at(p));
  };
  const std::vector<Case> cases{
      {"never recorded here", [&](const std::string& p) { writeFile(at(p), "payload"); }, kNewer},
      {"recorded with other content",
       [&](const std::string& p) {
         writeFile(at(p), "other");
         recordLocal(p);
         writeFile(at(p), "payload");
       },
       kNewer},
      {"gone from disk", recordedThenGone, kNewer},
      {"a folder on disk now",
       [&](const std::string& p) {
         recordedThenGone(p);
         fs::create_directories(at(p));
       },
       kNewer},
      {"recorded removed",
       [&](const std::string& p) {
         recordedThenGone(p);
         inTransaction([&] { stored(p)->deleteRelation(); });
       },
       {2, 1}},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string old = "old" + std::to_string(index) + ".txt";
    const std::string moved = "new" + std::to_string(index++) + ".txt";
    c.prepare(old);
    Page page = classify({stat(old, Incoming().content("payload").status(1).clock(c.removalClock), 30),
                          stat(moved, Incoming().content("payload"), 31)});
    ASSERT_EQ(page.deletions.size(), 1u);
    ASSERT_EQ(page.fileCreate.size(), 1u);
    EXPECT_TRUE(QoWorkerSync::computeToRenameFilesByDeleteArray(page.deletions, page.fileCreate).empty());
    EXPECT_EQ(page.deletions.size(), 1u);
    EXPECT_EQ(page.fileCreate.size(), 1u);
  }
}

TEST_F(RenameTest, DigestsEqualOnlyIgnoringCaseDoNotPairButDoNotHideAnExactMatch) {
  recordPayload("old.txt");
  Page page = classify({stat("old.txt", Incoming().content("payload").status(1).clock(kNewer), 30),
                        stat("upper.txt", Incoming().content("payload"), 31),
                        stat("exact.txt", Incoming().content("payload"), 32)});
  ASSERT_EQ(page.fileCreate.size(), 2u);
  for (const auto& record : page.fileCreate) {
    if (record->file()->path() != at("upper.txt")) continue;
    std::string upper = record->file()->sha1();
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    ASSERT_NE(upper, record->file()->sha1());
    record->file()->setSha1(upper);
  }
  auto renames = QoWorkerSync::computeToRenameFilesByDeleteArray(page.deletions, page.fileCreate);
  ASSERT_EQ(renames.size(), 1u);
  EXPECT_EQ(renames[0]->file()->path(), at("exact.txt"));
  ASSERT_EQ(page.fileCreate.size(), 1u);
  EXPECT_EQ(page.fileCreate[0]->file()->path(), at("upper.txt"));
}

TEST_F(RenameTest, FailedRenameIsHandedBackToBeFetchedAndLosesNothing) {
  recordPayload("old.txt");
  writeFile(at("new.txt"), "mine, not yet recorded");
  auto renames = renameOf("old.txt", "new.txt", Incoming().content("payload"), 35);
  ASSERT_EQ(renames.size(), 1u);

  const auto failed = QoWorkerSync::renameFiles(renames);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0]->getFileRelationLocal(), nullptr) << "no local record at its own path";
  EXPECT_EQ(failed[0]->getFileFetchEvent(), EventCreateFile);
  EXPECT_EQ(readFile(at("new.txt")), "mine, not yet recorded");
  EXPECT_EQ(readFile(at("old.txt")), "payload");
  EXPECT_EQ(stored("old.txt")->status(), 0);
  EXPECT_EQ(failedUsn(), 31) << "the lower usn of the pair: the deletion comes again too";
}

}  // namespace
}  // namespace velbor::test
