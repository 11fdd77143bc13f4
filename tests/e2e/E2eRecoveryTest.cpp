// Devices in network namespaces through what goes wrong or around the sync itself: lost
// file-system events, folders moved across the tree's edge, the check-in with the service.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include <fmt/format.h>

#include "core/daemon/http/HttpStub.h"
#include "e2e/E2eNetwork.h"
#include "e2e/E2eSupport.h"
#include "e2e/PeerProcess.h"
#include "support/InotifyQueueLimit.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using E2eRecoveryTest = E2eFixture;

// Small enough that a burst of writes overflows the queue whatever the reader does.
constexpr int kLowQueuedEvents = 8;
constexpr int kFloodFolders = 4;
constexpr int kFloodFilesEach = 50;

std::string floodText(int folder, int file) {
  return fmt::format("flood {}/{} {}", folder, file, std::string(64, 'x'));
}

size_t watchesOf(PeerProcess& peer) {
  const json answer = peer.command("status");
  return answer.is_object() ? answer.value("watches", size_t{0}) : 0;
}

TEST_F(E2eRecoveryTest, LostEventsAreRescannedAndFoldersMovedAcrossTheEdgeFollow) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const auto [homeA, homeB, folderA, folderB] = twoHomes();
  const std::string logA = fs::path(homeA) / "peer.log";
  auto a = std::make_unique<PeerProcess>(network.host(0), homeA, with(portOptions(), {"--token", "one"}), logA);
  PeerProcess b(network.host(1), homeB, with(portOptions(), {"--token", "one", "--accept-trust"}));
  const std::string uuidA = a->uuid();
  ASSERT_TRUE(trustEachOther(*a, b));
  ASSERT_TRUE(pairFolder(*a, folderA, b.uuid(), folderB));

  // A folder with content moved in from outside the tree arrives whole; moved out, it goes.
  const fs::path outside = fs::path(homeA) / "outside";
  fs::create_directories(outside / "batch" / "deeper");
  writeFile(outside / "batch" / "one.txt", "one");
  writeFile(outside / "batch" / "deeper" / "two.txt", "two");
  fs::permissions(outside / "batch" / "deeper" / "two.txt", fs::perms::owner_exec, fs::perm_options::add);
  fs::rename(outside / "batch", folderA / "batch");
  EXPECT_TRUE(eventually([&] {
    return sameFile(folderB / "batch" / "one.txt", "one") && sameFile(folderB / "batch" / "deeper" / "two.txt", "two");
  })) << "folder moved in";
  EXPECT_NE(permsOf(folderB / "batch" / "deeper" / "two.txt") & fs::perms::owner_exec, fs::perms::none);
  fs::rename(folderB / "batch", fs::path(homeB) / "taken-out");
  EXPECT_TRUE(eventually([&] { return !fs::exists(folderA / "batch"); })) << "folder moved out";

  // Restarted with a tiny event queue: its stream is made while the limit is low.
  ASSERT_TRUE(a->command("quit").value("ok", false));
  EXPECT_EQ(a->waitExit(std::chrono::seconds(30)), 0);
  a.reset();
  {
    InotifyQueueLimit limit(kLowQueuedEvents);
    ASSERT_TRUE(limit.lowered());
    a = std::make_unique<PeerProcess>(network.host(0), homeA, with(portOptions(), {"--token", "one"}), logA);
    ASSERT_FALSE(a->uuid().empty());
    ASSERT_TRUE(eventually([&] { return watchesOf(*a) > 0; }, std::chrono::seconds(30)));
  }
  ASSERT_TRUE(eventually([&] { return deviceIn(b, uuidA).value("online", false); }));

  // The folders first, watched; then the device is held still while the files land in them,
  // so its reader cannot keep up on any machine: the kernel's queue of 8 events overflows.
  const size_t watchesBefore = watchesOf(*a);
  for (int folder = 0; folder < kFloodFolders; ++folder)
    fs::create_directories(folderA / fmt::format("flood-{}", folder));
  ASSERT_TRUE(eventually([&] { return watchesOf(*a) >= watchesBefore + kFloodFolders; }));
  ASSERT_EQ(::kill(a->pid(), SIGSTOP), 0);
  for (int folder = 0; folder < kFloodFolders; ++folder) {
    const fs::path dir = folderA / fmt::format("flood-{}", folder);
    for (int file = 0; file < kFloodFilesEach; ++file) {
      writeFile(dir / fmt::format("f{}.txt", file), floodText(folder, file));
    }
  }
  ASSERT_EQ(::kill(a->pid(), SIGCONT), 0);
  EXPECT_TRUE(eventually([&] { return fileText(logA).find("event queue overflowed") != std::string::npos; }))
      << "the queue never overflowed: the test proves nothing";
  int missing = 0;
  EXPECT_TRUE(eventually(
      [&] {
        missing = 0;
        for (int folder = 0; folder < kFloodFolders; ++folder) {
          for (int file = 0; file < kFloodFilesEach; ++file) {
            const fs::path path = folderB / fmt::format("flood-{}", folder) / fmt::format("f{}.txt", file);
            if (!sameFile(path, floodText(folder, file))) ++missing;
          }
        }
        return missing == 0;
      },
      std::chrono::seconds(120)))
      << missing << " flood files did not arrive";
}

// A device that crashes and is started again before its peer's liveness time-out stays
// online in the peer's view, so nothing there asks it again; what it finds changed at its
// start is announced before the peer's subscriber has connected to it again.
TEST_F(E2eRecoveryTest, ChangesFoundAtARestartReachAPeerThatNeverSawTheDeviceGo) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const std::string homeA = home("a");
  const fs::path folderA = syncFolderIn(homeA);
  const fs::path folderB = syncFolderIn(home("b"));
  const auto options = with(portOptions(), {"--token", "one", "--online-timeout", kLongOnlineTimeout});
  auto a = std::make_unique<PeerProcess>(network.host(0), homeA, options);
  PeerProcess b(network.host(1), home("b"), with(options, {"--accept-trust"}));
  const std::string uuidA = a->uuid();
  ASSERT_TRUE(trustEachOther(*a, b));
  ASSERT_TRUE(pairFolder(*a, folderA, b.uuid(), folderB));
  writeFile(folderA / "kept.txt", "before the crash");
  ASSERT_TRUE(eventually([&] { return sameFile(folderB / "kept.txt", "before the crash"); }));

  a->kill();
  writeFile(folderA / "kept.txt", "edited while a was down");
  writeFile(folderA / "new.txt", "made while a was down");
  a = std::make_unique<PeerProcess>(network.host(0), homeA, options);
  ASSERT_FALSE(a->uuid().empty());
  ASSERT_TRUE(deviceIn(b, uuidA).value("online", false)) << "b saw a go: the test proves nothing";
  EXPECT_TRUE(eventually([&] {
    return sameFile(folderB / "kept.txt", "edited while a was down") &&
           sameFile(folderB / "new.txt", "made while a was down");
  })) << "b never pulled what a found at its start";
}

TEST_F(E2eRecoveryTest, CheckInReachesTheConfiguredService) {
  E2eNetwork network(1);
  ASSERT_TRUE(network.ready());
  // Listening on loopback inside the device's namespace.
  std::unique_ptr<HttpStub> service;
  ASSERT_TRUE(runInNamespace(network.host(0), [&] { service = std::make_unique<HttpStub>(); }));
  const std::string device = home("a");
  // The standard settings suite of the program, written before it starts.
  fs::create_directories(fs::path(device) / ".config" / "Velbor");
  writeFile(fs::path(device) / ".config" / "Velbor" / "Velbor.json", json{{"QoServerURL", service->baseURL()}}.dump());

  PeerProcess peer(network.host(0), device, portOptions());
  ASSERT_FALSE(peer.uuid().empty());
  const std::string expected = "/check_status/" + peer.uuid() + "/";
  EXPECT_TRUE(eventually([&] {
    for (const auto& target : service->targets()) {
      if (target.rfind(expected, 0) == 0 && target.size() > expected.size()) return true;
    }
    return false;
  })) << "requests seen: "
      << service->targets().size();
  EXPECT_TRUE(peer.command("quit").value("ok", false));
  EXPECT_EQ(peer.waitExit(std::chrono::seconds(30)), 0);
}

}  // namespace
}  // namespace velbor::test
