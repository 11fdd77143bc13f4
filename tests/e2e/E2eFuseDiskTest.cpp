// A device whose sync folder is on a USB stick's disk, through the FUSE drivers Debian ships
// (exFAT, NTFS): no rename flags, every item shown 0777 with chmod ignored, exFAT in whole
// seconds. Edits must arrive there, and what arrives must never come back, with the disk's
// times and modes, to change the files of the device they came from.
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/E2eNetwork.h"
#include "e2e/E2eSupport.h"
#include "e2e/PeerProcess.h"
#include "support/FuseDisk.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kOwnSeconds = 1600000000;
constexpr long kOwnNanoseconds = 123000000;

class E2eFuseDiskTest : public E2eFixture, public ::testing::WithParamInterface<FuseDisk::Kind> {};

void setOwnTimeAndMode(const fs::path& path, mode_t mode, int64_t seconds = kOwnSeconds) {
  ::chmod(path.c_str(), mode);
  const timespec times[2] = {{seconds, 0}, {seconds, kOwnNanoseconds}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

int64_t secondsOf(const fs::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mtim.tv_sec : 0;
}

// The file still has the time and mode its own device gave it.
::testing::AssertionResult untouched(const fs::path& path, mode_t mode, int64_t seconds = kOwnSeconds) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return ::testing::AssertionFailure() << path << " is gone";
  if ((status.st_mode & 07777) != mode || status.st_mtim.tv_sec != seconds ||
      status.st_mtim.tv_nsec != kOwnNanoseconds) {
    return ::testing::AssertionFailure() << path << " has mode " << std::oct << (status.st_mode & 07777) << std::dec
                                         << " and time " << status.st_mtim.tv_sec << "." << status.st_mtim.tv_nsec;
  }
  return ::testing::AssertionSuccess();
}

TEST_P(E2eFuseDiskTest, EditsArriveAndNothingComesBackToChangeTheOtherDevicesFiles) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const auto [homeA, homeB, folderA, folderB] = twoHomes();
  // Mounted before the device starts: its namespace takes the mounts there are then.
  FuseDisk disk(GetParam(), folderB.string());
  if (!disk.mounted()) GTEST_SKIP() << disk.reason();

  writeFile(folderA / "own.txt", "mine");
  setOwnTimeAndMode(folderA / "own.txt", 0640);
  writeFile(folderA / "edit.txt", "first");
  setOwnTimeAndMode(folderA / "edit.txt", 0600);
  PeerProcess a(network.host(0), homeA, with(portOptions(), {"--token", "one"}));
  PeerProcess b(network.host(1), homeB, with(portOptions(), {"--token", "one", "--accept-trust"}));
  ASSERT_TRUE(trustEachOther(a, b));
  ASSERT_TRUE(pairFolder(a, folderA, b.uuid(), folderB));
  ASSERT_TRUE(eventually([&] {
    return sameFile(folderB / "own.txt", "mine") && sameFile(folderB / "edit.txt", "first");
  })) << "the files never reached the disk";

  writeFile(folderA / "edit.txt", "second, and longer");
  EXPECT_TRUE(eventually([&] { return sameFile(folderB / "edit.txt", "second, and longer"); }))
      << "the edit of a file that stands there never arrived";
  writeFile(folderB / "made there.txt", "on the stick");
  EXPECT_TRUE(eventually([&] { return sameFile(folderA / "made there.txt", "on the stick"); }));

  ASSERT_TRUE(usnSettles(b));
  ASSERT_TRUE(usnSettles(a));
  EXPECT_TRUE(untouched(folderA / "own.txt", 0640));
  EXPECT_EQ(permsOf(folderA / "edit.txt"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(permsOf(folderA / "made there.txt"),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read)
      << "not the 0777 the stick shows for every file";
  EXPECT_TRUE(sameFile(folderA / "edit.txt", "second, and longer"));

  // A new time given on the first device reaches the stick, and stays on the first device.
  constexpr int64_t kTouched = kOwnSeconds + 1000;
  setOwnTimeAndMode(folderA / "own.txt", 0640, kTouched);
  EXPECT_TRUE(eventually([&] { return secondsOf(folderB / "own.txt") == kTouched; }));
  ASSERT_TRUE(usnSettles(b));
  ASSERT_TRUE(usnSettles(a));
  EXPECT_TRUE(untouched(folderA / "own.txt", 0640, kTouched));

  EXPECT_TRUE(a.command("quit").value("ok", false));
  EXPECT_TRUE(b.command("quit").value("ok", false));
  EXPECT_EQ(a.waitExit(std::chrono::seconds(30)), 0);
  EXPECT_EQ(b.waitExit(std::chrono::seconds(30)), 0);
}

// The names a folder lists (hidden ones left out): the spelling the disk holds, which a look-up
// of another spelling on a disk that ignores letter case does not tell.
std::set<std::string> namesIn(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.front() != '.') names.insert(name);
  }
  return names;
}

// Renames that change only the letter case of a file or a folder, made on either device, one
// of them on an exFAT stick: each item ends under its new name on both, and none is lost.
TEST_P(E2eFuseDiskTest, RenamesThatChangeOnlyLetterCaseKeepEveryFile) {
  if (GetParam() != FuseDisk::Kind::Exfat) GTEST_SKIP() << "ntfs-3g keeps names apart by case";
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const auto [homeA, homeB, folderA, folderB] = twoHomes();
  FuseDisk disk(GetParam(), folderB.string());
  if (!disk.mounted()) GTEST_SKIP() << disk.reason();

  struct Case {
    bool onStick;  // renamed on the exFAT device
    std::string from;
    std::string to;
    std::string inside;  // a folder's file; empty for a file
    std::string nested;  // a folder's subfolder, holding a file named as `inside`; may be empty
    bool edited;         // the file inside rewritten right after the rename
    std::string made;    // a file made in the folder on the other device right after, under the old name
  };
  const std::vector<Case> cases = {{false, "Report0.txt", "report0.txt", "", "", false, ""},
                                   {false, "Album", "album", "one.jpg", "", false, ""},
                                   {true, "Notes0.txt", "notes0.txt", "", "", false, ""},
                                   {true, "Photos", "photos", "two.jpg", "", false, ""},
                                   {false, "Drafts", "drafts", "three.txt", "Part", true, ""},
                                   {true, "Papers", "papers", "four.txt", "Old", true, ""},
                                   {true, "Letters", "letters", "five.txt", "", false, "six.txt"}};
  const auto itemOf = [](const fs::path& folder, const Case& item, const std::string& name) {
    return item.inside.empty() ? folder / name : folder / name / item.inside;
  };
  const auto contentOf = [](const Case& item, bool renamed) {
    return renamed && item.edited ? "edited " + item.from : item.from;
  };
  for (const Case& item : cases) {
    const fs::path folder = item.onStick ? folderB : folderA;
    if (!item.inside.empty()) fs::create_directory(folder / item.from);
    if (!item.nested.empty()) {
      fs::create_directory(folder / item.from / item.nested);
      writeFile(folder / item.from / item.nested / item.inside, item.from);
    }
    writeFile(itemOf(folder, item, item.from), item.from);
  }
  PeerProcess a(network.host(0), homeA, with(portOptions(), {"--token", "one"}));
  PeerProcess b(network.host(1), homeB, with(portOptions(), {"--token", "one", "--accept-trust"}));
  ASSERT_TRUE(trustEachOther(a, b));
  ASSERT_TRUE(pairFolder(a, folderA, b.uuid(), folderB));
  // Every item under its old or its new name, and nothing else, on both devices.
  const auto everywhere = [&](bool renamed) {
    std::set<std::string> names;
    for (const Case& item : cases) names.insert(renamed ? item.to : item.from);
    for (const fs::path& folder : {folderA, folderB}) {
      if (namesIn(folder) != names) return false;
      for (const Case& item : cases) {
        const std::string& name = renamed ? item.to : item.from;
        std::set<std::string> inside{item.inside};
        if (renamed && !item.made.empty()) {
          inside.insert(item.made);
          if (!sameFile(folder / name / item.made, item.made)) return false;
        }
        if (!item.nested.empty()) {
          inside.insert(item.nested);
          if (!sameFile(folder / name / item.nested / item.inside, item.from)) return false;
        }
        if (!item.inside.empty() && namesIn(folder / name) != inside) return false;
        if (!sameFile(itemOf(folder, item, name), contentOf(item, renamed))) return false;
      }
    }
    return true;
  };
  const auto renamedEverywhere = [&] { return everywhere(true); };
  ASSERT_TRUE(eventually([&] { return everywhere(false); }));
  ASSERT_TRUE(usnSettles(a));
  ASSERT_TRUE(usnSettles(b));

  for (const Case& item : cases) {
    const fs::path folder = item.onStick ? folderB : folderA;
    fs::rename(folder / item.from, folder / item.to);
    if (item.edited) writeFile(itemOf(folder, item, item.to), contentOf(item, true));
    if (!item.made.empty()) writeFile((item.onStick ? folderA : folderB) / item.from / item.made, item.made);
  }
  EXPECT_TRUE(eventually(renamedEverywhere))
      << ::testing::PrintToString(namesIn(folderA)) << ::testing::PrintToString(namesIn(folderB));
  // Nothing removed, or brought back, once both have compared what they hold.
  EXPECT_TRUE(usnSettles(b));
  EXPECT_TRUE(usnSettles(a));
  EXPECT_TRUE(renamedEverywhere()) << ::testing::PrintToString(namesIn(folderA))
                                   << ::testing::PrintToString(namesIn(folderB));

  EXPECT_TRUE(a.command("quit").value("ok", false));
  EXPECT_TRUE(b.command("quit").value("ok", false));
  EXPECT_EQ(a.waitExit(std::chrono::seconds(30)), 0);
  EXPECT_EQ(b.waitExit(std::chrono::seconds(30)), 0);
}

INSTANTIATE_TEST_SUITE_P(Disks, E2eFuseDiskTest, ::testing::Values(FuseDisk::Kind::Exfat, FuseDisk::Kind::Ntfs),
                         [](const ::testing::TestParamInfo<FuseDisk::Kind>& info) {
                           return info.param == FuseDisk::Kind::Exfat ? std::string("Exfat") : std::string("Ntfs");
                         });

}  // namespace
}  // namespace velbor::test
