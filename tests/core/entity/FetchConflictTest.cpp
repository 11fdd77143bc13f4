#include <filesystem>

#include "FetchTestBase.h"
#include "platform/Utf8.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

class FetchConflictTest : public FetchTestBase {
 protected:
  // A local item recorded present, or recorded and then removed (gone from disk too).
  void localFile(const std::string& relative, const std::string& content, bool removed = false) {
    writeFile(at(relative), content);
    record(relative, removed);
  }
  void localFolder(const std::string& relative, bool removed = false) {
    fs::create_directories(at(relative));
    record(relative, removed);
  }
  void record(const std::string& relative, bool removed) {
    recordLocal(relative);
    if (!removed) return;
    fs::remove_all(at(relative));
    inTransaction([&] { stored(relative)->deleteRelation(); });
  }

  std::string onlyConflictOf(const std::string& relative) {
    const auto conflicts = conflictsOf(relative);
    EXPECT_EQ(conflicts.size(), 1u);
    if (conflicts.empty()) return {};
    // "<name>.Conflict(<six upper-case hex digits>)"
    const std::string prefix = at(relative) + ".Conflict(";
    const std::string& found = conflicts.front();
    EXPECT_EQ(found.size(), prefix.size() + 7) << found;
    EXPECT_EQ(found.back(), ')') << found;
    EXPECT_EQ(found.find_first_not_of("0123456789ABCDEF", prefix.size()), found.size() - 1) << found;
    return conflicts.front();
  }
};

TEST_F(FetchConflictTest, SameContentOnBothSidesOnlyMergesClocksAndAttributes) {
  localFile("same.txt", "abc");
  const int64_t usnBefore = stored("same.txt")->usn();
  auto relation = incoming(
      "same.txt", Incoming().content("abc").download("abc").permissions(0600).clock(std::vector<uint64_t>{0, 2}));
  ASSERT_TRUE(relation->handleFetchEvent(EventFFConflict));
  EXPECT_EQ(readFile(at("same.txt")), "abc");
  EXPECT_EQ(modeOf(at("same.txt")), 0600u);
  EXPECT_EQ(mtimeOf(at("same.txt")), kPeerTime);
  EXPECT_TRUE(conflictsOf("same.txt").empty());
  EXPECT_TRUE(temporaries().empty());
  EXPECT_EQ(storedClock("same.txt"), "1|2");
  EXPECT_GT(stored("same.txt")->usn(), usnBefore);
}

TEST_F(FetchConflictTest, DifferentContentKeepsBothVersionsUnderTheChosenNames) {
  localFile("c.txt", "mine");
  auto incomingLoses = incoming("c.txt", Incoming().content("theirs").download("theirs"));
  incomingLoses->setIsRenameLocalWHenConflict(false);
  ASSERT_TRUE(incomingLoses->handleFetchEvent(EventFFConflict));
  EXPECT_EQ(readFile(at("c.txt")), "mine");
  const std::string theirs = onlyConflictOf("c.txt");
  EXPECT_EQ(readFile(theirs), "theirs");
  EXPECT_EQ(modeOf(theirs), 0640u);
  auto theirRecord = QoFile::getFileWithPath(theirs);
  ASSERT_NE(theirRecord, nullptr);
  EXPECT_EQ(theirRecord->sha1(), sha1Of("theirs"));
  EXPECT_EQ(local_->getFileRelationWithFilePath(theirs)->vclock(), "1|3");
  EXPECT_EQ(storedClock("c.txt"), "1|3");
  EXPECT_EQ(stored("c.txt")->sha1(), sha1Of("mine"));

  localFile("d.txt", "mine");
  auto localLoses = incoming("d.txt", Incoming().content("theirs").download("theirs"));
  localLoses->setIsRenameLocalWHenConflict(true);
  ASSERT_TRUE(localLoses->handleFetchEvent(EventFFConflict));
  EXPECT_EQ(readFile(at("d.txt")), "theirs");
  const std::string mine = onlyConflictOf("d.txt");
  EXPECT_EQ(readFile(mine), "mine");
  EXPECT_EQ(QoFile::getFileWithPath(mine)->sha1(), sha1Of("mine"));
  EXPECT_EQ(stored("d.txt")->sha1(), sha1Of("theirs"));
  EXPECT_TRUE(temporaries().empty());
}

TEST_F(FetchConflictTest, ALongNameIsShortenedToTakeItsConflictSuffix) {
  // 80 three-byte characters and ".txt" (244 bytes): the suffix would pass the 255 bytes a
  // name may have.
  std::string name;
  for (int i = 0; i < 80; ++i) name += "\u6587";
  name += ".txt";
  for (bool renameLocal : {true, false}) {
    SCOPED_TRACE(renameLocal ? "local file moves aside" : "incoming file moves aside");
    const std::string folder = renameLocal ? "local/" : "incoming/";
    localFile(folder + name, "mine");
    auto relation = incoming(folder + name, Incoming().content("theirs").download("theirs"));
    relation->setIsRenameLocalWHenConflict(renameLocal);
    ASSERT_TRUE(relation->handleFetchEvent(EventFFConflict));
    EXPECT_EQ(readFile(at(folder + name)), renameLocal ? "theirs" : "mine");
    std::vector<std::string> others;
    for (const auto& entry : fs::directory_iterator(at(folder))) {
      if (entry.path().filename() != name) others.push_back(entry.path().filename().string());
    }
    ASSERT_EQ(others.size(), 1u);
    const std::string& moved = others.front();
    EXPECT_LE(moved.size(), 255u);
    EXPECT_TRUE(isValidUtf8(moved)) << moved;
    // The name's first whole characters, then the suffix.
    const size_t suffix = moved.rfind(".Conflict(");
    ASSERT_NE(suffix, std::string::npos);
    EXPECT_EQ(moved.size(), suffix + 17);
    EXPECT_GT(suffix, 200u);
    EXPECT_EQ(name.compare(0, suffix, moved, 0, suffix), 0) << moved;
    EXPECT_EQ(readFile(at(folder + moved)), renameLocal ? "mine" : "theirs");
    ASSERT_NE(QoFile::getFileWithPath(at(folder + moved)), nullptr);
    EXPECT_TRUE(temporaries().empty());
    EXPECT_EQ(failedUsn(), 0);
  }
}

TEST_F(FetchConflictTest, CorruptDownloadInAConflictMovesNothing) {
  localFile("c.txt", "mine");
  for (bool renameLocal : {true, false}) {
    auto relation = incoming("c.txt", Incoming().content("theirs").download("garbage"));
    relation->setIsRenameLocalWHenConflict(renameLocal);
    EXPECT_FALSE(relation->handleFetchEvent(EventFFConflict));
    EXPECT_EQ(readFile(at("c.txt")), "mine");
    EXPECT_TRUE(conflictsOf("c.txt").empty());
    EXPECT_TRUE(temporaries().empty());
    EXPECT_EQ(failedUsn(), kPeerUsn);
  }
}

TEST_F(FetchConflictTest, RemovedOnOneSideResolvesByStatus) {
  // Local removed, incoming present: the incoming file is installed.
  localFile("back.txt", "old", true);
  ASSERT_TRUE(incoming("back.txt", Incoming().content("back").download("back"))->handleFetchEvent(EventFFConflict));
  EXPECT_EQ(readFile(at("back.txt")), "back");
  EXPECT_EQ(stored("back.txt")->status(), 0);

  // Incoming removed, local present: the local file wins and is announced again.
  localFile("keep.txt", "keep");
  const int64_t usnBefore = stored("keep.txt")->usn();
  ASSERT_TRUE(
      incoming("keep.txt", Incoming().status(1).clock(std::vector<uint64_t>{0, 6}))->handleFetchEvent(EventFFConflict));
  EXPECT_EQ(readFile(at("keep.txt")), "keep");
  EXPECT_EQ(stored("keep.txt")->status(), 0);
  EXPECT_GT(stored("keep.txt")->usn(), usnBefore);
  EXPECT_EQ(storedClock("keep.txt"), "1|6");

  // Both removed: stays removed with the merged clock.
  localFile("both.txt", "x", true);
  ASSERT_TRUE(
      incoming("both.txt", Incoming().status(1).clock(std::vector<uint64_t>{0, 2}))->handleFetchEvent(EventFFConflict));
  EXPECT_EQ(stored("both.txt")->status(), 1);
  EXPECT_EQ(storedClock("both.txt"), "2|2");

  // Local removed, but a file reappeared that no record knows: it is not overwritten.
  localFile("new-again.txt", "old", true);
  writeFile(at("new-again.txt"), "recreated locally");
  EXPECT_FALSE(
      incoming("new-again.txt", Incoming().content("peer").download("peer"))->handleFetchEvent(EventFFConflict));
  EXPECT_EQ(readFile(at("new-again.txt")), "recreated locally");
}

TEST_F(FetchConflictTest, FileAgainstFolderKeepsTheFileUnderItsConflictName) {
  // Local file, incoming folder.
  localFile("fd", "data");
  ASSERT_TRUE(incoming("fd", Incoming().type(1).permissions(0755))->handleFetchEvent(EventFDConflict));
  EXPECT_TRUE(fs::is_directory(at("fd")));
  EXPECT_EQ(stored("fd")->type(), 1);
  const std::string moved = onlyConflictOf("fd");
  EXPECT_EQ(readFile(moved), "data");
  EXPECT_EQ(QoFile::getFileWithPath(moved)->type(), 0);

  localFile("fd-removed", "data", true);
  ASSERT_TRUE(incoming("fd-removed", Incoming().type(1))->handleFetchEvent(EventFDConflict));
  EXPECT_TRUE(fs::is_directory(at("fd-removed")));
  EXPECT_EQ(stored("fd-removed")->type(), 1);
  EXPECT_EQ(stored("fd-removed")->status(), 0);

  // Local folder, incoming file: the folder stays, the file takes its conflict name.
  localFolder("df");
  writeFile(at("df/child"), "child");
  ASSERT_TRUE(incoming("df", Incoming().content("incoming").download("incoming"))->handleFetchEvent(EventDFConflict));
  EXPECT_EQ(readFile(at("df/child")), "child");
  const std::string file = onlyConflictOf("df");
  EXPECT_EQ(readFile(file), "incoming");
  EXPECT_EQ(stored("df")->type(), 1);
  EXPECT_EQ(QoFile::getFileWithPath(file)->sha1(), sha1Of("incoming"));

  localFolder("df-removed", true);
  ASSERT_TRUE(
      incoming("df-removed", Incoming().content("incoming").download("incoming"))->handleFetchEvent(EventDFConflict));
  EXPECT_EQ(readFile(at("df-removed")), "incoming");
  EXPECT_EQ(stored("df-removed")->type(), 0);
}

TEST_F(FetchConflictTest, FolderAgainstFolder) {
  localFolder("dd");
  ASSERT_TRUE(incoming("dd", Incoming().type(1).clock(std::vector<uint64_t>{0, 9}))->handleFetchEvent(EventDDConflict));
  EXPECT_TRUE(fs::is_directory(at("dd")));
  EXPECT_EQ(storedClock("dd"), "1|9");

  localFolder("dd-removed", true);
  ASSERT_TRUE(incoming("dd-removed", Incoming().type(1).permissions(0700))->handleFetchEvent(EventDDConflict));
  EXPECT_TRUE(fs::is_directory(at("dd-removed")));
  EXPECT_EQ(modeOf(at("dd-removed")), 0700u);
  EXPECT_EQ(stored("dd-removed")->status(), 0);
}

}  // namespace
}  // namespace velbor::test
