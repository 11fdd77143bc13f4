#include <chrono>
#include <future>

#include "EntityTestBase.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoException.h"
#include "framework/persistence/WriteTransaction.h"

namespace velbor::test {
namespace {

using QoDeviceTest = EntityTestBase;

TEST_F(QoDeviceTest, SaveInsertsUnderTheRightKeyAndUpdatesAfterwards) {
  auto local = device(0, "local-uuid");
  EXPECT_EQ(local->pk(), 0);
  auto remote = device(-1, "remote-uuid");
  EXPECT_GT(remote->pk(), 0);

  remote->setName("renamed");
  remote->setPubKey("");
  remote->save();
  auto loaded = QoDevice::getDeviceWithUuid("remote-uuid");
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->pk(), remote->pk());
  EXPECT_EQ(loaded->name(), "renamed");
  EXPECT_TRUE(loaded->pubKey().empty());
  EXPECT_EQ(column("SELECT count(*) FROM qo_device WHERE pub_key IS NULL"), std::vector<std::string>{"2"});
  EXPECT_EQ(QoDevice::getDeviceLocal()->uuid(), "local-uuid");
  EXPECT_EQ(QoDevice::getDeviceRemote().size(), 1u);
  EXPECT_EQ(QoDevice::getDeviceWithName("name-local-uuid")->pk(), 0);
  EXPECT_EQ(QoDevice::getDeviceWithName("it's"), nullptr);

  // uuid is unique: the writer alone raises.
  auto twin = std::make_shared<QoDevice>();
  twin->setUuid("remote-uuid");
  EXPECT_THROW(twin->save(), QoException);
  EXPECT_EQ(twin->pk(), -1);
}

TEST_F(QoDeviceTest, ChangeStatusSetsOnlyTheStatusAndOnlyFromTheGivenOnes) {
  auto remote = device(-1, "remote-uuid", 2);
  // Another writer renames it after this copy was read.
  auto other = QoDevice::getDeviceWithUuid("remote-uuid");
  other->setName("renamed meanwhile");
  other->setIsOnline(false);
  other->saveDiscovered();

  EXPECT_FALSE(QoDevice::changeStatus("remote-uuid", {0, 3}, 1)) << "status 2 is not one of those given";
  EXPECT_EQ(QoDevice::getDeviceWithUuid("remote-uuid")->status(), 2);
  EXPECT_TRUE(QoDevice::changeStatus("remote-uuid", {3, 2}, 1));
  auto loaded = QoDevice::getDeviceWithUuid("remote-uuid");
  EXPECT_EQ(loaded->status(), 1);
  EXPECT_EQ(loaded->name(), "renamed meanwhile");
  EXPECT_FALSE(loaded->isOnline());

  EXPECT_FALSE(QoDevice::changeStatus("absent-uuid", {0, 1, 2, 3}, 0));
  EXPECT_FALSE(QoDevice::changeStatus("remote-uuid", {}, 0));
  EXPECT_FALSE(QoDevice::changeStatus("x' OR 1=1 --", {1}, 0));
  EXPECT_EQ(QoDevice::getDeviceWithUuid("remote-uuid")->status(), 1);
}

TEST_F(QoDeviceTest, TypeNames) {
  EXPECT_EQ(QoDevice::getTypeString(3), "MacOS");
  EXPECT_EQ(QoDevice::getTypeString(2), "Android");
  EXPECT_EQ(QoDevice::getTypeString(6), "Unkown");
  EXPECT_EQ(QoDevice::getTypeString(-1), "Unkown");
}

TEST_F(QoDeviceTest, TimeOutStartsOneSecondAfterItsBoundary) {
  auto atBoundary = device(-1, "at-boundary");
  auto pastBoundary = device(-1, "past-boundary");
  // The query reads the clock itself: a round in which the second changed proves nothing.
  for (int round = 0; round < 10; ++round) {
    const int64_t now = QoUtils::timestampNow();
    atBoundary->setRegisterTime(now - 100);
    atBoundary->save();
    pastBoundary->setRegisterTime(now - 101);
    pastBoundary->save();
    const auto timedOut = QoDevice::getDeviceTimeOut(100);
    if (QoUtils::timestampNow() != now) continue;
    ASSERT_EQ(timedOut.size(), 1u);
    EXPECT_EQ(timedOut[0]->uuid(), "past-boundary") << "register time + time-out equal to now is not yet out";
    return;
  }
  GTEST_SKIP() << "the clock moved on in every round";
}

TEST_F(QoDeviceTest, GoingOfflineRemovesUntrustedDevicesWithTheirCopies) {
  device(0, "local");
  auto trusted = device(-1, "trusted", 1);
  auto asking = device(-1, "asking", 3);
  auto held = copy("/remote/dir", asking, "sync", "copy-uuid");

  QoDevice::setOnLineDevicesOffLine();

  auto kept = QoDevice::getDeviceWithUuid("trusted");
  ASSERT_NE(kept, nullptr);
  EXPECT_FALSE(kept->isOnline());
  EXPECT_EQ(QoDevice::getDeviceWithUuid("asking"), nullptr);
  EXPECT_TRUE(QoDevice::getDeviceLocal()->isOnline());
  auto orphan = QoSyncdirCopy::getSyncdirCopyWithUuid("copy-uuid");
  ASSERT_NE(orphan, nullptr) << "the copy row stays";
  EXPECT_EQ(orphan->device(), nullptr);
  EXPECT_EQ(column("SELECT device FROM qo_syncdir_copy"), std::vector<std::string>{"-1"});
  EXPECT_EQ(PersistentObject::transactionLevel(), 0);
}

// Going offline writes each device's whole row back. A list read before (the offline button
// reads the online devices first) must not undo what another writer changed since, or was
// changing then: a device removed with its copies stays removed, a trust agreed stays.
TEST_F(QoDeviceTest, GoingOfflineUndoesNoChangeMadeSinceTheListWasRead) {
  device(0, "local");
  auto removed = device(-1, "removed", 1);
  copy("/remote/dir", removed, "sync", "copy-uuid");
  device(-1, "agreed", 2);
  const QoDevice::List online = QoDevice::getDeviceRemoteOnline();
  ASSERT_EQ(online.size(), 2u);

  std::future<void> offline;
  {
    WriteTransaction transaction;
    for (const auto& held : QoDevice::getDeviceSyncdirCopys(removed->pk())) held->forceRemove();
    offline = std::async(std::launch::async, [&online] { QoDevice::setDevicesOffLine(online); });
    // Only gives a writer that does not wait the time to write over the half-made changes.
    offline.wait_for(std::chrono::milliseconds(500));
    removed->deleteObject();
    EXPECT_TRUE(QoDevice::changeStatus("agreed", {2}, 1));
    transaction.commit();
  }
  offline.get();
  EXPECT_EQ(QoDevice::getDeviceWithUuid("removed"), nullptr);
  auto agreed = QoDevice::getDeviceWithUuid("agreed");
  ASSERT_NE(agreed, nullptr);
  EXPECT_EQ(agreed->status(), 1);
  EXPECT_FALSE(agreed->isOnline());
}

}  // namespace
}  // namespace velbor::test
