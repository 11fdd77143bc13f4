// A sync folder on a disk of its own that is not mounted when the device starts: its empty
// mount point must not read as every file removed, and the folder syncs again once mounted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "e2e/E2eNetwork.h"
#include "e2e/E2eSupport.h"
#include "e2e/PeerProcess.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

using E2eMountTest = E2eFixture;

constexpr int kFiles = 20;

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// An ext4 image mounted (loop) on a folder of this mount namespace; unmounted when it goes.
class LoopDisk {
 public:
  LoopDisk(const fs::path& image, const fs::path& at) : at_(at) {
    ready_ = shell(fmt::format("truncate -s 32M '{0}' && mkfs.ext4 -q -F '{0}' 2>/dev/null", image.string())) &&
             mount(image);
  }
  ~LoopDisk() { unmount(); }
  LoopDisk(const LoopDisk&) = delete;
  LoopDisk& operator=(const LoopDisk&) = delete;

  bool ready() const { return ready_; }
  bool mount(const fs::path& image) {
    mounted_ = shell(fmt::format("mount -o loop '{}' '{}'", image.string(), at_.string()));
    return mounted_;
  }
  bool unmount() {
    if (mounted_ && shell(fmt::format("umount '{}'", at_.string()))) mounted_ = false;
    return !mounted_;
  }

 private:
  fs::path at_;
  bool ready_ = false;
  bool mounted_ = false;
};

std::string fileName(int i) { return fmt::format("file-{}.txt", i); }
std::string fileContent(int i) { return fmt::format("content {}", i); }

bool allThere(const fs::path& folder) {
  for (int i = 0; i < kFiles; ++i) {
    if (!sameFile(folder / fileName(i), fileContent(i))) return false;
  }
  return true;
}

TEST_F(E2eMountTest, AnEmptyMountPointRemovesNothingAndTheFolderSyncsAgainOnceMounted) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const std::string homeA = home("a");
  const std::string homeB = home("b");
  const fs::path folderA = syncFolderIn(homeA);
  const fs::path folderB = syncFolderIn(homeB);
  const fs::path image = fs::path(homeA) / "disk.img";
  // The device's namespace takes the mounts there are when it starts.
  LoopDisk disk(image, folderA);
  if (!disk.ready()) GTEST_SKIP() << "no loop-mounted ext4 on this machine (loop devices or mkfs.ext4 missing)";

  const std::string logA = fs::path(homeA) / "peer.log";
  auto a = std::make_unique<PeerProcess>(network.host(0), homeA, with(portOptions(), {"--token", "one"}), logA);
  PeerProcess b(network.host(1), homeB, with(portOptions(), {"--token", "one", "--accept-trust"}));
  const std::string uuidA = a->uuid();
  ASSERT_TRUE(trustEachOther(*a, b));
  ASSERT_TRUE(a->command("pair " + folderA.string() + " " + b.uuid() + " " + folderB.string()).value("ok", false));
  for (int i = 0; i < kFiles; ++i) writeFile(folderA / fileName(i), fileContent(i));
  ASSERT_TRUE(eventually([&] { return allThere(folderB); })) << "the files never reached the second device";
  ASSERT_TRUE(usnSettles(*a));

  // Quit, the disk unmounted, started again: the folder is an empty one of the disk below.
  ASSERT_TRUE(a->command("quit").value("ok", false));
  EXPECT_EQ(a->waitExit(std::chrono::seconds(30)), 0);
  a.reset();
  ASSERT_TRUE(disk.unmount());
  ASSERT_TRUE(fs::is_empty(folderA));
  a = std::make_unique<PeerProcess>(network.host(0), homeA, with(portOptions(), {"--token", "one"}), logA);
  const auto missingAt = [&] { return fileText(logA).find("is missing or not the folder recorded"); };
  ASSERT_TRUE(eventually([&] { return missingAt() != std::string::npos; }))
      << "the empty mount point was not told apart";
  // The second device pulls from this one after it was found missing: nothing is removed.
  ASSERT_TRUE(eventually(
      [&] { return fileText(logA).find("handle Find Request message from usn", missingAt()) != std::string::npos; }));
  EXPECT_TRUE(usnSettles(*a));
  EXPECT_TRUE(allThere(folderB)) << "the second device removed files";
  EXPECT_TRUE(fs::is_empty(folderA)) << "nothing is written onto the disk below the mount point";

  // Mounted again where the device sees it: it resumes by itself, both ways.
  ASSERT_TRUE(
      shell(fmt::format("nsenter -t {} -m mount -o loop '{}' '{}'", a->pid(), image.string(), folderA.string())));
  const fs::path seenByA = fs::path(fmt::format("/proc/{}/root", a->pid())) / folderA.relative_path();
  ASSERT_TRUE(eventually([&] { return fileText(logA).find("is back, it syncs again") != std::string::npos; }));
  writeFile(seenByA / "after.txt", "after");
  EXPECT_TRUE(eventually([&] { return sameFile(folderB / "after.txt", "after"); }));
  writeFile(folderB / "from-b.txt", "from b");
  EXPECT_TRUE(eventually([&] { return sameFile(seenByA / "from-b.txt", "from b"); }));
  EXPECT_TRUE(allThere(folderB));
  EXPECT_TRUE(allThere(seenByA));
  ASSERT_TRUE(a->command("quit").value("ok", false));
  EXPECT_EQ(a->waitExit(std::chrono::seconds(30)), 0);
}

}  // namespace
}  // namespace velbor::test
