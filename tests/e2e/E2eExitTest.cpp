// A device that ends tells the devices that see it online: they mark it offline at once,
// not after their liveness time-out. Each device a velbor_test_peer in a namespace of its own.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "e2e/E2eNetwork.h"
#include "e2e/E2eSupport.h"
#include "e2e/PeerProcess.h"

namespace velbor::test {
namespace {

using nlohmann::json;

using E2eExitTest = E2eFixture;

// How often the peer logging to `log` has made its subscription to a trusted device's publisher.
size_t subscriptionsMade(const std::string& log) { return timesIn(log, "Subscriber reached"); }

TEST_F(E2eExitTest, PeersMarkADeviceOfflineAsSoonAsItQuitsOrIsTerminatedAfterItWentOfflineOnce) {
  for (const std::string how : {"quit", "SIGTERM"}) {
    SCOPED_TRACE(how);
    E2eNetwork network(2);
    ASSERT_TRUE(network.ready());
    const auto options = with(portOptions(), {"--token", "one", "--online-timeout", kLongOnlineTimeout});
    auto a = std::make_unique<PeerProcess>(network.host(0), home(how + "-a"), options);
    const std::string logB = home(how + "-b") + "/peer.log";
    PeerProcess b(network.host(1), home(how + "-b"), with(options, {"--accept-trust"}), logB);
    const std::string uuidA = a->uuid();
    ASSERT_FALSE(uuidA.empty());
    ASSERT_TRUE(eventually([&] { return listed(deviceIn(*a, b.uuid())); }));
    ASSERT_EQ(a->command("trust " + b.uuid()).value("result", ""), "accepted");
    ASSERT_TRUE(eventually([&] {
      const json seen = deviceIn(b, uuidA);
      return seen.value("status", -1) == 1 && seen.value("online", false);
    }));

    // The offline button first: the peer hears of it, and of the device again at its next
    // broadcast. The exit that follows must still be announced.
    ASSERT_TRUE(a->command("offline").value("ok", false));
    ASSERT_TRUE(eventually([&] { return !deviceIn(b, uuidA).value("online", true); }, kNoticeBound));
    const size_t reachedBefore = subscriptionsMade(logB);
    ASSERT_TRUE(eventually([&] { return deviceIn(b, uuidA).value("online", false); }));
    // What a device publishes before the peer's subscription is made again is never received:
    // the exit is told only once the peer is listening again.
    ASSERT_TRUE(eventually([&] { return subscriptionsMade(logB) > reachedBefore; }));

    if (how == "quit") {
      EXPECT_TRUE(a->command("quit").value("ok", false));
    } else {
      ASSERT_EQ(::kill(a->pid(), SIGTERM), 0);
    }
    EXPECT_EQ(a->waitExit(kNoticeBound), 0);
    EXPECT_TRUE(eventually([&] { return !deviceIn(b, uuidA).value("online", true); }, kNoticeBound))
        << "the exit notice did not reach the peer";
  }
}

}  // namespace
}  // namespace velbor::test
