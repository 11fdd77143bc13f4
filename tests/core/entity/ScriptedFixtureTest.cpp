#include <string>
#include <vector>

#include "EntityTestBase.h"

namespace velbor::test {
namespace {

// One local and one remote device sharing a sync folder, built the way the daemon builds it,
// then the remote device taken away.
class ScriptedFixtureTest : public EntityTestBase {
 protected:
  void SetUp() override {
    EntityTestBase::SetUp();
    localRoot_ = (home_.path() / "local").string();
    remoteRoot_ = (home_.path() / "remote").string();
    writeFile(localRoot_ + "/a.txt", "abc");
    writeFile(localRoot_ + "/sub/b.txt", "b");
    writeFile(remoteRoot_ + "/r.txt", "r");

    local_ = device(0, "local-device");
    remote_ = device(-1, "remote-device");
    mine_ = copy(localRoot_, local_, "sync-dir", "aaaaaa-mine");
    theirs_ = copy(remoteRoot_, remote_, "sync-dir", "bbbbbb-theirs");
    pair(mine_, theirs_);
    pair(theirs_, mine_);

    mine_->insertFiles({QoFile::initWithPath(localRoot_ + "/a.txt"), QoFile::initWithPath(localRoot_ + "/sub"),
                        QoFile::initWithPath(localRoot_ + "/sub/b.txt")});
    theirs_->insertFiles({QoFile::initWithPath(remoteRoot_ + "/r.txt")});
  }

  std::string localRoot_;
  std::string remoteRoot_;
  QoDevice::Ptr local_;
  QoDevice::Ptr remote_;
  QoSyncdirCopy::Ptr mine_;
  QoSyncdirCopy::Ptr theirs_;
};

TEST_F(ScriptedFixtureTest, RowsAreStoredInTheSharedFormat) {
  EXPECT_EQ(column("SELECT pk || ':' || uuid || ':' || typeof(is_online) || ':' || is_online FROM qo_device "
                   "ORDER BY pk"),
            (std::vector<std::string>{"0:local-device:text:1", "1:remote-device:text:1"}));
  EXPECT_EQ(column("SELECT uuid || ':' || device || ':' || vc_index FROM qo_syncdir_copy ORDER BY pk"),
            (std::vector<std::string>{"aaaaaa-mine:0:0", "bbbbbb-theirs:1:1"}));
  EXPECT_EQ(QoSyncdirCopyRelation::count(), 2);
  ASSERT_NE(QoSyncdirCopyRelation::getSyncdirCopyRelationWithFirstPk(theirs_->pk(), mine_->pk()), nullptr);

  // usns 1..n in insertion order; clocks as UTF-8 text in a BLOB, one counter per slot.
  EXPECT_EQ(column(fmt::format("SELECT usn || ' ' || replace(path, '{}', '') FROM qo_file ORDER BY usn",
                               home_.path().string())),
            (std::vector<std::string>{"1 /local/a.txt", "2 /local/sub", "3 /local/sub/b.txt", "4 /remote/r.txt"}));
  EXPECT_EQ(column("SELECT DISTINCT typeof(vclock) FROM qo_file_and_syncdir_copy_relation"),
            std::vector<std::string>{"blob"});
  EXPECT_EQ(column("SELECT CAST(r.vclock AS TEXT) FROM qo_file_and_syncdir_copy_relation r JOIN qo_file f "
                   "ON r.file = f.pk ORDER BY f.usn"),
            (std::vector<std::string>{"1", "1", "1", "0|1"}));
  EXPECT_EQ(column("SELECT sha_1 FROM qo_file WHERE usn = 1"),
            std::vector<std::string>{"a9993e364706816aba3e25717850c26c9cd0d89d"});
  EXPECT_EQ(DataSource::sharedDataSource().getCurrentUsn(), 4);
}

TEST_F(ScriptedFixtureTest, ForceRemovingTheRemoteDeviceKeepsItsCopyRowOnly) {
  remote_->forceRemove();

  EXPECT_EQ(PersistentObject::transactionLevel(), 0);
  EXPECT_EQ(QoDevice::getDeviceWithUuid("remote-device"), nullptr);
  ASSERT_NE(QoDevice::getDeviceLocal(), nullptr);
  // The copy row keeps its uuid, path and slot, with no device.
  EXPECT_EQ(column("SELECT uuid || ':' || device || ':' || vc_index FROM qo_syncdir_copy ORDER BY pk"),
            (std::vector<std::string>{"aaaaaa-mine:0:0", "bbbbbb-theirs:-1:1"}));
  EXPECT_EQ(column("SELECT path FROM qo_syncdir_copy WHERE uuid = 'bbbbbb-theirs'"),
            std::vector<std::string>{remoteRoot_});
  // Pairings gone both ways; only the removed copy's file-in-copy records are gone.
  EXPECT_EQ(QoSyncdirCopyRelation::count(), 0);
  EXPECT_TRUE(theirs_->getAllFileRelations().empty());
  EXPECT_EQ(mine_->getAllFileRelations().size(), 3u);
  EXPECT_EQ(QoFile::count(), 4) << "file rows stay";

  // Its slot stays taken: the next copy of the folder gets slot 2.
  auto later = copy(remoteRoot_ + "2", local_, "sync-dir", "cccccc-later");
  EXPECT_EQ(later->vcIndex(), 2);
}

}  // namespace
}  // namespace velbor::test
