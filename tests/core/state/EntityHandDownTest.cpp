// Alone in its test program: it sees the process before any shared state exists.
#include <memory>

#include <gtest/gtest.h>

#include "core/entity/CopyEvents.h"
#include "core/entity/EntitySettings.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/UsnSource.h"
#include "core/state/CopyEventNotices.h"
#include "framework/errors/QoException.h"
#include "support/FreshState.h"

namespace velbor::test {
namespace {

bool postsNotices() { return std::dynamic_pointer_cast<CopyEventNotices>(CopyEvents::installed()) != nullptr; }

TEST(EntityHandDownTest, TheFirstSharedStateHandsEverythingDownAndResetsHoldFromTheNextCall) {
  QoFile file;
  {
    TempHome home;
    EXPECT_THROW(file.setUsnAuto(), QoException) << "nothing handed down before any shared state";
    EXPECT_FALSE(postsNotices());
    EXPECT_EQ(EntitySettings::installed().deviceUuid(), "");

    // Touching only QoConfig hands the usn counter and the notices down too: an entity takes
    // its usn from the DataSource as it did when it asked for it itself.
    QoConfig& config = QoConfig::sharedQoConfig();
    EXPECT_TRUE(postsNotices());
    file.setUsnAuto();
    EXPECT_EQ(file.usn(), 1);
    EXPECT_EQ(DataSource::sharedDataSource().getCurrentUsn(), 1);
    UsnSource::installed().setSyncdirCopyRelationFailedUsn("pairing", 9);
    EXPECT_EQ(DataSource::sharedDataSource().getSyncdirCopyRelationFailedUsn("pairing"), 9);

    config.setDeviceUuid("first");
    config.setSyncHiddenFile(true);
    QoDevice device;
    device.setUuid("first");
    EXPECT_TRUE(device.isLocalDevice());
    EXPECT_TRUE(EntitySettings::installed().syncHiddenFile());
    file.setUsnAuto();
    EXPECT_EQ(file.usn(), 2);
    resetSharedState();
  }
  // A fresh home and fresh singletons: the entities reach the new ones.
  TempHome home;
  DataSource::sharedDataSource().dbCheck();
  file.setUsnAuto();
  EXPECT_EQ(file.usn(), 1);
  QoDevice device;
  device.setUuid("first");
  EXPECT_FALSE(device.isLocalDevice());
  EXPECT_FALSE(EntitySettings::installed().syncHiddenFile());
  QoConfig::sharedQoConfig().setDeviceUuid("first");
  EXPECT_TRUE(device.isLocalDevice());
  EXPECT_TRUE(postsNotices());
  resetSharedState();
}

}  // namespace
}  // namespace velbor::test
