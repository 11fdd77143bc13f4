#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "EntityTestBase.h"
#include "core/utils/QoUtils.h"
#include "platform/Exception.h"

namespace velbor::test {
namespace {

using QoSyncdirCopyTest = EntityTestBase;

TEST_F(QoSyncdirCopyTest, SlotsFollowInsertionAndSurviveRemoval) {
  auto local = device(0, "local");
  auto peer = device(-1, "peer");
  auto first = copy("/home/u/sync", local, "S", "aaaaaa-1");
  auto second = copy("/peer/sync", peer, "S", "bbbbbb-2");
  second->forceRemove();
  auto third = copy("reserve-ABCDEF", nullptr, "S", "cccccc-3");
  EXPECT_EQ(first->vcIndex(), 0);
  EXPECT_EQ(second->vcIndex(), 1);
  EXPECT_EQ(third->vcIndex(), 2);
  EXPECT_EQ(first->getSyncdirCopysUuidList(), (std::vector<std::string>{"aaaaaa-1", "bbbbbb-2", "cccccc-3"}));

  auto removed = QoSyncdirCopy::getSyncdirCopyWithUuid("bbbbbb-2");
  ASSERT_NE(removed, nullptr);
  EXPECT_EQ(removed->path(), "/peer/sync");
  EXPECT_EQ(removed->device(), nullptr);
  EXPECT_EQ(removed->vcIndex(), 1);
  EXPECT_EQ(QoSyncdirCopy::getSyncdirCopysWithFilePath("/peer/sync/a").size(), 0u);
  EXPECT_EQ(QoSyncdirCopy::getSyncdirCopyInLocalDevice().size(), 1u);

  EXPECT_EQ(first->shortUuid(), "aaaaaa");
  EXPECT_EQ(QoSyncdirCopy().shortUuid(), "Uninited UUID");
}

// Every copy names a slot in each clock and in every find reply: once a folder keeps as many
// copies as a reply may name, a paired device's copy is refused like a peer's placeholder,
// or every peer would refuse this device's replies.
TEST_F(QoSyncdirCopyTest, AFolderKeepingAsManyCopiesAsARepliesMayNameTakesNoMore) {
  auto local = device(0, "local");
  auto peer = device(-1, "peer");
  auto first = copy("/home/u/sync", local, "S", QoUtils::generateUuid());
  for (size_t i = 1; i < QoSyncdirCopy::kMaxCopiesPerSyncdir; ++i) {
    ASSERT_TRUE(QoSyncdirCopy::addPlaceholderCopy("S", QoUtils::generateUuid()));
  }
  EXPECT_FALSE(QoSyncdirCopy::addPlaceholderCopy("S", QoUtils::generateUuid()));
  EXPECT_THROW(copy("/peer/sync", peer, "S", QoUtils::generateUuid()), Exception);
  EXPECT_EQ(first->getSyncdirCopysUuidList().size(), QoSyncdirCopy::kMaxCopiesPerSyncdir);
  // Another folder is not held back.
  EXPECT_GE(copy("/peer/other", peer, "T", QoUtils::generateUuid())->pk(), 0);
}

// Records hold snapshots of the rows they reference; saving a record must not write an old
// snapshot back over a device or copy that changed since (a distrusted peer trusted again).
TEST_F(QoSyncdirCopyTest, SavingARecordDoesNotRewriteTheRowsItReferences) {
  device(0, "local");
  auto peer = device(-1, "peer");
  copy("/peer/sync", peer, "S", "bbbbbb-2");
  auto snapshot = QoSyncdirCopy::getSyncdirCopyWithUuid("bbbbbb-2");
  ASSERT_NE(snapshot, nullptr);

  auto current = QoDevice::getDeviceWithUuid("peer");
  current->setStatus(0);
  current->setName("renamed");
  current->save();

  snapshot->setPath("/peer/moved");
  snapshot->save();
  auto relation = std::make_shared<QoFileAndSyncdirCopyRelation>();
  relation->setSyncdirCopy(snapshot);
  relation->setVclock("1");
  relation->save();
  pair(snapshot, snapshot);

  auto stored = QoDevice::getDeviceWithUuid("peer");
  EXPECT_EQ(stored->status(), 0);
  EXPECT_EQ(stored->name(), "renamed");
  EXPECT_EQ(QoSyncdirCopy::getSyncdirCopyWithUuid("bbbbbb-2")->path(), "/peer/moved");
}

TEST_F(QoSyncdirCopyTest, ContainmentIsAnExactByteWisePrefix) {
  auto local = device(0, "local");
  auto peer = device(-1, "peer");
  copy("/home/u/my_dir", local, "S", "u1");
  copy("/home/u/my_dir/inner", local, "S", "u2");
  copy("/home/u/other", peer, "T", "u3");

  auto contained = [](const std::string& path) { return QoSyncdirCopy::getSyncdirCopysWithFilePath(path).size(); };
  EXPECT_EQ(contained("/home/u/my_dir"), 0u) << "a root does not contain itself";
  EXPECT_EQ(contained("/home/u/my_dir/a"), 1u);
  EXPECT_EQ(contained("/home/u/my_dir/inner/a"), 2u);
  EXPECT_EQ(contained("/home/u/myXdir/a"), 0u) << "'_' is no wildcard";
  EXPECT_EQ(contained("/home/u/MY_DIR/a"), 0u) << "case matters";
  EXPECT_EQ(contained("/home/u/my_dirx/a"), 0u);

  EXPECT_TRUE(QoSyncdirCopy::isNestedSyncdirCopyHasSameSyncUuid("S", "/home/u"));
  EXPECT_TRUE(QoSyncdirCopy::isNestedSyncdirCopyHasSameSyncUuid("S", "/home/u/my_dir/inner/deeper"));
  EXPECT_FALSE(QoSyncdirCopy::isNestedSyncdirCopyHasSameSyncUuid("T", "/home/u")) << "only local copies count";
  EXPECT_FALSE(QoSyncdirCopy::isNestedSyncdirCopyHasSameSyncUuid("S", "/home/u/my"));

  // Both local copies share one device object.
  auto locals = QoSyncdirCopy::getSyncdirCopyInLocalDevice();
  ASSERT_EQ(locals.size(), 2u);
  EXPECT_EQ(locals[0]->device(), locals[1]->device());
}

TEST_F(QoSyncdirCopyTest, PairingsAndTheirMirrorsGoWithTheCopy) {
  auto local = device(0, "local");
  auto peer = device(-1, "peer");
  auto mine = copy("/home/u/s", local, "S", "111111-local");
  auto theirs = copy("/peer/s", peer, "S", "222222-remote");
  auto other = copy("/peer/t", peer, "S", "333333-other");

  auto pairing = pair(mine, theirs);
  pair(theirs, mine);  // the mirror
  auto alone = pair(mine, other);

  EXPECT_EQ(pairing->relationHash(), "111111-222222");
  EXPECT_EQ(QoSyncdirCopyRelation::hashWithFirstUuid("abcdefXYZ", "123456789"), "abcdef-123456");
  auto found = QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstUuid("111111-local", "222222-remote");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->pk(), pairing->pk());
  EXPECT_EQ(QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstUuid("111111-local", "nope"), nullptr);
  EXPECT_TRUE(QoSyncdirCopyRelation::getSyncdirCopyRelationsWithRemoteUuid("nope").empty());

  auto ofMine = mine->getAllSyncdirCopyRelations();
  ASSERT_EQ(ofMine.size(), 2u);
  EXPECT_EQ(ofMine[0]->firstSyncdirCopy(), ofMine[1]->firstSyncdirCopy()) << "one copy object per call";

  alone->forceRemove();
  EXPECT_EQ(QoSyncdirCopyRelation::count(), 2);
  mine->forceRemove();
  EXPECT_EQ(QoSyncdirCopyRelation::count(), 0) << "pairing and mirror both gone";
}

TEST_F(QoSyncdirCopyTest, BigFilesAreHandedOutOnceTheyStopChanging) {
  const auto path = (home_.path() / "big.bin").string();
  writeFile(path, "x");
  QoSyncdirCopy copy;
  copy.addBigFileWithPath(path);
  EXPECT_EQ(copy.getBigFilesUnchanged(), std::vector<std::string>{path});
  EXPECT_TRUE(copy.getBigFilesUnchanged().empty());

  copy.addBigFileWithPath(path);
  const timespec times[2] = {{0, UTIME_OMIT}, {1, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_TRUE(copy.getBigFilesUnchanged().empty()) << "still changing";
  EXPECT_EQ(copy.getBigFilesUnchanged(), std::vector<std::string>{path});
}

}  // namespace
}  // namespace velbor::test
