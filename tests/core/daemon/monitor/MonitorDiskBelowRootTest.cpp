// A disk of a USB stick or a Windows machine mounted inside a copy whose own disk keeps
// permission bits: every item on it shows mode 0777 whatever chmod is told, and those bits
// must never be recorded. Learning this writes a probe on the stick, which must not itself
// look like a change there.
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "MonitorTestBase.h"
#include "core/entity/ModeKeeping.h"
#include "support/FuseDisk.h"

namespace velbor::test {
namespace {

class MonitorDiskBelowRootTest : public MonitorTestBase, public ::testing::WithParamInterface<FuseDisk::Kind> {
 protected:
  void SetUp() override {
    MonitorTestBase::SetUp();
    ModeKeeping::shared().clear();
    std::filesystem::create_directories(at("stick"));
    disk_ = std::make_unique<FuseDisk>(GetParam(), at("stick"));
    if (!disk_->mounted()) GTEST_SKIP() << disk_->reason();
  }
  void TearDown() override {
    disk_.reset();
    ModeKeeping::shared().clear();
    MonitorTestBase::TearDown();
  }

  // Ticks until no path waits for another look (one that changed while it was read).
  void settle() {
    tick();
    for (int round = 0; round < 5 && !changeSet().empty(); ++round) tick();
  }

  std::unique_ptr<FuseDisk> disk_;
};

TEST_P(MonitorDiskBelowRootTest, ModesTheStickShowsAreNeverRecordedAndItsProbesAreNoChange) {
  // Found by the rescan at the start.
  writeFile(at("stick/old.txt"), "there before");
  load();
  ASSERT_TRUE(recorded("stick/old.txt"));
  EXPECT_EQ(stored("stick")->unixAttr(), 0755) << "not the 0777 every item shows";
  EXPECT_EQ(stored("stick/old.txt")->unixAttr(), 0644);

  // Found by the monitor, with what it knows of the stick gone stale.
  ModeKeeping::shared().clear();
  writeFile(at("stick/new.txt"), "made here");
  std::filesystem::create_directories(at("stick/folder"));
  report({"stick", "stick/new.txt", "stick/folder"});
  settle();
  ASSERT_TRUE(recorded("stick/new.txt"));
  EXPECT_EQ(stored("stick/new.txt")->unixAttr(), 0644);
  EXPECT_EQ(stored("stick/folder")->unixAttr(), 0755);
  EXPECT_TRUE(temporaries().empty());

  // Probed again, in the folder holding a file and in a folder: nothing new to record. (The
  // monitor leaves a folder's time alone; a rescan records it first.)
  local_->refresh();
  const int64_t counter = usn();
  takeIndexed();
  for (const char* item : {"stick/new.txt", "stick/folder"}) {
    ModeKeeping::shared().clear();
    report({item});
    settle();
    takeIndexed();
    report({"stick", "stick/folder"});
    settle();
    EXPECT_EQ(usn(), counter) << "probed for " << item;
    EXPECT_TRUE(temporaries().empty());
    EXPECT_EQ(takeIndexed(), std::vector<std::string>{}) << "no notice of files updated, probed for " << item;
  }
  // Nor does a rescan, which compares the times of folders too, after a probe of its own.
  ModeKeeping::shared().clear();
  local_->refresh();
  local_->refresh();
  EXPECT_EQ(usn(), counter) << "probed by a rescan";
  EXPECT_TRUE(temporaries().empty());
  EXPECT_EQ(stored("stick")->unixAttr(), 0755);
}

INSTANTIATE_TEST_SUITE_P(Disks, MonitorDiskBelowRootTest,
                         ::testing::Values(FuseDisk::Kind::Exfat, FuseDisk::Kind::Ntfs),
                         [](const ::testing::TestParamInfo<FuseDisk::Kind>& info) {
                           return info.param == FuseDisk::Kind::Exfat ? std::string("Exfat") : std::string("Ntfs");
                         });

}  // namespace
}  // namespace velbor::test
