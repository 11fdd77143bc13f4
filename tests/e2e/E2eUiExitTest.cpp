// The application quitting, against a test peer: each device in a network namespace of its
// own, the application's windows on a virtual display.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "e2e/E2eNetwork.h"
#include "e2e/E2eSupport.h"
#include "e2e/E2eUiSupport.h"
#include "e2e/PeerProcess.h"
#include "e2e/XvfbDisplay.h"

namespace velbor::test {
namespace {

using nlohmann::json;

using E2eUiExitTest = E2eFixture;

TEST_F(E2eUiExitTest, ThePeerMarksTheApplicationOfflineAsSoonAsItQuitsOrIsTerminated) {
  XvfbDisplay display;
  if (!display.failure().empty()) GTEST_SKIP() << display.failure();
  for (const std::string how : {"quit", "SIGTERM"}) {
    SCOPED_TRACE(how);
    E2eNetwork network(2);
    ASSERT_TRUE(network.ready());
    const std::string logs = home(how + "-logs");
    const auto options = with(portOptions(), {"--token", "one", "--online-timeout", kLongOnlineTimeout});
    PeerProcess ui(uiPeerProgram(display), network.host(0), home(how + "-ui"), options, logs + "/ui.log");
    PeerProcess b(network.host(1), home(how + "-b"), with(options, {"--accept-trust"}), logs + "/b.log");
    const std::string me = ui.uuid();
    ASSERT_FALSE(me.empty()) << ui.readyLine().dump();
    ASSERT_TRUE(ok(ui.command("pane deviceController")));
    ASSERT_TRUE(eventually([&] {
      const json card = cardIn(ui, b.uuid());
      return card.value("online", false) && listed(deviceIn(b, me));
    }));
    ASSERT_TRUE(ok(ui.command("click " + b.uuid() + " trustButton")));
    ASSERT_TRUE(eventually([&] {
      const json seen = deviceIn(b, me);
      const json card = cardIn(ui, b.uuid());
      return seen.is_object() && seen.value("status", -1) == 1 && seen.value("online", false) && card.is_object() &&
             card.value("status", -1) == 1;
    })) << deviceIn(b, me).dump();

    if (how == "quit") {
      EXPECT_TRUE(ok(ui.command("quit")));
    } else {
      ASSERT_EQ(::kill(ui.pid(), SIGTERM), 0);
    }
    EXPECT_TRUE(eventually(
        [&] {
          const json seen = deviceIn(b, me);
          return seen.is_object() && !seen.value("online", true);
        },
        kNoticeBound))
        << "the exit notice did not reach the peer\n"
        << fileText(logs + "/ui.log");
    EXPECT_EQ(ui.waitExit(kNoticeBound), 0);
  }
}

}  // namespace
}  // namespace velbor::test
