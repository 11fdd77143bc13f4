// Learning whether a file system keeps permission bits, by a probe that must leave the folder
// it is made in as it found it.
#include "core/entity/ModeKeeping.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/entity/TmpFileName.h"
#include "support/FuseDisk.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  return names;
}

struct stat statusOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status;
}

void setTimes(const std::string& path, timespec time) {
  const timespec times[2] = {time, time};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// The name a probe in `folder` takes, as a run killed in the middle of one leaves it.
std::string leaveProbeFile(const std::string& folder) {
  const std::string name = TmpFileName(folder + "/.permissions").path();
  writeFile(name, "left by a run that was killed");
  return name;
}

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// An empty read-only disk mounted over a folder while in scope.
struct ReadOnlyDisk {
  explicit ReadOnlyDisk(std::string at) : folder(std::move(at)) {
    mounted = ::mount("tmpfs", folder.c_str(), "tmpfs", MS_RDONLY, "size=64k") == 0;
  }
  ~ReadOnlyDisk() {
    if (mounted) ::umount2(folder.c_str(), MNT_DETACH);
  }
  ReadOnlyDisk(const ReadOnlyDisk&) = delete;
  ReadOnlyDisk& operator=(const ReadOnlyDisk&) = delete;

  std::string folder;
  bool mounted = false;
};

class ModeKeepingTest : public ::testing::Test {
 protected:
  void SetUp() override { ModeKeeping::shared().clear(); }
  void TearDown() override { ModeKeeping::shared().clear(); }

  TempDir dir_{"velbor-modes"};
};

TEST_F(ModeKeepingTest, AProbeLeavesNoEntryAndGivesTheFolderItsTimesBack) {
  const std::string folder = (dir_ / "folder").string();
  fs::create_directory(folder);
  const timespec old{1500000000, 123456789};
  setTimes(folder, old);
  ModeKeeping::shared().learnAt(folder);
  EXPECT_TRUE(namesIn(folder).empty());
  EXPECT_TRUE(sameTime(statusOf(folder).st_mtim, old)) << "the probe looks like a change of the folder";
  EXPECT_TRUE(ModeKeeping::shared().keepsModes(statusOf(folder).st_dev));

  // A probe file left behind is taken away, and is no reason not to probe.
  ModeKeeping::shared().clear();
  leaveProbeFile(folder);
  setTimes(folder, old);
  ModeKeeping::shared().learnAt(folder);
  EXPECT_TRUE(namesIn(folder).empty());
  EXPECT_TRUE(sameTime(statusOf(folder).st_mtim, old));
}

// A folder where no probe can be made (a read-only disk, a full one): what was last learned of
// its file system stands, however old, rather than every mode it shows.
TEST_F(ModeKeepingTest, TheLastAnswerStandsWhileNoProbeCanTell) {
  const std::string folder = (dir_ / "read-only").string();
  fs::create_directory(folder);
  const ReadOnlyDisk disk(folder);
  if (!disk.mounted) GTEST_SKIP() << "a read-only tmpfs cannot be mounted here (needs root)";
  const dev_t device = statusOf(folder).st_dev;
  const auto longAgo = ModeKeeping::Clock::now() - ModeKeeping::kLifetime - std::chrono::minutes(1);
  ModeKeeping::shared().noteInstalled(device, 0640, 0777, longAgo);
  ModeKeeping::shared().learnAt(folder);
  EXPECT_FALSE(ModeKeeping::shared().keepsModes(device));
}

class ModeKeepingOnFuseDiskTest : public ModeKeepingTest, public ::testing::WithParamInterface<FuseDisk::Kind> {
 protected:
  void SetUp() override {
    ModeKeepingTest::SetUp();
    fs::create_directory(stick_);
    disk_ = std::make_unique<FuseDisk>(GetParam(), stick_);
    if (!disk_->mounted()) GTEST_SKIP() << disk_->reason();
  }
  void TearDown() override {
    disk_.reset();
    ModeKeepingTest::TearDown();
  }

  const std::string stick_ = (dir_ / "stick").string();
  std::unique_ptr<FuseDisk> disk_;
};

TEST_P(ModeKeepingOnFuseDiskTest, ADiskThatShowsOneModeForAllIsToldEvenWithAProbeFileLeftOnIt) {
  const std::string folder = stick_ + "/folder";
  fs::create_directory(folder);
  leaveProbeFile(folder);
  setTimes(folder, timespec{1500000000, 0});
  const struct stat before = statusOf(folder);
  ModeKeeping::shared().learnAt(folder);
  EXPECT_FALSE(ModeKeeping::shared().keepsModes(before.st_dev));
  EXPECT_TRUE(namesIn(folder).empty());
  EXPECT_TRUE(sameTime(statusOf(folder).st_mtim, before.st_mtim));
}

INSTANTIATE_TEST_SUITE_P(Disks, ModeKeepingOnFuseDiskTest,
                         ::testing::Values(FuseDisk::Kind::Exfat, FuseDisk::Kind::Ntfs),
                         [](const ::testing::TestParamInfo<FuseDisk::Kind>& info) {
                           return info.param == FuseDisk::Kind::Exfat ? std::string("Exfat") : std::string("Ntfs");
                         });

}  // namespace
}  // namespace velbor::test
