#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "HandlerTestBase.h"
#include "core/entity/SyncdirMark.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

class TreeRequestTest : public HandlerTestBase {
 protected:
  static Answer add(const std::string& syncUuid, const std::string& root, const std::string& treeUuid = {}) {
    pb::MsgTreeAddRequest request;
    request.set_sync_uuid(syncUuid);
    request.set_tree_root(root);
    if (!treeUuid.empty()) request.set_tree_uuid(treeUuid);
    return call(&QoWorker::handleTreeAddRequest, body(request));
  }
  static Answer remove(const std::string& treeUuid) {
    pb::MsgTreeDeleteRequest request;
    request.set_tree_uuid(treeUuid);
    return call(&QoWorker::handleTreeDeleteRequest, body(request));
  }
  static std::vector<std::string> shownRoots() {
    std::vector<std::string> roots;
    const auto shown = call(&QoWorker::handleTreeShowRequest).body<pb::MsgTreeShowResponse>();
    for (const auto& tree : shown->trees()) {
      roots.push_back(tree.tree_root());
    }
    return roots;
  }
  // The marks a tree's folder was given through and that are still beside its own.
  static std::vector<std::string> temporaryMarks(const fs::path& root) {
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(root)) {
      if (entry.path().filename().string().starts_with(".Velbor.Syncdir.")) left.push_back(entry.path().string());
    }
    return left;
  }
};

TEST_F(TreeRequestTest, TreesAreCreatedListedAndDeletedByRequest) {
  fs::create_directories(dir_ / "one");
  fs::create_directories(dir_ / "two");
  const std::string syncUuid = QoUtils::generateUuid();
  const std::string chosen = QoUtils::generateUuid();
  const Answer first = add(syncUuid, (dir_ / "one").string() + "/", chosen);
  ASSERT_EQ(first.code(), pb::MsgCodeTreeAddResponse) << first.errstr;
  EXPECT_EQ(first.body<pb::MsgTreeAddResponse>()->tree_uuid(), chosen);
  const Answer second = add(syncUuid, (dir_ / "two").string());
  ASSERT_EQ(second.code(), pb::MsgCodeTreeAddResponse) << second.errstr;
  const std::string fresh = second.body<pb::MsgTreeAddResponse>()->tree_uuid();
  EXPECT_TRUE(QoUtils::checkUuid(fresh));

  const auto shown = call(&QoWorker::handleTreeShowRequest).body<pb::MsgTreeShowResponse>();
  ASSERT_EQ(shown->trees_size(), 2);
  EXPECT_EQ(shown->trees(0).tree_uuid(), chosen);
  EXPECT_EQ(shown->trees(0).tree_root(), (dir_ / "one").string());
  EXPECT_EQ(shown->trees(0).sync_uuid(), syncUuid);
  EXPECT_EQ(shown->trees(1).id(), QoSyncdirCopy::getSyncdirCopyWithUuid(fresh)->pk());
  EXPECT_EQ(QoSyncdirCopy::getSyncdirCopyWithUuid(fresh)->vcIndex(), 1);

  EXPECT_EQ(remove(chosen).code(), pb::MsgCodeTreeDeleteResponse);
  EXPECT_EQ(shownRoots(), std::vector<std::string>{(dir_ / "two").string()});
  const auto removed = QoSyncdirCopy::getSyncdirCopyWithUuid(chosen);
  ASSERT_TRUE(removed) << "the row keeps its slot";
  EXPECT_FALSE(removed->device());

  // A third copy of the sync folder takes slot 2, after the removed one.
  fs::create_directories(dir_ / "three");
  const Answer third = add(syncUuid, (dir_ / "three").string());
  EXPECT_EQ(QoSyncdirCopy::getSyncdirCopyWithUuid(third.body<pb::MsgTreeAddResponse>()->tree_uuid())->vcIndex(), 2);

  EXPECT_EQ(remove(QoUtils::generateUuid()).errcode, pb::ErrorCodeNoent);
  EXPECT_EQ(remove("bad").errstr, "QoExceptionZeBadUuid: Bad Uuid for request tree uuid");
  EXPECT_EQ(call(&QoWorker::handleTreeShowRequest, body(pb::MsgTreeDeleteRequest())).errcode, pb::ErrorCodeBadFormat);
}

TEST_F(TreeRequestTest, ANewTreeMarksItsFolderAsItsOwnEvenOverAnotherCopysMark) {
  // A folder copied with `cp -a` from a synced one carries that copy's mark.
  const fs::path root = dir_ / "copied";
  writeFile(root / "a.txt", "one");
  const std::string otherMark = QoUtils::generateUuid();
  writeFile(root / ".Velbor.Syncdir", otherMark + "\n");
  const Answer added = add(QoUtils::generateUuid(), root.string());
  ASSERT_EQ(added.code(), pb::MsgCodeTreeAddResponse) << added.errstr;
  const std::string uuid = added.body<pb::MsgTreeAddResponse>()->tree_uuid();
  EXPECT_EQ(readFile(root / ".Velbor.Syncdir"), uuid + "\n");

  // Its folder is its own: what it holds is recorded.
  const auto copy = QoSyncdirCopy::getSyncdirCopyWithUuid(uuid);
  ASSERT_TRUE(copy);
  copy->refresh();
  EXPECT_NE(QoFile::getFileWithPath((root / "a.txt").string()), nullptr);
  EXPECT_TRUE(temporaryMarks(root).empty())
      << "temporary marks are left: " << ::testing::PrintToString(temporaryMarks(root));
}

TEST_F(TreeRequestTest, ATreeIsNotStoredInAFolderThatKeepsAnotherCopysMark) {
  if (::geteuid() != 0) GTEST_SKIP() << "a full disk needs a tmpfs mounted as root";
  // A folder copied with `cp -a` onto a disk that is full now.
  const fs::path disk = dir_ / "full";
  fs::create_directories(disk);
  ASSERT_EQ(::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k"), 0);
  const struct Unmount {
    const fs::path& at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{disk};
  const fs::path root = disk / "copied";
  const std::string otherMark = QoUtils::generateUuid() + "\n";
  writeFile(root / ".Velbor.Syncdir", otherMark);
  {
    std::ofstream filler(disk / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size()) && filler.flush()) {
    }
  }
  const Answer full = add(QoUtils::generateUuid(), root.string());
  // Stored there, it would be missing from its first look on, with nothing to bring it back.
  EXPECT_EQ(full.errcode, pb::ErrorCodeGeneral) << full.errstr;
  EXPECT_TRUE(shownRoots().empty());
  EXPECT_EQ(readFile(root / ".Velbor.Syncdir"), otherMark);
  EXPECT_TRUE(temporaryMarks(root).empty())
      << "temporary marks are left: " << ::testing::PrintToString(temporaryMarks(root));

  // Room again: the folder is the new tree's.
  fs::remove(disk / "filler");
  const Answer added = add(QoUtils::generateUuid(), root.string());
  ASSERT_EQ(added.code(), pb::MsgCodeTreeAddResponse) << added.errstr;
  const std::string uuid = added.body<pb::MsgTreeAddResponse>()->tree_uuid();
  EXPECT_EQ(readFile(root / ".Velbor.Syncdir"), uuid + "\n");
  const auto copy = QoSyncdirCopy::getSyncdirCopyWithUuid(uuid);
  ASSERT_TRUE(copy);
  EXPECT_EQ(SyncdirMark::stateOf(*copy), SyncdirMark::State::kInPlace);
}

TEST_F(TreeRequestTest, AFolderSeenFromTwoPlacesHoldsOneTree) {
  if (::geteuid() != 0) GTEST_SKIP() << "a bind mount needs root";
  const fs::path disk = dir_ / "disk";
  const fs::path alias = dir_ / "alias";
  fs::create_directories(disk / "folder");
  fs::create_directories(alias);
  ASSERT_EQ(::mount(disk.c_str(), alias.c_str(), nullptr, MS_BIND, nullptr), 0);
  const struct Unmount {
    const fs::path& at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{alias};
  const Answer first = add(QoUtils::generateUuid(), (disk / "folder").string());
  ASSERT_EQ(first.code(), pb::MsgCodeTreeAddResponse) << first.errstr;
  const std::string uuid = first.body<pb::MsgTreeAddResponse>()->tree_uuid();

  // The same folder under the other name, for another sync folder: it would take the mark.
  const Answer second = add(QoUtils::generateUuid(), (alias / "folder").string());
  EXPECT_EQ(second.errcode, pb::ErrorCodeExist) << second.errstr;
  EXPECT_EQ(shownRoots(), std::vector<std::string>{(disk / "folder").string()});
  EXPECT_EQ(readFile(disk / "folder/.Velbor.Syncdir"), uuid + "\n");
  const auto copy = QoSyncdirCopy::getSyncdirCopyWithUuid(uuid);
  ASSERT_TRUE(copy);
  EXPECT_EQ(SyncdirMark::stateOf(*copy), SyncdirMark::State::kInPlace);
}

TEST_F(TreeRequestTest, RootIsResolvedBeforeItIsLookedUp) {
  fs::create_directories(dir_ / "root" / "inner");
  fs::create_directory_symlink(dir_ / "root", dir_ / "alias");
  writeFile(dir_ / "file", "x");
  const std::string root = (dir_ / "root").string();
  const std::string syncUuid = QoUtils::generateUuid();
  const std::string otherSync = QoUtils::generateUuid();
  const std::string treeUuid = QoUtils::generateUuid();
  ASSERT_EQ(add(syncUuid, dir_.str() + "//root/./", treeUuid).code(), pb::MsgCodeTreeAddResponse);
  EXPECT_EQ(shownRoots(), std::vector<std::string>{root});

  struct Case {
    const char* what;
    std::string syncUuid;
    std::string root;
    std::string treeUuid;
    std::string errstr;
  };
  const std::vector<Case> cases = {
      {"same folder, same sync", syncUuid, root, "", "QoExceptionZeExist: Tree exist"},
      {"through a link", syncUuid, (dir_ / "alias").string() + "/", "", "QoExceptionZeExist: Tree exist"},
      {"with \"..\"", otherSync, root + "/inner/..", "",
       "QoExceptionZeExist: SyncdirCopy(" + root + ") in syncdir(" + syncUuid + ") already exist."},
      {"stored tree uuid", otherSync, (dir_ / "root" / "inner").string(), treeUuid,
       "QoExceptionZeExist: Tree(" + treeUuid + ") exist"},
      {"inside a tree", syncUuid, root + "/inner", "", "QoExceptionZeNestedTree: Nested tree(" + root + "/inner)"},
      {"around a tree", syncUuid, dir_.str(), "", "QoExceptionZeNestedTree: Nested tree(" + dir_.str() + ")"},
      {"relative", syncUuid, "root", "", "QoExceptionZeBadPath: Bad path(root) for tree root"},
      {"missing", syncUuid, dir_.str() + "/missing/", "",
       "QoExceptionZeBadPath: Path(" + dir_.str() + "/missing) is not exist!"},
      {"file system root", syncUuid, "/", "", "QoExceptionZeBadPath: Path() is not exist!"},
      {"resolves to the file system root", syncUuid, "/tmp/..", "",
       "QoExceptionZeBadPath: Bad path(/tmp/..) for tree root"},
      {"a file", syncUuid, dir_.str() + "/file", "",
       "QoExceptionZeBadPath: Path(" + dir_.str() + "/file) is not a directory!"},
      {"malformed sync uuid", "x", root, "", "QoExceptionZeBadUuid: Bad Uuid for request syncdir uuid"},
      {"malformed tree uuid", syncUuid, "relative", "y", "QoExceptionZeBadUuid: Bad Uuid for request tree uuid"},
  };
  for (const Case& c : cases) EXPECT_EQ(add(c.syncUuid, c.root, c.treeUuid).errstr, c.errstr) << c.what;
  EXPECT_EQ(shownRoots(), std::vector<std::string>{root});

  // Nesting with a tree of another sync folder is allowed.
  EXPECT_EQ(add(otherSync, root + "/inner").code(), pb::MsgCodeTreeAddResponse);
}

TEST_F(TreeRequestTest, TheKernelsOwnViewsAndFoldersThatCannotBeWrittenAreRefused) {
  const std::string syncUuid = QoUtils::generateUuid();
  // A rescan would read /proc/*/pagemap and the like: files of hundreds of GiB.
  for (const char* root : {"/proc", "/proc/self", "/sys", "/sys/kernel", "/sys/fs/cgroup", "/dev"}) {
    if (!fs::is_directory(root)) continue;
    const Answer answer = add(syncUuid, root);
    EXPECT_EQ(answer.errcode, pb::ErrorCodeBadPath) << root << " " << answer.errstr;
    EXPECT_NE(answer.errstr.find("file system, not a place for a tree"), std::string::npos) << answer.errstr;
  }

  // Known by its kind, wherever it is mounted.
  const fs::path procView = dir_ / "proc-view";
  fs::create_directories(procView);
  if (::geteuid() == 0 && ::mount("proc", procView.c_str(), "proc", 0, nullptr) == 0) {
    EXPECT_EQ(add(syncUuid, procView.string()).errstr, "QoExceptionZeBadPath: Path(" + procView.string() +
                                                           ") is on the proc file system, not a place for a tree");
    ::umount(procView.c_str());
  }

  // Read-only: root may write anywhere else, but not on a file system mounted so.
  const fs::path readOnly = dir_ / "read-only";
  fs::create_directories(readOnly);
  bool mounted = false;
  if (::geteuid() == 0) {
    mounted = ::mount("tmpfs", readOnly.c_str(), "tmpfs", MS_RDONLY, "size=64k") == 0;
  } else {
    fs::permissions(readOnly, fs::perms(0555));
  }
  if (::geteuid() != 0 || mounted) {
    const Answer answer = add(syncUuid, readOnly.string());
    EXPECT_EQ(answer.errcode, pb::ErrorCodePermissionDeny) << answer.errstr;
    EXPECT_EQ(answer.errstr, "QoExceptionZePermissionDeny: Path(" + readOnly.string() + ") is not writable");
  }
  if (mounted) ::umount(readOnly.c_str());
  EXPECT_TRUE(shownRoots().empty());
}

TEST_F(TreeRequestTest, PairedTreeIsNotDeleted) {
  const std::string syncUuid = QoUtils::generateUuid();
  const auto mine = makeCopy(dir_.str(), local_, syncUuid);
  const auto theirs = makeCopy("/theirs", remoteDevice("peer"), syncUuid);
  const auto pairing = pair(mine, theirs);
  EXPECT_EQ(remove(mine->uuid()).errstr,
            "QoExceptionZeSyncNoempty: Sync relation is still exist. Please delete sync first");
  EXPECT_EQ(remove(theirs->uuid()).errcode, pb::ErrorCodeSyncNoempty);
  pairing->forceRemove();
  EXPECT_EQ(remove(mine->uuid()).code(), pb::MsgCodeTreeDeleteResponse);
}

}  // namespace
}  // namespace velbor::test
