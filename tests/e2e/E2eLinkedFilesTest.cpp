// A file with several names (hard links) on one device: a change made through any of its
// names reaches every name on the other device, and the devices settle.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "e2e/E2eNetwork.h"
#include "e2e/E2eSupport.h"
#include "e2e/PeerProcess.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using E2eLinkedFilesTest = E2eFixture;

void append(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << text;
}

bool executable(const fs::path& path) { return (permsOf(path) & fs::perms::owner_exec) != fs::perms::none; }

TEST_F(E2eLinkedFilesTest, AChangeThroughAnyNameReachesEveryNameOnThePeer) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const auto [homeA, homeB, folderA, folderB] = twoHomes();
  PeerProcess a(network.host(0), homeA, with(portOptions(), {"--token", "one"}));
  PeerProcess b(network.host(1), homeB, with(portOptions(), {"--token", "one", "--accept-trust"}));
  ASSERT_TRUE(trustEachOther(a, b));
  ASSERT_TRUE(pairFolder(a, folderA, b.uuid(), folderB));

  // Three names on a: two in the folder, one outside it.
  writeFile(folderA / "f.txt", "one file");
  fs::create_directories(folderA / "d");
  ASSERT_EQ(::link((folderA / "f.txt").c_str(), (folderA / "d" / "g.txt").c_str()), 0);
  ASSERT_EQ(::link((folderA / "f.txt").c_str(), (fs::path(homeA) / "outside.txt").c_str()), 0);
  ASSERT_TRUE(eventually([&] { return sameFile(folderB / "d" / "g.txt", "one file"); }));

  append(folderA / "f.txt", ", appended");
  EXPECT_TRUE(eventually([&] {
    return sameFile(folderB / "f.txt", "one file, appended") && sameFile(folderB / "d" / "g.txt", "one file, appended");
  })) << "through a name in the folder";

  append(fs::path(homeA) / "outside.txt", ", from outside");
  const std::string outside = "one file, appended, from outside";
  EXPECT_TRUE(eventually([&] {
    return sameFile(folderB / "f.txt", outside) && sameFile(folderB / "d" / "g.txt", outside);
  })) << "through the name outside";

  // New permissions for one name on b: the pull on a sets them on the file, and so for every
  // name there, which b then takes for its other name as well.
  ASSERT_TRUE(eventually([&] { return sameFile(folderB / "f.txt", outside); }));
  fs::permissions(folderB / "f.txt", fs::perms::owner_exec, fs::perm_options::add);
  EXPECT_TRUE(eventually([&] { return executable(folderA / "d" / "g.txt"); })) << "set by a pull on a";
  EXPECT_TRUE(eventually([&] { return executable(folderB / "d" / "g.txt"); })) << "passed back to b";
  EXPECT_TRUE(usnSettles(a));
  EXPECT_TRUE(usnSettles(b));
  EXPECT_TRUE(sameFile(folderA / "d" / "g.txt", outside));
  EXPECT_TRUE(sameFile(folderB / "d" / "g.txt", outside));
}

}  // namespace
}  // namespace velbor::test
