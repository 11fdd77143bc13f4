// Devices as separate processes in network namespaces, each a velbor_test_peer with its own
// HOME, checked only through the peer's command interface and the files on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "e2e/E2eNetwork.h"
#include "e2e/E2eSupport.h"
#include "e2e/PeerProcess.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using E2eTest = E2eFixture;

// Changes made in `from` reach `to` without any sync command.
void expectChangesFlow(const fs::path& from, const fs::path& to, const std::string& tag) {
  writeFile(from / (tag + ".txt"), "created " + tag);
  EXPECT_TRUE(eventually([&] { return sameFile(to / (tag + ".txt"), "created " + tag); })) << tag << ": create";

  writeFile(from / (tag + ".txt"), "edited " + tag + " and longer");
  EXPECT_TRUE(eventually([&] { return sameFile(to / (tag + ".txt"), "edited " + tag + " and longer"); }))
      << tag << ": edit";

  fs::permissions(from / (tag + ".txt"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec);
  EXPECT_TRUE(eventually([&] { return (permsOf(to / (tag + ".txt")) & fs::perms::owner_exec) != fs::perms::none; }))
      << tag << ": chmod";

  fs::rename(from / (tag + ".txt"), from / (tag + "-renamed.txt"));
  EXPECT_TRUE(eventually([&] {
    return sameFile(to / (tag + "-renamed.txt"), "edited " + tag + " and longer") && !fs::exists(to / (tag + ".txt"));
  })) << tag
      << ": rename";

  fs::create_directories(from / (tag + "-dir") / "inner");
  writeFile(from / (tag + "-dir") / "inner" / "a.txt", "in a folder");
  EXPECT_TRUE(eventually([&] { return sameFile(to / (tag + "-dir") / "inner" / "a.txt", "in a folder"); }))
      << tag << ": folder";
  fs::rename(from / (tag + "-dir"), from / (tag + "-moved"));
  EXPECT_TRUE(eventually([&] {
    return sameFile(to / (tag + "-moved") / "inner" / "a.txt", "in a folder") && !fs::exists(to / (tag + "-dir"));
  })) << tag
      << ": folder move";

  fs::remove(from / (tag + "-renamed.txt"));
  EXPECT_TRUE(eventually([&] { return !fs::exists(to / (tag + "-renamed.txt")); })) << tag << ": delete";
}

TEST_F(E2eTest, APortInUseFailsTheStartAndQuitEndsCleanly) {
  E2eNetwork network(1);
  ASSERT_TRUE(network.ready());
  PeerProcess first(network.host(0), home("a"), with(portOptions(), {"--name", "alpha"}));
  ASSERT_TRUE(first.readyLine().is_object()) << "no ready line";
  EXPECT_TRUE(first.readyLine().value("ready", false));
  EXPECT_EQ(first.command("info").value("name", ""), "alpha");

  // Same ports in the same namespace: the second cannot serve and says so.
  PeerProcess second(network.host(0), home("b"), portOptions());
  ASSERT_TRUE(second.readyLine().is_object());
  EXPECT_FALSE(second.readyLine().value("ok", true));
  EXPECT_NE(second.waitExit(std::chrono::seconds(30)), 0);

  EXPECT_TRUE(first.command("quit").value("ok", false));
  EXPECT_EQ(first.waitExit(std::chrono::seconds(30)), 0);
}

TEST_F(E2eTest, TwoFoldersPairedOnOneDeviceStayInStepWithoutSync) {
  E2eNetwork network(1);
  ASSERT_TRUE(network.ready());
  const std::string device = home("a");
  const fs::path left = fs::path(device) / "left";
  const fs::path right = fs::path(device) / "right";
  fs::create_directories(left);
  fs::create_directories(right);
  PeerProcess peer(network.host(0), device, portOptions());
  ASSERT_FALSE(peer.uuid().empty());
  ASSERT_TRUE(pairFolder(peer, left, peer.uuid(), right));

  expectChangesFlow(left, right, "left");
  expectChangesFlow(right, left, "right");
  EXPECT_TRUE(usnSettles(peer));
}

TEST_F(E2eTest, SameTokenDevicesFindEachOtherAndTrust) {
  E2eNetwork network(3);
  ASSERT_TRUE(network.ready());
  PeerProcess a(network.host(0), home("a"), with(portOptions(), {"--token", "one", "--name", "a"}));
  PeerProcess b(network.host(1), home("b"), with(portOptions(), {"--token", "one", "--name", "b", "--accept-trust"}));
  PeerProcess c(network.host(2), home("c"), with(portOptions(), {"--token", "two", "--name", "c"}));
  ASSERT_FALSE(a.uuid().empty());
  ASSERT_FALSE(b.uuid().empty());
  ASSERT_FALSE(c.uuid().empty());

  EXPECT_TRUE(eventually([&] { return listed(deviceIn(a, b.uuid())) && listed(deviceIn(b, a.uuid())); }));
  EXPECT_TRUE(!listed(deviceIn(a, c.uuid())));
  EXPECT_TRUE(!listed(deviceIn(b, c.uuid())));
  EXPECT_TRUE(!listed(deviceIn(c, a.uuid())));

  json offer = a.command("trust " + b.uuid());
  EXPECT_EQ(offer.value("result", ""), "accepted") << offer.dump();
  EXPECT_EQ(deviceIn(a, b.uuid()).value("status", -1), 1);
  EXPECT_TRUE(eventually([&] { return deviceIn(b, a.uuid()).value("status", -1) == 1; }));
}

// A device that no longer trusts its peer (a distrust it sent while the peer was away never
// arrived) offers anew: the peer, which still trusts it, answers with an agreement at once,
// and both trust each other again, the peer's own trust untouched.
TEST_F(E2eTest, AnOfferToADeviceThatStillTrustsThisOnePairsAgainAtOnce) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  PeerProcess a(network.host(0), home("a"), with(portOptions(), {"--token", "one", "--name", "a"}));
  PeerProcess b(network.host(1), home("b"), with(portOptions(), {"--token", "one", "--name", "b", "--accept-trust"}));
  ASSERT_TRUE(trustEachOther(a, b));

  // Answered: an offer left unanswered runs out as "timeout", and its withdrawal follows.
  json again = b.command("trust " + a.uuid());
  EXPECT_EQ(again.value("result", ""), "accepted") << again.dump();
  EXPECT_EQ(deviceIn(b, a.uuid()).value("status", -1), 1);
  EXPECT_EQ(deviceIn(a, b.uuid()).value("status", -1), 1);
}

TEST_F(E2eTest, PairedDevicesStayInStepAndAKilledOneCatchesUp) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const auto [homeA, homeB, folderA, folderB] = twoHomes();
  auto a = std::make_unique<PeerProcess>(network.host(0), homeA, with(portOptions(), {"--token", "one"}));
  PeerProcess b(network.host(1), homeB, with(portOptions(), {"--token", "one", "--accept-trust"}));
  const std::string uuidA = a->uuid();
  ASSERT_TRUE(trustEachOther(*a, b));
  ASSERT_TRUE(pairFolder(*a, folderA, b.uuid(), folderB));

  expectChangesFlow(folderA, folderB, "from-a");
  expectChangesFlow(folderB, folderA, "from-b");
  EXPECT_TRUE(usnSettles(*a));
  EXPECT_TRUE(usnSettles(b));

  // A device killed goes offline after its time-out; restarted it is checked and catches up.
  a->kill();
  EXPECT_TRUE(eventually([&] { return !deviceIn(b, uuidA).value("online", true); }, std::chrono::seconds(120)));
  writeFile(folderB / "while-away.txt", "written while a was away");
  a = std::make_unique<PeerProcess>(network.host(0), homeA, with(portOptions(), {"--token", "one"}));
  EXPECT_TRUE(eventually([&] { return deviceIn(b, uuidA).value("online", false); }));
  EXPECT_TRUE(eventually([&] { return sameFile(folderA / "while-away.txt", "written while a was away"); },
                         std::chrono::seconds(120)));
}

// Trees made on both sides, in sync folders of their own: pairing joins the local one to the
// remote's folder while it has no pairing, and refuses it once it is paired.
TEST_F(E2eTest, ATreeOfAnotherSyncFolderJoinsWhenPairedAndAPairedOneIsRefused) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const auto [homeA, homeB, folderA, folderB] = twoHomes();
  const fs::path otherB = fs::path(homeB) / "other";
  fs::create_directories(otherB);
  writeFile(folderA / "before.txt", "in a before pairing");
  PeerProcess a(network.host(0), homeA, with(portOptions(), {"--token", "one"}));
  PeerProcess b(network.host(1), homeB, with(portOptions(), {"--token", "one", "--accept-trust"}));
  ASSERT_TRUE(trustEachOther(a, b));
  for (auto [peer, folder] : {std::pair{&a, folderA}, std::pair{&b, folderB}, std::pair{&b, otherB}}) {
    const json added = peer->command("tree-add " + folder.string());
    ASSERT_TRUE(added.value("ok", false)) << added.dump();
  }

  ASSERT_TRUE(pairFolder(a, folderA, b.uuid(), folderB));
  EXPECT_TRUE(eventually([&] { return sameFile(folderB / "before.txt", "in a before pairing"); }));
  writeFile(folderB / "from-b.txt", "written in b");
  EXPECT_TRUE(eventually([&] { return sameFile(folderA / "from-b.txt", "written in b"); }));

  // Paired now: it cannot pull from a tree of yet another sync folder.
  json refused = a.command("pair " + folderA.string() + " " + b.uuid() + " " + otherB.string());
  EXPECT_FALSE(refused.value("ok", true)) << refused.dump();
  EXPECT_NE(refused.value("error", "").find("该目录已经和别的目录建立同步"), std::string::npos) << refused.dump();
  const json status = a.command("status");
  EXPECT_EQ(status.value("pairings", json::array()).size(), 1U) << status.dump();
}

}  // namespace
}  // namespace velbor::test
