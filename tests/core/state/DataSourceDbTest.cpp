#include "core/state/DataSource.h"

#include <memory>

#include <gtest/gtest.h>

#include "core/entity/QoDevice.h"
#include "core/entity/QoFeedback.h"
#include "core/entity/QoFile.h"
#include "platform/UserDefaults.h"
#include "support/FreshState.h"

namespace velbor {
namespace {

class DataSourceDbTest : public test::FreshStateTest {
 protected:
  DataSource& ds() { return DataSource::sharedDataSource(); }

  static void addFile(const std::string& path, int64_t usn) {
    auto file = std::make_shared<QoFile>();
    file->setPath(path);
    file->setUsn(usn);
    file->save();
  }

  static void addDevice(int32_t pk, const std::string& uuid) {
    auto device = std::make_shared<QoDevice>();
    if (pk >= 0) device->setPkPublic(pk);
    device->setUuid(uuid);
    device->save();
  }
};

TEST_F(DataSourceDbTest, UsnNeverFallsBelowTheHighestStoredUsn) {
  ds().dbCheck();
  addFile("/sync/a", 500);
  addFile("/sync/b", 20);
  // The settings file was lost: the counter starts again from nothing.
  ds().resetUsn();
  restart();

  ds().dbCheck();
  EXPECT_EQ(ds().getCurrentUsn(), 500);
  EXPECT_EQ(ds().getAutoUsn(), 501);

  // A counter already ahead of the records stays where it is.
  for (int i = 0; i < 5; ++i) ds().getAutoUsn();
  ds().dbCheck();
  EXPECT_EQ(ds().getCurrentUsn(), 506);
}

TEST_F(DataSourceDbTest, DbClearKeepsLocalDeviceFeedbackAndUserInterfaceState) {
  ds().dbCheck();
  addDevice(0, "local-uuid");
  addDevice(-1, "remote-uuid");
  auto feedback = std::make_shared<QoFeedback>();
  feedback->setName("me");
  feedback->setMessage("hello");
  feedback->save();
  addFile("/sync/a", 3);
  ds().getAutoUsn();
  ds().setSyncdirCopyMaxUsnWithRelationKey("AAAAAA-BBBBBB", 9);
  ds().setSegmentControl(0, true);
  ds().setSyncdirCopyRelationFailedUsn("AAAAAA-BBBBBB", 4);
  ds().appendSyncOnceQueue(1);

  ds().dbClear();

  auto devices = QoDevice::allObjects();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices.front()->uuid(), "local-uuid");
  EXPECT_EQ(QoFeedback::allObjects().size(), 1u);
  EXPECT_TRUE(QoFile::allObjects().empty());

  auto suite = UserDefaults::suiteNamed("DataSource");
  EXPECT_FALSE(suite->hasKey("usn"));
  EXPECT_FALSE(suite->hasKey("syncdirCopyMaxUsn-AAAAAA-BBBBBB"));
  EXPECT_TRUE(ds().isSegmentControlInited());
  EXPECT_EQ(ds().getSyncdirCopyRelationFailedUsn("AAAAAA-BBBBBB"), 4);
  EXPECT_TRUE(ds().hasAnySyncOnceRequest(1));
}

}  // namespace
}  // namespace velbor
