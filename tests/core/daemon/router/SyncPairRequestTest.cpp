#include <string>
#include <vector>

#include "HandlerTestBase.h"

namespace velbor::test {
namespace {

class SyncPairRequestTest : public HandlerTestBase {
 protected:
  void SetUp() override {
    HandlerTestBase::SetUp();
    syncUuid_ = QoUtils::generateUuid();
    peer_ = remoteDevice("peer");
    mine_ = makeCopy(dir_.str() + "/a", local_, syncUuid_);
  }

  pb::MsgSyncAddRequest addRequest(const std::string& localTree, const std::string& remoteTree,
                                   const std::string& remoteDevice) const {
    pb::MsgSyncAddRequest request;
    request.set_local_tree_uuid(localTree);
    request.set_remote_sync_uuid(syncUuid_);
    request.set_remote_tree_uuid(remoteTree);
    request.set_remote_tree_root("/remote/root");
    request.set_remote_device_uuid(remoteDevice);
    return request;
  }
  static Answer add(const pb::MsgSyncAddRequest& request) {
    return call(&QoWorker::handleSyncAddRequest, body(request));
  }
  static Answer remove(const std::string& localTree, const std::string& remoteTree) {
    pb::MsgSyncDeleteRequest request;
    request.set_local_tree_uuid(localTree);
    request.set_remote_tree_uuid(remoteTree);
    return call(&QoWorker::handleSyncDeleteRequest, body(request));
  }
  static std::shared_ptr<pb::MsgSyncShowResponse> show() {
    pb::MsgSyncShowRequest request;
    request.add_remote_device_uuids(QoUtils::generateUuid());
    request.set_show_statistics(pb::PbBoolTrue);
    return call(&QoWorker::handleSyncShowRequest, body(request)).body<pb::MsgSyncShowResponse>();
  }

  std::string syncUuid_;
  QoDevice::Ptr peer_;
  QoSyncdirCopy::Ptr mine_;
};

TEST_F(SyncPairRequestTest, MirroredPairsAreCreatedListedAndDeletedByRequest) {
  // Two local copies of one sync folder, paired both ways.
  const auto other = makeCopy(dir_.str() + "/b", local_, syncUuid_);
  ASSERT_EQ(add(addRequest(mine_->uuid(), other->uuid(), local_->uuid())).code(), pb::MsgCodeSyncAddResponse);
  ASSERT_EQ(add(addRequest(other->uuid(), mine_->uuid(), local_->uuid())).code(), pb::MsgCodeSyncAddResponse);

  // The device filter of a listing is not applied.
  auto listed = show();
  ASSERT_TRUE(listed);
  ASSERT_EQ(listed->syncs_size(), 2);
  const pb::SyncInfo& info = listed->syncs(0);
  EXPECT_EQ(info.local_tree_uuid(), mine_->uuid());
  EXPECT_EQ(info.remote_tree_uuid(), other->uuid());
  EXPECT_EQ(info.remote_device_uuid(), local_->uuid());
  EXPECT_EQ(info.remote_tree_root(), dir_.str() + "/b");
  EXPECT_EQ(info.remote_device_name(), local_->name());
  EXPECT_EQ(info.creator(), local_->name());
  EXPECT_EQ(listed->syncs(1).local_tree_uuid(), other->uuid());

  // Deleting one deletes its mirror.
  EXPECT_EQ(remove(mine_->uuid(), other->uuid()).code(), pb::MsgCodeSyncDeleteResponse);
  EXPECT_EQ(show()->syncs_size(), 0);
  EXPECT_EQ(remove(mine_->uuid(), other->uuid()).errstr, "QoExceptionZeNoent: Sync is deleted already");
  EXPECT_EQ(remove(other->uuid(), mine_->uuid()).errcode, pb::ErrorCodeNoent);
  EXPECT_TRUE(QoSyncdirCopy::getSyncdirCopyWithUuid(other->uuid()));
}

TEST_F(SyncPairRequestTest, RemoteTreeIsStoredOrAdoptedOnce) {
  // Unknown remote tree: stored on the device with the next slot.
  const std::string remoteTree = QoUtils::generateUuid();
  ASSERT_EQ(add(addRequest(mine_->uuid(), remoteTree, peer_->uuid())).code(), pb::MsgCodeSyncAddResponse);
  const auto stored = QoSyncdirCopy::getSyncdirCopyWithUuid(remoteTree);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->device()->uuid(), peer_->uuid());
  EXPECT_EQ(stored->path(), "/remote/root");
  EXPECT_EQ(stored->syncdirUuid(), syncUuid_);
  EXPECT_EQ(stored->vcIndex(), 1);
  const Answer twice = add(addRequest(mine_->uuid(), remoteTree, peer_->uuid()));
  EXPECT_EQ(twice.errstr, "QoExceptionZeExist: The syncdirCopy pair already exist. local=>remote:(" + mine_->uuid() +
                              ")=>(" + remoteTree + ")");
  EXPECT_EQ(QoSyncdirCopyRelation::allObjects().size(), 1u);

  // A placeholder takes the device and keeps its path.
  const auto placeholder = makeCopy("reserve-ABC123", nullptr, syncUuid_);
  ASSERT_EQ(add(addRequest(mine_->uuid(), placeholder->uuid(), peer_->uuid())).code(), pb::MsgCodeSyncAddResponse);
  const auto adopted = QoSyncdirCopy::getSyncdirCopyWithUuid(placeholder->uuid());
  EXPECT_EQ(adopted->device()->uuid(), peer_->uuid());
  EXPECT_EQ(adopted->path(), "reserve-ABC123");

  // A tree of one device is not paired as another device's.
  const auto stranger = remoteDevice("stranger");
  const Answer twoDevices = add(addRequest(mine_->uuid(), remoteTree, stranger->uuid()));
  EXPECT_EQ(twoDevices.errcode, pb::ErrorCodeGeneral);
  EXPECT_EQ(twoDevices.errstr, "QoExceptionZeGeneral: Exist syncdircopy(" + remoteTree +
                                   ") must belong to one device, but there are two now!!(" + peer_->uuid() + ")=>(" +
                                   stranger->uuid() + ")");
}

TEST_F(SyncPairRequestTest, RefusedPairings) {
  const auto theirs = makeCopy("/theirs", peer_, syncUuid_);
  const auto otherSync = makeCopy("/other-sync", peer_, QoUtils::generateUuid());
  const std::string unknown = QoUtils::generateUuid();
  // A slot kept for a copy a peer named, not yet on any device.
  const auto placeholder = makeCopy("reserve-1a2b", nullptr, syncUuid_);

  struct Case {
    const char* what;
    pb::MsgSyncAddRequest request;
    int errcode;
  };
  auto with = [&](const std::string& localTree, const std::string& remoteTree, const std::string& device,
                  const std::string& sync = {}) {
    auto request = addRequest(localTree, remoteTree, device);
    if (!sync.empty()) request.set_remote_sync_uuid(sync);
    return request;
  };
  const std::vector<Case> cases = {
      {"malformed local tree", with("x", unknown, peer_->uuid()), pb::ErrorCodeBadUuid},
      {"malformed device", with(mine_->uuid(), unknown, "x"), pb::ErrorCodeBadUuid},
      {"malformed sync", with(mine_->uuid(), unknown, peer_->uuid(), "x"), pb::ErrorCodeBadUuid},
      {"with itself", with(mine_->uuid(), mine_->uuid(), peer_->uuid()), pb::ErrorCodeSyncWithSelf},
      {"unknown local tree", with(unknown, theirs->uuid(), peer_->uuid()), pb::ErrorCodeBadTree},
      {"local tree on another device", with(theirs->uuid(), mine_->uuid(), local_->uuid()), pb::ErrorCodeBadTree},
      {"other sync folder", with(mine_->uuid(), unknown, peer_->uuid(), QoUtils::generateUuid()),
       pb::ErrorCodeSyncdirMismatch},
      {"unknown device", with(mine_->uuid(), unknown, QoUtils::generateUuid()), pb::ErrorCodeBadDevice},
      {"remote of another sync folder", with(mine_->uuid(), otherSync->uuid(), peer_->uuid()),
       pb::ErrorCodeSyncdirMismatch},
      // A folder of this device becomes a tree only by a tree add, which checks its root.
      {"new tree on this device", with(mine_->uuid(), unknown, local_->uuid()), pb::ErrorCodeBadTree},
      {"placeholder made a tree of this device", with(mine_->uuid(), placeholder->uuid(), local_->uuid()),
       pb::ErrorCodeBadTree},
  };
  for (const Case& c : cases) EXPECT_EQ(add(c.request).errcode, c.errcode) << c.what;
  EXPECT_TRUE(QoSyncdirCopyRelation::allObjects().empty());
  EXPECT_FALSE(QoSyncdirCopy::getSyncdirCopyWithUuid(unknown));
  EXPECT_FALSE(QoSyncdirCopy::getSyncdirCopyWithUuid(placeholder->uuid())->device());
  EXPECT_EQ(remove("x", unknown).errcode, pb::ErrorCodeBadUuid);
}

}  // namespace
}  // namespace velbor::test
