// The classifier on the disks of USB sticks and Windows machines, through the FUSE drivers
// Debian ships: every item shows mode 0777 and chmod is ignored, exFAT keeps whole seconds.
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "MonitorTestBase.h"
#include "core/entity/ModeKeeping.h"
#include "core/entity/OwnInstalls.h"
#include "core/entity/RecordedStates.h"
#include "core/entity/SyncdirMark.h"
#include "support/FuseDisk.h"

namespace velbor::test {
namespace {

class MonitorFuseDiskTest : public FuseDiskMonitorTestBase, public ::testing::WithParamInterface<FuseDisk::Kind> {
 protected:
  void SetUp() override {
    MonitorTestBase::SetUp();
    mountDisk(GetParam());
  }
};

TEST_P(MonitorFuseDiskTest, ModesThatTheDiskDoesNotKeepAreNeverRecordedNorAnInstallTakenForAChange) {
  load();
  writeFile(at("new.txt"), "made here");
  std::filesystem::create_directories(at("folder"));
  report({"new.txt", "folder"});
  tick();
  ASSERT_TRUE(recorded("new.txt"));
  EXPECT_EQ(stored("new.txt")->unixAttr(), 0644) << "not the 0777 every file shows";
  EXPECT_EQ(stored("folder")->unixAttr(), 0755);

  auto edit = incoming(
      "new.txt",
      Incoming().content("edited there").download("edited there").permissions(0750).clock(std::vector<uint64_t>{1, 3}));
  ASSERT_TRUE(edit->handleFetchEvent(EventUpdateFile));
  ASSERT_EQ(readFile(at("new.txt")), "edited there");
  const int64_t installedUsn = stored("new.txt")->usn();
  const int64_t counter = usn();
  report({"new.txt"});
  tick();
  // Its event again once the monitor no longer knows the install for its own.
  OwnInstalls::shared().clear();
  RecordedStates::shared().clear();
  report({"new.txt", "folder"});
  tick();
  EXPECT_EQ(usn(), counter) << "nothing recorded as a local change";
  EXPECT_EQ(stored("new.txt")->usn(), installedUsn);
  EXPECT_EQ(stored("new.txt")->unixAttr(), 0750);
  EXPECT_EQ(storedClock("new.txt"), "1|3");
}

// Renamed on the stick in letter case only: the old spelling still answers a look-up, yet
// the folder lists the new one. The old name is recorded removed, the new one present.
TEST_P(MonitorFuseDiskTest, ARenameInLetterCaseOnlyIsRecordedAsTheFolderListsIt) {
  if (GetParam() != FuseDisk::Kind::Exfat) GTEST_SKIP() << "ntfs-3g keeps names apart by case";
  load();
  writeFile(at("Notes0.txt"), "notes");
  std::filesystem::create_directories(at("Photos"));
  writeFile(at("Photos/two.jpg"), "two");
  report({"Notes0.txt", "Photos", "Photos/two.jpg"});
  tick();
  ASSERT_TRUE(recorded("Photos/two.jpg"));
  std::filesystem::rename(at("Notes0.txt"), at("notes0.txt"));
  std::filesystem::rename(at("Photos"), at("photos"));
  report({"Notes0.txt", "notes0.txt", "Photos", "photos"});
  tick();
  for (const char* gone : {"Notes0.txt", "Photos", "Photos/two.jpg"}) EXPECT_EQ(stored(gone)->status(), 1) << gone;
  for (const char* there : {"notes0.txt", "photos", "photos/two.jpg"}) EXPECT_TRUE(recorded(there)) << there;
}

INSTANTIATE_TEST_SUITE_P(Disks, MonitorFuseDiskTest, ::testing::Values(FuseDisk::Kind::Exfat, FuseDisk::Kind::Ntfs),
                         [](const ::testing::TestParamInfo<FuseDisk::Kind>& info) {
                           return info.param == FuseDisk::Kind::Exfat ? std::string("Exfat") : std::string("Ntfs");
                         });

}  // namespace
}  // namespace velbor::test
