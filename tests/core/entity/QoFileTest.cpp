#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "EntityTestBase.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/persistence/PersistenceTestSupport.h"

namespace velbor::test {
namespace {

using QoFileTest = EntityTestBase;

QoFile::Ptr record(int32_t type, int32_t status, int32_t unixAttr, int64_t mtime) {
  auto file = std::make_shared<QoFile>();
  file->setType(type);
  file->setStatus(status);
  file->setUnixAttr(unixAttr);
  file->setContentModTime(mtime);
  return file;
}

TEST(QoFileNamesTest, LettersAndEscapes) {
  using Names = std::vector<std::string>;
  EXPECT_EQ((Names{QoFile::getStatusString(0), QoFile::getStatusString(1), QoFile::getStatusString(7)}),
            (Names{"o", "r", "unkown"}));
  EXPECT_EQ((Names{QoFile::getTypeString(0), QoFile::getTypeString(1), QoFile::getTypeString(3)}),
            (Names{"f", "d", "unkown"}));
  EXPECT_EQ(QoFile::addEscapeChar("/."), "\\/\\.");
}

TEST(QoFileCompareTest, MaskNamesEveryDifference) {
  EXPECT_EQ(QoFile::compareFileBetweenFileSystem(nullptr, nullptr), 0);
  EXPECT_EQ(QoFile::compareFileBetweenFileSystem(record(0, 0, 0644, 0), nullptr), 1);
  EXPECT_EQ(QoFile::compareFileBetweenFileSystem(nullptr, record(0, 0, 0644, 0)), 128);
  EXPECT_EQ(QoFile::compareFileBetweenFileSystem(record(1, 0, 0644, 1000), record(0, 1, 0644, 1999)), 40);
  EXPECT_EQ(QoFile::compareFileBetweenFileSystem(record(1, 0, 0755, 999), record(0, 1, 0644, 1000)), 60);
  EXPECT_EQ(QoFile::compareFileBetweenFileSystem(record(0, 0, 0644, 1000), record(0, 0, 0644, 1999)), 0);
}

TEST_F(QoFileTest, IgnoreFilterFollowsTheHiddenFileSetting) {
  QoFile::generateRegexExpress();
  EXPECT_TRUE(QoFile::matchIgnoreFilter("/a/.b/c"));
  EXPECT_TRUE(QoFile::matchIgnoreFilter("/a/.x.Velbor.Download"));
  EXPECT_FALSE(QoFile::matchIgnoreFilter("/a/b.c"));

  QoConfig::sharedQoConfig().setSyncHiddenFile(true);
  QoFile::generateRegexExpress();
  EXPECT_FALSE(QoFile::matchIgnoreFilter("/a/.b/c"));
  EXPECT_TRUE(QoFile::matchIgnoreFilter("/a/.x.Velbor.Download"));
  EXPECT_FALSE(QoFile::matchIgnoreFilter("/a/xVelbor.Download.txt"));
  QoConfig::sharedQoConfig().setSyncHiddenFile(false);
  QoFile::generateRegexExpress();
}

TEST_F(QoFileTest, RecordsFromDiskAndDirectoryCreation) {
  const auto dir = home_.path() / "d";
  const auto file = dir / "f.txt";
  writeFile(file, "hello");
  copy(dir.string(), device(0, "local"), "S", "copy-uuid");
  QoFile::setFileAttributeAtPath(file.string(), 0640, 1234567);
  std::filesystem::create_symlink(file, dir / "link");

  auto regular = QoFile::initWithPath(file.string());
  EXPECT_EQ(regular->type(), 0);
  EXPECT_EQ(regular->length(), 5);
  EXPECT_EQ(regular->unixAttr(), 0640);
  EXPECT_EQ(regular->contentModTime(), 1234567);
  EXPECT_EQ(regular->winAttr(), static_cast<int32_t>(0xFFFFFFFF)) << "absent until a peer sends one";
  EXPECT_EQ(regular->androidAttr(), static_cast<int32_t>(0xFFFFFFFF));
  EXPECT_EQ(QoFile::initWithPath(dir.string())->length(), 0);
  EXPECT_EQ(QoFile::initWithPath(dir.string())->type(), 1);
  EXPECT_EQ(QoFile::initWithPath((dir / "link").string())->type(), 3);
  EXPECT_EQ(QoFile::initWithPath((dir / "missing").string()), nullptr) << "no record for a vanished item";

  // A file with changes not yet recorded keeps its place; once recorded, a folder replaces it.
  EXPECT_FALSE(QoFile::createDirectoryAtPath(file.string(), 0755, 5000));
  EXPECT_EQ(readFile(file), "hello");
  inTransaction([&] { regular->insertRelation(); });
  ASSERT_TRUE(QoFile::createDirectoryAtPath(file.string(), 0755, 5000));
  EXPECT_TRUE(std::filesystem::is_directory(file));
  EXPECT_EQ(QoFile::getFileModifyTimeAtPath(file.string()), 5000);
  EXPECT_TRUE(QoFile::createDirectoryAtPath(file.string(), 0755, 7000)) << "an existing folder only gets its time";
  EXPECT_EQ(QoFile::getFileModifyTimeAtPath(file.string()), 7000);
  ASSERT_EQ(symlink("/nowhere", (dir / "link2").c_str()), 0);
  EXPECT_TRUE(QoFile::createDirectoryAtPath((dir / "link2").string(), 0755, 7000)) << "a link is never synchronised";
  EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::symlink_status(dir / "link2")));

  auto listed = QoFile::getDirectorySubFilePathsAtPath(dir.string(), true, true);
  EXPECT_EQ(listed, (std::vector<std::string>{"f.txt", "link", "link2"}));
}

TEST_F(QoFileTest, NamesThatAreNotUtf8NeverLeaveTheDisk) {
  const auto dir = home_.path() / "n";
  writeFile(dir / "ok.txt", "ok");
  writeFile(dir / "bad\xff.txt", "latin-1 name");
  writeFile(dir / "bad\xfe/inside.txt", "below a bad name");
  EXPECT_EQ(QoFile::initWithPath((dir / "bad\xff.txt").string()), nullptr);
  EXPECT_EQ(QoFile::initWithPath((dir / "bad\xfe/inside.txt").string()), nullptr);
  EXPECT_EQ(QoFile::getDirectorySubFilePathsAtPath(dir.string(), true, true), std::vector<std::string>{"ok.txt"});
}

TEST_F(QoFileTest, PathHelpersStayInsideTheCopyAndNeverGoThroughALinkedFolder) {
  const auto root = home_.path() / "c";
  const auto outside = home_.path() / "outside";
  writeFile(root / "a.txt", "mine");
  writeFile(outside / "f.txt", "not the copy's");
  writeFile(outside / "sub/g.txt", "not the copy's either");
  std::filesystem::permissions(outside / "f.txt", std::filesystem::perms(0600));
  copy(root.string(), device(0, "local"), "S", "copy-uuid");
  std::filesystem::create_directory_symlink(outside, root / "linked");
  const int64_t outsideTime = QoFile::getFileModifyTimeAtPath((outside / "f.txt").string());
  const auto untouched = [&] {
    EXPECT_EQ(modeOf(outside / "f.txt"), 0600u);
    EXPECT_EQ(QoFile::getFileModifyTimeAtPath((outside / "f.txt").string()), outsideTime);
    EXPECT_EQ(readFile(outside / "f.txt"), "not the copy's");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), {}), 2);
  };

  for (const auto& path : {root / "linked/f.txt", outside / "f.txt"}) {
    SCOPED_TRACE(path.string());
    QoFile::setFileAttributeAtPath(path.string(), 0777, 1000);
    QoFile::setFilePosixPermissions(0777, path.string());
    untouched();
  }
  EXPECT_FALSE(QoFile::createDirectoryAtPath((root / "linked/new").string(), 0755, 1000));
  EXPECT_FALSE(QoFile::createDirectoryAtPath((outside / "new").string(), 0755, 1000)) << "in no copy";
  EXPECT_THROW(QoFile::moveItemAtPath((root / "a.txt").string(), (root / "linked/a.txt").string()), QoException);
  EXPECT_THROW(QoFile::moveItemAtPath((root / "linked/f.txt").string(), (root / "f.txt").string()), QoException);
  EXPECT_THROW(QoFile::moveItemAtPath((outside / "f.txt").string(), (root / "f.txt").string()), QoException);
  EXPECT_EQ(readFile(root / "a.txt"), "mine");
  untouched();

  // The listing shows the link, never what lies behind it, not even when asked for it.
  EXPECT_EQ(QoFile::getDirectorySubFilePathsAtPath(root.string(), true, true),
            (std::vector<std::string>{"a.txt", "linked"}));
  EXPECT_TRUE(QoFile::getDirectorySubFilePathsAtPath((root / "linked").string(), true, true).empty());
  EXPECT_TRUE(QoFile::getDirectorySubFilePathsAtPath((root / "linked/sub").string(), true, true).empty());
}

TEST_F(QoFileTest, MoveReplacesInOneStepOrRaisesAndKeepsTheDestination) {
  const auto dir = home_.path() / "m";
  writeFile(dir / "new", "new");
  writeFile(dir / "old", "old");
  copy(dir.string(), device(0, "local"), "S", "copy-uuid");
  QoFile::moveItemAtPath((dir / "new").string(), (dir / "old").string());
  EXPECT_EQ(readFile(dir / "old"), "new");
  EXPECT_FALSE(std::filesystem::exists(dir / "new"));

  // Nothing to move: the destination is still there.
  EXPECT_THROW(QoFile::moveItemAtPath((dir / "gone").string(), (dir / "old").string()), QoException);
  EXPECT_EQ(readFile(dir / "old"), "new");

  // A folder with content cannot be replaced by a file: it stays whole, and so does the source.
  writeFile(dir / "full/inner", "kept");
  EXPECT_THROW(QoFile::moveItemAtPath((dir / "old").string(), (dir / "full").string()), QoException);
  EXPECT_EQ(readFile(dir / "full/inner"), "kept");
  EXPECT_EQ(readFile(dir / "old"), "new");
}

class LocalChangeTest : public EntityTestBase {
 protected:
  void SetUp() override {
    EntityTestBase::SetUp();
    local_ = device(0, "local");
    root_ = (home_.path() / "s").string();
    outer_ = copy(root_, local_, "S", "outer-uuid");
    inner_ = copy(root_ + "/in", local_, "T", "inner-uuid");
    writeFile(root_ + "/in/a.txt", "abc");
  }
  QoFile::Ptr fromDisk(const std::string& relative) { return QoFile::initWithPath(root_ + relative); }
  // A peer's record as it arrives: a path and a clock, nothing read from disk.
  static QoFileAndSyncdirCopyRelation::Ptr arriving(const std::string& path, const QoSyncdirCopy::Ptr& copy,
                                                    const std::string& vclock = "") {
    auto relation = std::make_shared<QoFileAndSyncdirCopyRelation>();
    auto file = std::make_shared<QoFile>();
    file->setPath(path);
    relation->setFile(file);
    if (copy) relation->setSyncdirCopy(copy);
    if (!vclock.empty()) relation->setVclock(vclock);
    return relation;
  }

  QoDevice::Ptr local_;
  std::string root_;
  QoSyncdirCopy::Ptr outer_;
  QoSyncdirCopy::Ptr inner_;
};

TEST_F(LocalChangeTest, InsertGivesEveryContainingCopyItsRecord) {
  outer_->insertFiles({fromDisk("/in/a.txt")});
  auto stored = QoFile::getFileWithPath(root_ + "/in/a.txt");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->usn(), 1);
  EXPECT_EQ(stored->sha1(), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(outer_->getFileRelationWithFilePath(stored->path())->vclock(), "1");
  EXPECT_EQ(inner_->getFileRelationWithFilePath(stored->path())->vclock(), "1");
  EXPECT_EQ(stored->getFileRelationsCount(), 2);

  // Removed, then added again: the same row comes back with a new usn.
  outer_->deleteFiles({stored});
  auto removed = QoFile::getFileWithPath(stored->path());
  EXPECT_EQ(removed->status(), 1);
  EXPECT_EQ(removed->usn(), 2);
  EXPECT_EQ(outer_->getFileRelationWithFilePath(stored->path())->vclock(), "2");
  outer_->insertFiles({fromDisk("/in/a.txt")});
  auto back = QoFile::getFileWithPath(stored->path());
  EXPECT_EQ(back->pk(), stored->pk());
  EXPECT_EQ(back->status(), 0);
  EXPECT_EQ(back->usn(), 3);
  EXPECT_EQ(QoFile::count(), 1);
  EXPECT_EQ(outer_->getFileRelationsWithUsn(2, 10).size(), 1u);
  EXPECT_EQ(outer_->getFileRelationsWithUsn(3, 10).size(), 0u);
}

TEST_F(LocalChangeTest, NestedCopyRootIsReachedFromTheCopyAroundIt) {
  QoFile::setFileAttributeAtPath(root_ + "/in", 0700, 3000);
  EXPECT_EQ(QoFile::getFileModifyTimeAtPath(root_ + "/in"), 3000);
  EXPECT_EQ(QoFile::getDirectorySubFilePathsAtPath(root_ + "/in", true, false),
            std::vector<std::string>{root_ + "/in/a.txt"});
}

TEST_F(LocalChangeTest, ChangePagesAreBoundedByTheirLimit) {
  for (const char* name : {"/in/b.txt", "/in/c.txt", "/in/d.txt"}) writeFile(root_ + name, name);
  outer_->insertFiles({fromDisk("/in/d.txt"), fromDisk("/in/b.txt"), fromDisk("/in/a.txt"), fromDisk("/in/c.txt")});
  const auto paths = [](const QoSyncdirCopy::RelationList& relations) {
    std::vector<std::string> found;
    for (const auto& relation : relations) {
      const std::string& path = relation->file()->path();
      found.push_back(path.substr(path.rfind('/')));
    }
    return found;
  };
  EXPECT_TRUE(outer_->getFileRelationsWithUsn(0, 0).empty()) << "limit 0 is an empty page";
  EXPECT_EQ(paths(outer_->getFileRelationsWithUsn(0, -1)),
            (std::vector<std::string>{"/d.txt", "/b.txt", "/a.txt", "/c.txt"}))
      << "a negative limit has no bound, in usn order";
  EXPECT_EQ(paths(outer_->getFileRelationsWithUsn(1, 2)), (std::vector<std::string>{"/b.txt", "/a.txt"}));
  EXPECT_EQ(outer_->getFileRelationsWithUsn(0).size(), 4u);
}

TEST_F(LocalChangeTest, RecursiveDeleteMarksExactlyThePathsBelow) {
  writeFile(root_ + "/in/b.txt", "b");
  writeFile(root_ + "/in_x/c.txt", "c");
  outer_->insertFiles(
      {fromDisk("/in"), fromDisk("/in/a.txt"), fromDisk("/in/b.txt"), fromDisk("/in_x"), fromDisk("/in_x/c.txt")});
  auto dir = QoFile::getFileWithPath(root_ + "/in");
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir->getSubFiles().size(), 3u);
  // Neither "_" nor letter case widens the prefix.
  for (const char* folder : {"/a_b", "/axb", "/A_B"}) writeFile(root_ + folder + "/f", "f");
  outer_->insertFiles({fromDisk("/a_b"), fromDisk("/a_b/f"), fromDisk("/axb"), fromDisk("/axb/f"), fromDisk("/A_B"),
                       fromDisk("/A_B/f")});
  EXPECT_EQ(QoFile::getFileWithPath(root_ + "/a_b")->getSubFiles().size(), 2u);
  // Names that sort right before "in/" and right after it stay outside.
  for (const char* outside : {"/in.d/f", "/in0"}) writeFile(root_ + outside, "o");
  outer_->insertFiles({fromDisk("/in.d"), fromDisk("/in.d/f"), fromDisk("/in0")});
  EXPECT_EQ(dir->getSubFiles().size(), 3u);

  // A row removed before keeps its usn and clock: the removal is not sent again.
  writeFile(root_ + "/in/gone.txt", "g");
  outer_->insertFiles({fromDisk("/in/gone.txt")});
  outer_->deleteFiles({QoFile::getFileWithPath(root_ + "/in/gone.txt")});
  const int64_t goneUsn = QoFile::getFileWithPath(root_ + "/in/gone.txt")->usn();
  const std::string goneClock = outer_->getFileRelationWithFilePath(root_ + "/in/gone.txt")->vclock();
  inTransaction([&] { dir->deleteRelationRecursion(); });
  EXPECT_EQ(
      column("SELECT path FROM qo_file WHERE status = 1 ORDER BY path"),
      (std::vector<std::string>{root_ + "/in", root_ + "/in/a.txt", root_ + "/in/b.txt", root_ + "/in/gone.txt"}));
  EXPECT_EQ(QoFile::getFileWithPath(root_ + "/in/gone.txt")->usn(), goneUsn);
  EXPECT_EQ(outer_->getFileRelationWithFilePath(root_ + "/in/gone.txt")->vclock(), goneClock);

  // An update of a file in no copy record inserts it; a delete only warns.
  writeFile(root_ + "/z.txt", "z");
  auto loose = fromDisk("/z.txt");
  loose->deleteRelation();
  EXPECT_EQ(QoFile::getFileWithPath(root_ + "/z.txt"), nullptr);
  outer_->updateFiles({loose});
  EXPECT_NE(outer_->getFileRelationWithFilePath(root_ + "/z.txt"), nullptr);
}

// Rows stepped through by full-table scans, and sorts made, by the statements run while it lives.
class QueryWork {
 public:
  QueryWork() : database_(SQLiteInstanceManager::sharedManager()->database()) {
    sqlite3_trace_v2(database_, SQLITE_TRACE_PROFILE, &QueryWork::record, this);
  }
  ~QueryWork() { sqlite3_trace_v2(database_, 0, nullptr, nullptr); }
  QueryWork(const QueryWork&) = delete;
  QueryWork& operator=(const QueryWork&) = delete;

  int scannedRows = 0;
  int sorts = 0;

 private:
  static int record(unsigned /*type*/, void* context, void* statement, void* /*time*/) {
    auto* work = static_cast<QueryWork*>(context);
    auto* prepared = static_cast<sqlite3_stmt*>(statement);
    work->scannedRows += sqlite3_stmt_status(prepared, SQLITE_STMTSTATUS_FULLSCAN_STEP, 1);
    work->sorts += sqlite3_stmt_status(prepared, SQLITE_STMTSTATUS_SORT, 1);
    return 0;
  }

  sqlite3* database_;
};

TEST_F(LocalChangeTest, FolderContentsAndChangePagesAreReadThroughIndices) {
  QoSyncdirCopy::FileList files;
  for (int i = 0; i < 30; ++i) {
    writeFile(fmt::format("{}/out{}", root_, i), "o");
    files.push_back(fromDisk(fmt::format("/out{}", i)));
  }
  files.push_back(fromDisk("/in"));
  for (int i = 0; i < 30; ++i) {
    writeFile(fmt::format("{}/in/f{}", root_, i), "f");
    files.push_back(fromDisk(fmt::format("/in/f{}", i)));
  }
  outer_->insertFiles(files);
  const auto folder = QoFile::getFileWithPath(root_ + "/in");
  ASSERT_NE(folder, nullptr);
  {
    QueryWork work;
    EXPECT_EQ(folder->getSubFiles().size(), 31u);
    EXPECT_EQ(work.scannedRows, 0);
  }
  {
    // The inner copy holds usn 32 to 61; a page starts after the usn it is given, in usn order.
    QueryWork work;
    const auto page = inner_->getFileRelationsWithUsn(40, 5);
    ASSERT_EQ(page.size(), 5u);
    for (size_t i = 0; i < page.size(); ++i) {
      EXPECT_EQ(page[i]->file()->usn(), 41 + static_cast<int64_t>(i));
      EXPECT_EQ(page[i]->syncdirCopy()->pk(), inner_->pk());
    }
    EXPECT_EQ(work.scannedRows, 0);
    EXPECT_EQ(work.sorts, 0);
  }
}

TEST_F(LocalChangeTest, FileInCopyRecordsShareObjectsAndMergeClocks) {
  outer_->insertFiles({fromDisk("/in/a.txt")});
  auto relations = QoFileAndSyncdirCopyRelation::getRelationWithPath(root_ + "/in/a.txt")->file()->getFileRelations();
  ASSERT_EQ(relations.size(), 2u);
  EXPECT_EQ(relations[0]->file(), relations[1]->file());
  EXPECT_EQ(relations[0]->syncdirCopy()->device(), relations[1]->syncdirCopy()->device());

  // setVclockInc in slot 2 of an empty clock.
  auto fresh = std::make_shared<QoFileAndSyncdirCopyRelation>();
  auto third = std::make_shared<QoSyncdirCopy>();
  third->setVcIndex(2);
  fresh->setSyncdirCopy(third);
  fresh->setVclockInc();
  EXPECT_EQ(fresh->vclock(), "0|0|1");

  // An incoming change merges into the stored clock of every record of the file.
  relations[0]->setVclock("3|1|4");
  relations[0]->save();
  relations[1]->setVclock("3|1|4");
  relations[1]->save();
  auto incoming = std::make_shared<QoFileAndSyncdirCopyRelation>();
  auto incomingFile = fromDisk("/in/a.txt");
  incomingFile->setPkPublic(relations[0]->file()->pk());
  incoming->setFile(incomingFile);
  incoming->setSyncdirCopy(outer_);
  incoming->setVclock("2|5");
  inTransaction([&] { incoming->updateRelation(); });
  EXPECT_EQ(outer_->getFileRelationWithFilePath(root_ + "/in/a.txt")->vclock(), "3|5|4");
  EXPECT_EQ(inner_->getFileRelationWithFilePath(root_ + "/in/a.txt")->vclock(), "3|5|4");

  // A removed copy is read with no device.
  inner_->setDevice(nullptr);
  inner_->save();
  auto innerRelation = inner_->getAllFileRelations();
  ASSERT_EQ(innerRelation.size(), 1u);
  EXPECT_EQ(innerRelation[0]->syncdirCopy()->device(), nullptr);
}

TEST_F(LocalChangeTest, IncomingDeletionOfAnUnknownFileStoresIt) {
  auto incoming = arriving("/in/gone.txt", outer_, "0|7");
  incoming->converFileRelativePathToAbsolutePath();
  EXPECT_EQ(incoming->getRelativeFilePath(), "/in/gone.txt");
  EXPECT_EQ(incoming->file()->path(), root_ + "/in/gone.txt");
  EXPECT_EQ(incoming->getTempFilePath(), root_ + "/in/.gone.txt.Velbor.Download");
  inTransaction([&] { incoming->deleteRelation(); });
  auto stored = outer_->getFileRelationWithFilePath(root_ + "/in/gone.txt");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->file()->status(), 1);
  EXPECT_EQ(stored->vclock(), "0|7");

  auto handle = incoming->getTmpFileHandle();
  ASSERT_NE(handle, nullptr);
  *handle << "part";
  incoming->closeTmpFileHandle();
  EXPECT_EQ(readFile(root_ + "/in/.gone.txt.Velbor.Download"), "part");
}

TEST_F(LocalChangeTest, IncomingDeletionReusesTheFileRowLeftAtItsPath) {
  // The path keeps a file row from a copy that was removed: no record in any copy holds it.
  outer_->insertFiles({fromDisk("/in/a.txt")});
  auto leftover = QoFile::getFileWithPath(root_ + "/in/a.txt");
  ASSERT_NE(leftover, nullptr);
  QoFileAndSyncdirCopyRelation::deleteObjectsByCriteria("");

  auto incoming = arriving("/in/a.txt", outer_, "0|3");
  incoming->converFileRelativePathToAbsolutePath();
  inTransaction([&] { incoming->deleteRelation(); });
  EXPECT_EQ(QoFile::count(), 1);
  auto stored = outer_->getFileRelationWithFilePath(root_ + "/in/a.txt");
  ASSERT_NE(stored, nullptr) << "the record must name the stored file row";
  EXPECT_EQ(stored->file()->pk(), leftover->pk());
  EXPECT_EQ(stored->file()->status(), 1);
  EXPECT_EQ(stored->vclock(), "0|3");
  EXPECT_EQ(column("SELECT COUNT(*) FROM qo_file_and_syncdir_copy_relation WHERE file < 0"),
            (std::vector<std::string>{"0"}));
}

TEST_F(LocalChangeTest, NewTransferStartsFromAnEmptyTemporaryFile) {
  auto incoming = arriving(root_ + "/in/a.txt", outer_);
  // Left by an attempt no journal knows of, or the user's own: never written into.
  writeFile(root_ + "/in/.a.txt.Velbor.Download", "left over by a longer attempt");

  auto handle = incoming->getTmpFileHandle();
  ASSERT_NE(handle, nullptr);
  *handle << "ab";
  EXPECT_EQ(incoming->getTmpFileHandle(), handle) << "the open transfer keeps its handle";
  *handle << "c";
  incoming->closeTmpFileHandle();
  EXPECT_EQ(incoming->getTempFilePath(), root_ + "/in/.a.txt.2.Velbor.Download");
  EXPECT_EQ(readFile(incoming->getTempFilePath()), "abc");
  EXPECT_EQ(readFile(root_ + "/in/.a.txt.Velbor.Download"), "left over by a longer attempt");
}

TEST_F(LocalChangeTest, TemporaryFileIsNeverWrittenThroughWhatStandsAtItsName) {
  const std::string outside = home_.path() / "outside.txt";
  writeFile(outside, "not the copy's");
  const std::string temporary = root_ + "/in/.a.txt.Velbor.Download";

  // A link at the temporary name stays; the download is a file of our own under another name.
  ASSERT_EQ(symlink(outside.c_str(), temporary.c_str()), 0);
  auto linked = arriving(root_ + "/in/a.txt", outer_);
  auto handle = linked->getTmpFileHandle();
  ASSERT_NE(handle, nullptr);
  *handle << "download";
  linked->closeTmpFileHandle();
  EXPECT_EQ(readFile(outside), "not the copy's");
  EXPECT_TRUE(std::filesystem::is_symlink(temporary));
  EXPECT_EQ(readFile(linked->getTempFilePath()), "download");
  std::filesystem::remove(temporary);
  std::filesystem::remove(linked->getTempFilePath());
  linked.reset();  // gives the name up for the next transfer

  // A name taken after it was chosen gives no handle, and what took it stays.
  auto late = arriving(root_ + "/in/a.txt", outer_);
  const std::string chosen = late->getTempFilePath();
  ASSERT_EQ(mkfifo(chosen.c_str(), 0600), 0);
  EXPECT_EQ(late->getTmpFileHandle(), nullptr);
  EXPECT_TRUE(std::filesystem::is_fifo(chosen));
  std::filesystem::remove(chosen);

  // Without a copy there is nowhere it may be written.
  EXPECT_EQ(arriving(root_ + "/in/a.txt", nullptr)->getTmpFileHandle(), nullptr);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(temporary)));
}

TEST_F(LocalChangeTest, PeerPathsThatCouldLeaveTheCopyAreRefused) {
  for (const std::string bad : {"/../escape", "/in/../../escape", "relative", "", "/in//a", "/in/./a", "/in/"}) {
    auto incoming = arriving(bad, outer_);
    EXPECT_THROW(incoming->converFileRelativePathToAbsolutePath(), QoExceptionZeBadPath) << bad;
    EXPECT_EQ(incoming->file()->path(), bad) << "left as it came";
  }
  // Without a copy there is no root to stay below.
  auto orphan = arriving("/etc/passwd", nullptr);
  EXPECT_THROW(orphan->converFileRelativePathToAbsolutePath(), QoExceptionZeBadPath);
  EXPECT_EQ(orphan->file()->path(), "/etc/passwd");
}

TEST_F(LocalChangeTest, FailedBatchIsRolledBackAndRaised) {
  outer_->insertFiles({fromDisk("/in/a.txt")});
  writeFile(root_ + "/in/b.txt", "b");
  {
    RefusedCommits refused;
    ASSERT_TRUE(refused.active());
    EXPECT_THROW(outer_->insertFiles({fromDisk("/in/b.txt")}), QoExceptionZeSqlite);
    EXPECT_THROW(outer_->updateFiles({QoFile::getFileWithPath(root_ + "/in/a.txt")}), QoExceptionZeSqlite);
    EXPECT_THROW(outer_->deleteFiles({QoFile::getFileWithPath(root_ + "/in/a.txt")}), QoExceptionZeSqlite);
  }
  EXPECT_EQ(PersistentObject::transactionLevel(), 0);
  EXPECT_EQ(QoFile::getFileWithPath(root_ + "/in/b.txt"), nullptr);
  auto a = QoFile::getFileWithPath(root_ + "/in/a.txt");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->status(), 0);
  EXPECT_EQ(outer_->getFileRelationWithFilePath(a->path())->vclock(), "1");
}

}  // namespace
}  // namespace velbor::test
