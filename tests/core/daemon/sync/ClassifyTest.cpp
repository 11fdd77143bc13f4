#include <filesystem>
#include <functional>
#include <limits>
#include <optional>

#include "SyncTestBase.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using ClassifyTest = SyncTestBase;
using Page = SyncTestBase::Page;

enum class Local { None, File, Folder, RemovedFile };

TEST_F(ClassifyTest, EachRecordLandsInTheListItsClocksTypesAndContentCallFor) {
  struct Case {
    const char* name;
    Local local;
    Incoming remote;
    QoWorkerSync::RelationList Page::*list;  // nullptr: no action
    int32_t event;
    int64_t bytes;
  };
  const std::vector<uint64_t> newerThanRemoval{2, 1};
  const std::vector<Case> cases{
      {"new folder", Local::None, Incoming().type(1), &Page::dirCreate, EventCreateDirectory, 0},
      {"new file", Local::None, Incoming().content("12345"), &Page::fileCreate, EventCreateFile, 5},
      {"new empty file", Local::None, Incoming().content(""), &Page::fileCreate, EventCreateEmptyFile, 0},
      {"removal never seen here", Local::None, Incoming().status(1), &Page::deletions, EventDeleteFile, 0},
      {"file over a removed one", Local::RemovedFile, Incoming().content("abc").clock(newerThanRemoval),
       &Page::fileCreate, EventCreateFile, 3},
      {"newer content", Local::File, Incoming().content("remote!").clock(kNewer), &Page::update, EventUpdateFile, 7},
      {"newer attributes only", Local::File, Incoming().content("local").clock(kNewer), &Page::metadataOnly,
       EventUpdateFile, 0},
      {"newer folder", Local::Folder, Incoming().type(1).clock(kNewer), &Page::updateDir, EventUpdateDirectory, 0},
      {"newer removal", Local::File, Incoming().content("local").status(1).clock(kNewer), &Page::deletions,
       EventDeleteFile, 0},
      {"same clock", Local::File, Incoming().content("local").clock(kSame), nullptr, 0, 0},
      // The same clock for other content: one side's counter went back (a restored backup).
      {"same clock, other content", Local::File, Incoming().content("remote").clock(kSame), &Page::conflicts,
       EventFFConflict, 0},
      // Removed there, present here with the same content: the present file is kept.
      {"same clock, removed there", Local::File, Incoming().content("local").status(1).clock(kSame),
       &Page::metadataOnly, 0, 0},
      {"same clock, a folder there", Local::File, Incoming().type(1).clock(kSame), &Page::conflicts, EventFDConflict,
       0},
      {"local newer", Local::File, Incoming().content("remote").clock(kLocalNewer), nullptr, 0, 0},
      {"concurrent, equal content", Local::File, Incoming().content("local").clock(kConcurrent), &Page::metadataOnly, 0,
       0},
      {"concurrent edits", Local::File, Incoming().content("remote").clock(kConcurrent), &Page::conflicts,
       EventFFConflict, 0},
      {"concurrent with a local removal", Local::RemovedFile, Incoming().content("local").clock(kConcurrent),
       &Page::conflicts, EventFFConflict, 0},
      {"concurrent file on a folder", Local::Folder, Incoming().content("x").clock(kConcurrent), &Page::conflicts,
       EventDFConflict, 0},
      {"concurrent folder on a file", Local::File, Incoming().type(1).clock(kConcurrent), &Page::conflicts,
       EventFDConflict, 0},
      {"concurrent folders", Local::Folder, Incoming().type(1).clock(kConcurrent), &Page::conflicts, EventDDConflict,
       0},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = "case" + std::to_string(index++);
    switch (c.local) {
      case Local::None:
        break;
      case Local::File:
        writeFile(at(path), "local");
        recordLocal(path);
        break;
      case Local::Folder:
        fs::create_directories(at(path));
        recordLocal(path);
        break;
      case Local::RemovedFile:
        writeFile(at(path), "local");
        recordLocal(path);
        fs::remove(at(path));
        inTransaction([&] { stored(path)->deleteRelation(); });
        break;
    }
    const Page page = classify({stat(path, c.remote, 42)});
    EXPECT_EQ(page.maxUsn, 42);
    EXPECT_EQ(page.bytes, c.bytes);
    if (c.list == nullptr) {
      EXPECT_EQ(page.listed(), 0u);
      EXPECT_EQ(page.count, 0);
      continue;
    }
    EXPECT_EQ(page.count, 1);
    ASSERT_EQ(page.listed(), 1u);
    ASSERT_EQ((page.*c.list).size(), 1u);
    const auto& record = (page.*c.list)[0];
    EXPECT_EQ(record->getFileFetchEvent(), c.event);
    EXPECT_EQ(record->file()->path(), at(path));
    EXPECT_EQ(record->getRemoteSyncdirCopyUuid(), remote_->uuid());
    const auto local = local_->getFileRelationWithFilePath(at(path));
    if (local) {
      ASSERT_NE(record->getFileRelationLocal(), nullptr);
      EXPECT_EQ(record->getFileRelationLocal()->pk(), local->pk());
      EXPECT_EQ(record->pk(), local->pk());
      EXPECT_EQ(record->file()->pk(), local->file()->pk());
    } else {
      EXPECT_EQ(record->getFileRelationLocal(), nullptr);
      EXPECT_LT(record->pk(), 0);
    }
  }
  EXPECT_EQ(failedUsn(), 0);
}

// A copy's own counter only grows: a record that has it lower than it was seen before
// comes from a copy that went back (a restored backup), and its order cannot be trusted.
TEST_F(ClassifyTest, ACounterThatWentBackMakesTheRecordConcurrent) {
  struct Case {
    const char* name;
    std::vector<uint64_t> local;
    Incoming remote;
    QoWorkerSync::RelationList Page::*list;
  };
  const std::vector<Case> cases{
      // Seen here with the peer's counter at 3, now at 2: looked older.
      {"peer went back", {1, 3}, Incoming().content("remote").clock({1, 2}), &Page::conflicts},
      // The peer names this copy's counter above this copy's own: looked newer.
      {"this copy went back", {1, 0}, Incoming().content("remote").clock({2, 1}), &Page::conflicts},
      {"this copy went back, same content", {1, 0}, Incoming().content("local").clock({2, 1}), &Page::metadataOnly},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = "went back " + std::to_string(index++);
    writeFile(at(path), "local");
    auto local = recordLocal(path);
    local->setVclock(Vclock(c.local).encode());
    local->save();
    const Page page = classify({stat(path, c.remote, 42)});
    EXPECT_EQ(page.count, 1);
    ASSERT_EQ(page.listed(), 1u);
    EXPECT_EQ((page.*c.list).size(), 1u);
  }
}

TEST_F(ClassifyTest, PeerPermissionsKeepOnlyTheirLowNineBits) {
  struct Case {
    const char* name;
    int32_t type;
    std::optional<int32_t> unixAttr;
    int32_t expected;
  };
  const std::vector<Case> cases{
      {"set-uid and file-type bits dropped", 0, 0104755, 0755},
      {"file without permissions", 0, std::nullopt, 0644},
      {"folder without permissions", 1, std::nullopt, 0755},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pb::Stat one = stat("p" + std::to_string(index++), Incoming().type(c.type).content("x"));
    if (c.unixAttr) {
      one.set_unix_attr(*c.unixAttr);
    } else {
      one.clear_unix_attr();
    }
    const Page page = classify({one});
    ASSERT_EQ(page.listed(), 1u);
    const auto& file = c.type == 1 ? page.dirCreate.at(0)->file() : page.fileCreate.at(0)->file();
    EXPECT_EQ(file->unixAttr(), c.expected);
    EXPECT_EQ(static_cast<uint32_t>(file->winAttr()), 0xFFFFFFFFu) << "absent on the wire";
    EXPECT_EQ(static_cast<uint32_t>(file->androidAttr()), 0xFFFFFFFFu);
  }
}

TEST_F(ClassifyTest, ConcurrentEqualContentSettlesOnTheLaterTimeAndTheOtherModeWithoutDownload) {
  writeFile(at("same.txt"), "local");
  fs::permissions(at("same.txt"), fs::perms(0604));
  recordLocal("same.txt");
  const int64_t localTime = mtimeOf(at("same.txt"));

  // The local time is the later: the peer's version, which kept the earlier one, changed the mode.
  Page page = classify({stat("same.txt", Incoming().content("local").permissions(0600).clock(kConcurrent))});
  ASSERT_EQ(page.metadataOnly.size(), 1u);
  EXPECT_EQ(page.metadataOnly[0]->file()->unixAttr(), 0600);
  EXPECT_EQ(page.metadataOnly[0]->file()->contentModTime(), stored("same.txt")->contentModTime());

  EXPECT_TRUE(QoWorkerSync::updateFilesWithoutDownload(page.metadataOnly));
  EXPECT_EQ(modeOf(at("same.txt")), 0600u);
  EXPECT_EQ(mtimeOf(at("same.txt")), localTime);
  EXPECT_EQ(storedClock("same.txt"), "1|1|0") << "newer than both sides, so the peer takes it";
  EXPECT_EQ(failedUsn(), 0);
}

TEST_F(ClassifyTest, RootAndIgnoredPathsAreSkippedButStillMoveThePage) {
  Page page = classify({stat("/", Incoming().type(1), 50), stat(".hidden", Incoming().content("x"), 70),
                        stat("dir/.cache", Incoming().content("x"), 60)});
  EXPECT_EQ(page.listed(), 0u);
  EXPECT_EQ(page.count, 0);
  EXPECT_EQ(page.bytes, 0);
  EXPECT_EQ(page.maxUsn, 70);

  page = classify({stat("ok.txt", Incoming().content("abc"), 20), stat(".hidden", Incoming().content("x"), 10)});
  EXPECT_EQ(page.fileCreate.size(), 1u);
  EXPECT_EQ(page.count, 1);
  EXPECT_EQ(page.bytes, 3);
  EXPECT_EQ(page.maxUsn, 20);

  page = classify({});
  EXPECT_EQ(page.maxUsn, -1);
  EXPECT_EQ(page.count, 0);
  EXPECT_EQ(failedUsn(), 0);
}

TEST_F(ClassifyTest, PathsThatCouldLeaveTheCopyAreRefusedAndFetchedAgain) {
  // With hidden files synchronised the ignore filter lets "." and ".." through to the check.
  QoConfig::sharedQoConfig().setSyncHiddenFile(true);
  QoFile::generateRegexExpress();
  const std::vector<std::string> badPaths{
      "no-slash", "/a//b", "/../escape", "/a/../../escape", "/a/./b", "/..", std::string("/nul\0x", 6), ""};
  int64_t usn = 100;
  for (const auto& path : badPaths) {
    SCOPED_TRACE(path);
    DataSource::sharedDataSource().resetSyncdirCopyRelationFailedUsn(pairingKey());
    pb::Stat bad = stat("x", Incoming().content("evil"), ++usn);
    bad.set_path(path);
    const Page page = classify({stat("fine.txt", Incoming().content("ok"), 500), bad});
    EXPECT_EQ(page.fileCreate.size(), 1u) << "the good record of the page goes on";
    EXPECT_EQ(page.listed(), 1u);
    EXPECT_EQ(page.count, 1);
    EXPECT_EQ(page.maxUsn, 500);
    EXPECT_EQ(failedUsn(), usn) << "refused, so the next pull asks for it again";
  }
  EXPECT_FALSE(fs::exists(home_.path() / "escape"));
  QoConfig::sharedQoConfig().setSyncHiddenFile(false);
  QoFile::generateRegexExpress();
}

// Lengths below 0, or beyond the whole disk of the copy, are no file that can come in here.
TEST_F(ClassifyTest, LengthsThatNoFileHereCanHaveAreRefusedAlone) {
  const int64_t huge = std::numeric_limits<int64_t>::max();
  pb::Stat negative = stat("negative.txt", Incoming().content("evil"), 103);
  negative.set_length(-4096);
  pb::Stat first = stat("huge1.txt", Incoming().content("a"), 102);
  first.set_length(huge);
  pb::Stat second = stat("huge2.txt", Incoming().content("b"), 101);
  second.set_length(int64_t{1} << 62);
  // A removal says nothing of what fits here: the item goes, whatever its length was.
  pb::Stat removal = stat("removed.txt", Incoming().content("r").status(1), 104);
  removal.set_length(huge);
  const Page page = classify({stat("fine.txt", Incoming().content("ok"), 500), negative, first, second, removal});
  EXPECT_EQ(page.maxUsn, 500);
  EXPECT_EQ(failedUsn(), 101) << "refused, so the next pull asks for it again";
  ASSERT_EQ(page.fileCreate.size(), 1u);
  EXPECT_EQ(page.fileCreate[0]->file()->path(), at("fine.txt"));
  EXPECT_EQ(page.deletions.size(), 1u);
  EXPECT_EQ(page.bytes, 2);
}

// A counter so near the wire's limit that local changes could pass it is refused with its
// record alone; the rest of the page is sorted as ever.
TEST_F(ClassifyTest, CounterNearTheWiresLimitRefusesOnlyItsRecord) {
  const Page page = classify({stat("near the limit.txt", Incoming().content("x").clock({0, 2147483647}), 101),
                              stat("fine.txt", Incoming().content("ok"), 102)});
  EXPECT_EQ(page.maxUsn, 102);
  ASSERT_EQ(page.fileCreate.size(), 1u);
  EXPECT_EQ(page.fileCreate[0]->file()->path(), at("fine.txt"));
  EXPECT_EQ(page.listed(), 1u);
}

TEST_F(ClassifyTest, ConflictSideComparesDigitRunsByValue) {
  struct Case {
    const char* localUuid;
    const char* remoteUuid;
    bool renameLocal;
  };
  const std::vector<Case> cases{
      {"a9-local", "a10-peer", true},  // 9 < 10, though "a9" > "a10" as plain text
      {"a10-local", "a9-peer", false},
      {"b1-local", "a2-peer", false},
      {"a007-local", "a7-peerx", true},  // equal values, then the rest decides
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.localUuid);
    const std::string root = (home_.path() / ("side" + std::to_string(index))).string();
    fs::create_directories(root);
    const std::string syncdir = "T" + std::to_string(index++);
    auto localCopy = copy(root, local_->device(), syncdir, c.localUuid);
    auto remoteCopy = copy("/peer/" + syncdir, remote_->device(), syncdir, c.remoteUuid);
    auto pairing = pair(localCopy, remoteCopy);
    writeFile(root + "/f.txt", "local");
    inTransaction([&] { QoFile::initWithPath(root + "/f.txt")->insertRelation(); });

    const Page page = classify({stat("f.txt", Incoming().content("remote").clock(kConcurrent))}, pairing,
                               {c.remoteUuid, c.localUuid}, {c.localUuid, c.remoteUuid});
    ASSERT_EQ(page.conflicts.size(), 1u);
    EXPECT_EQ(page.conflicts[0]->isRenameLocalWhenConflict(), c.renameLocal);
  }
}

TEST_F(ClassifyTest, LocalFileUnderANewerRemoteFolderGoesAtOnceUnlessItChangedSinceRecorded) {
  writeFile(at("x"), "old");
  recordLocal("x");
  Page page = classify({stat("x", Incoming().type(1).clock(kNewer))});
  ASSERT_EQ(page.dirCreate.size(), 1u);
  EXPECT_FALSE(fs::exists(at("x"))) << "deleted during classification";
  EXPECT_TRUE(QoWorkerSync::createDirectorysRelation(pairing_, page.dirCreate));
  EXPECT_TRUE(fs::is_directory(at("x")));
  EXPECT_EQ(stored("x")->type(), 1);
  EXPECT_EQ(stored("x")->status(), 0);
  EXPECT_EQ(failedUsn(), 0);

  writeFile(at("y"), "old");
  recordLocal("y");
  writeFile(at("y"), "edited, not yet recorded");
  page = classify({stat("y", Incoming().type(1).clock(kNewer), 77)});
  EXPECT_EQ(page.listed(), 0u);
  EXPECT_EQ(page.count, 0);
  EXPECT_EQ(readFile(at("y")), "edited, not yet recorded");
  EXPECT_EQ(stored("y")->status(), 0);
  EXPECT_EQ(failedUsn(), 77);
}

TEST_F(ClassifyTest, LocalFolderUnderANewerRemoteFileGoesOnlyWithAllItsContentListed) {
  writeFile(at("d/a.txt"), "a");
  writeFile(at("d/sub/b.txt"), "b");
  recordTree("d");
  const Page page = classify({stat("d/sub/b.txt", Incoming().content("b").status(1).clock(kNewer), 10),
                              stat("d/sub", Incoming().type(1).status(1).clock(kNewer), 11),
                              stat("d/a.txt", Incoming().content("a").status(1).clock(kNewer), 12),
                              stat("d", Incoming().content("now a file").clock(kNewer), 13)});
  ASSERT_EQ(page.fileCreate.size(), 1u);
  EXPECT_EQ(page.fileCreate[0]->getFileFetchEvent(), EventCreateFile);
  EXPECT_TRUE(page.deletions.empty()) << "its contents were applied with it";
  EXPECT_EQ(page.count, 4);
  EXPECT_FALSE(fs::exists(at("d")));
  for (const char* path : {"d", "d/sub", "d/a.txt", "d/sub/b.txt"}) EXPECT_EQ(stored(path)->status(), 1) << path;

  downloaded(page.fileCreate[0], "now a file");
  EXPECT_TRUE(page.fileCreate[0]->handleFetchEventDefault());
  EXPECT_EQ(readFile(at("d")), "now a file");
  EXPECT_EQ(failedUsn(), 0);
}

TEST_F(ClassifyTest, LocalFolderWithContentThePeerDidNotListBecomesAConflict) {
  // Each case makes the folder `dir` holding "keep.txt" and answers the stats the page carries
  // ahead of the peer's file of the same name.
  struct Case {
    const char* name;
    std::function<std::vector<pb::Stat>(const std::string&)> prepare;
  };
  const std::vector<Case> cases{
      {"child never listed",
       [&](const std::string& dir) {
         writeFile(at(dir + "/keep.txt"), "keep");
         recordTree(dir);
         return std::vector<pb::Stat>{};
       }},
      {"child edited here after the peer removed it",
       [&](const std::string& dir) {
         writeFile(at(dir + "/keep.txt"), "keep");
         recordTree(dir);
         writeFile(at(dir + "/keep.txt"), "keep, edited");
         inTransaction([&] { stored(dir + "/keep.txt")->updateRelation(); });
         return std::vector<pb::Stat>{stat(dir + "/keep.txt", Incoming().content("keep").status(1).clock(kNewer))};
       }},
      {"new file not yet recorded",
       [&](const std::string& dir) {
         fs::create_directories(at(dir));
         recordLocal(dir);
         writeFile(at(dir + "/keep.txt"), "keep");
         return std::vector<pb::Stat>{};
       }},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = "d" + std::to_string(index++);
    std::vector<pb::Stat> stats = c.prepare(dir);
    stats.push_back(stat(dir, Incoming().content("now a file").clock(kNewer), 90));
    const Page page = classify(stats);

    EXPECT_TRUE(fs::is_directory(at(dir)));
    EXPECT_TRUE(fs::exists(at(dir + "/keep.txt")));
    EXPECT_TRUE(page.fileCreate.empty());
    ASSERT_FALSE(page.conflicts.empty());
    const auto& replacement = page.conflicts.back();
    EXPECT_EQ(replacement->file()->path(), at(dir));
    EXPECT_EQ(replacement->getFileFetchEvent(), EventDFConflict);

    // Applied, the folder stays and the peer's file arrives beside it.
    downloaded(replacement, "now a file");
    EXPECT_TRUE(replacement->handleFetchEventDefault());
    EXPECT_TRUE(fs::exists(at(dir + "/keep.txt")));
    ASSERT_EQ(conflictsOf(dir).size(), 1u);
    EXPECT_EQ(readFile(conflictsOf(dir)[0]), "now a file");
  }
  EXPECT_EQ(failedUsn(), 0);
}

}  // namespace
}  // namespace velbor::test
