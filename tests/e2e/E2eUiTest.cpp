// The application's device pane against test peers: each device in a network namespace of
// its own, the application's windows on a virtual display with a tray host. Pairing is
// offered, answered, cancelled, timed out and withdrawn from both sides; the cards and both
// devices' stored statuses must agree.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "e2e/E2eNetwork.h"
#include "e2e/E2eSupport.h"
#include "e2e/E2eUiSupport.h"
#include "e2e/PeerProcess.h"
#include "e2e/XvfbDisplay.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using std::chrono::seconds;

class E2eUiTest : public E2eFixture {
 protected:
  // Clicks a control of a device's card.
  bool click(PeerProcess& ui, const std::string& uuid, const std::string& control) {
    return ok(ui.command("click " + uuid + " " + control));
  }

  static int statusIn(PeerProcess& peer, const std::string& uuid) {
    const json device = deviceIn(peer, uuid);
    return device.is_object() ? device.value("status", -1) : -1;
  }

  // The card settles at `status` with its texts, and the peer stores `peerStatus` for the UI device.
  static void expectSettled(PeerProcess& ui, PeerProcess& peer, const std::string& uiUuid, int status, int peerStatus,
                            const std::string& what) {
    EXPECT_TRUE(eventually(
        [&] {
          const json card = cardIn(ui, peer.uuid());
          return card.is_object() && card.value("status", -1) == status && card.value("labelTitle", "") == "nothing" &&
                 !card.value("waiting", true);
        },
        seconds(20)))
        << what << ": " << cardIn(ui, peer.uuid()).dump();
    const json card = cardIn(ui, peer.uuid());
    EXPECT_EQ(card.value("bTitle", ""), status == 1 ? "取消信任" : "请求信任") << what;
    EXPECT_EQ(card.value("statusText", ""), status == 1 ? "信任" : "不信任") << what;
    EXPECT_TRUE(eventually([&] { return statusIn(peer, uiUuid) == peerStatus; }, seconds(20)))
        << what << ": the peer stores " << statusIn(peer, uiUuid);
  }

  // Waits until the card shows `label` (result labels stay a second).
  static bool shows(PeerProcess& ui, const std::string& uuid, const std::string& label) {
    return eventually([&] { return cardIn(ui, uuid).value("labelTitle", "") == label; }, seconds(20));
  }
};

TEST_F(E2eUiTest, PairingFromTheDevicePaneInBothDirections) {
  XvfbDisplay display;
  if (!display.failure().empty()) GTEST_SKIP() << display.failure();
  E2eNetwork network(3);
  ASSERT_TRUE(network.ready());
  const std::string homeUi = home("ui");
  const std::string homeB = home("b");
  const fs::path folderUi = syncFolderIn(homeUi);
  const fs::path folderB = syncFolderIn(homeB);
  const std::string logs = home("logs");
  // The UI's own waits: 18 ticks (6 seconds) out, and at most as long in. A distrust is
  // confirmed by asking the device that sent it, every second here.
  PeerProcess ui(
      uiPeerProgram(display), network.host(0), homeUi,
      with(portOptions(), {"--token", "one", "--name", "界面", "--trust-timeout", "6", "--distrust-recheck", "1"}),
      logs + "/ui.log");
  PeerProcess b(network.host(1), homeB,
                with(portOptions(), {"--token", "one", "--name", "b", "--hold-trust", "--distrust-recheck", "1"}),
                logs + "/b.log");
  PeerProcess c(network.host(2), home("c"),
                with(portOptions(), {"--token", "one", "--name", "c", "--hold-trust", "--distrust-recheck", "1"}),
                logs + "/c.log");
  ASSERT_FALSE(ui.uuid().empty()) << ui.readyLine().dump();
  ASSERT_FALSE(b.uuid().empty());
  ASSERT_FALSE(c.uuid().empty());
  const std::string me = ui.uuid();
  ASSERT_TRUE(ok(ui.command("pane deviceController")));
  ASSERT_TRUE(eventually([&] {
    return cardIn(ui, b.uuid()).value("online", false) && cardIn(ui, c.uuid()).value("online", false) &&
           listed(deviceIn(b, me)) && listed(deviceIn(c, me));
  })) << ui.command("cards").dump();
  json card = cardIn(ui, b.uuid());
  EXPECT_EQ(card.value("bTitle", ""), "请求信任");
  EXPECT_TRUE(card.value("visible", false));
  EXPECT_NE(card.value("tooltip", "").find("状态：不信任\n上线时间："), std::string::npos) << card.dump();

  // Without a notification service the status item's balloon shows the notice.
  json balloon;
  EXPECT_TRUE(eventually(
      [&] {
        balloon = ui.command("balloon");
        for (const auto& text : balloon.value("texts", json::array())) {
          if (text.get<std::string>().find("上线了") != std::string::npos) return true;
        }
        return false;
      },
      seconds(20)))
      << balloon.dump();

  json tray = ui.command("tray-menu");
  EXPECT_TRUE(tray.value("trayVisible", false)) << tray.dump();
  EXPECT_TRUE(ok(ui.command("screenshot " + screenshotPath("tray-menu.png"))));
  EXPECT_TRUE(ok(ui.command("menu-close")));

  // This device asks b; b refuses.
  ASSERT_TRUE(click(ui, b.uuid(), "trustButton"));
  EXPECT_TRUE(eventually([&] { return statusIn(b, me) == 3; }, seconds(20)));
  card = cardIn(ui, b.uuid());
  EXPECT_EQ(card.value("labelTitle", ""), "等待确认...");
  EXPECT_TRUE(card.value("waitAuth", false));
  EXPECT_EQ(card.value("waitMax", 0), 18);
  EXPECT_TRUE(ok(b.command("trust-answer " + me + " refuse")));
  EXPECT_TRUE(shows(ui, b.uuid(), "对方拒绝信任"));
  expectSettled(ui, b, me, 0, 0, "refused by the peer");

  // This device asks b and cancels.
  ASSERT_TRUE(click(ui, b.uuid(), "trustButton"));
  EXPECT_TRUE(eventually([&] { return statusIn(b, me) == 3; }, seconds(20)));
  ASSERT_TRUE(click(ui, b.uuid(), "cancelButton"));
  expectSettled(ui, b, me, 0, 0, "cancelled here");

  // This device asks b, which does not answer: the wait runs out.
  ASSERT_TRUE(click(ui, b.uuid(), "trustButton"));
  EXPECT_TRUE(eventually([&] { return cardIn(ui, b.uuid()).value("waitValue", 0) >= 3; }, seconds(20)))
      << "the wait ticks";
  EXPECT_TRUE(shows(ui, b.uuid(), "请求超时..."));
  EXPECT_FALSE(ok(b.command("trust-answer " + me + " refuse"))) << "the offer was given up";
  expectSettled(ui, b, me, 0, 0, "timed out here");

  // This device asks b; b agrees. Then the two pair their folders.
  ASSERT_TRUE(click(ui, b.uuid(), "trustButton"));
  EXPECT_TRUE(eventually([&] { return statusIn(b, me) == 3; }, seconds(20)));
  EXPECT_EQ(b.command("trust-answer " + me + " agree").value("result", ""), "accepted");
  EXPECT_TRUE(shows(ui, b.uuid(), "对方同意信任"));
  expectSettled(ui, b, me, 1, 1, "agreed by the peer");
  ASSERT_TRUE(pairFolder(b, folderB, me, folderUi));

  // c asks this device; while the card waits, the engine and its notices go on: a file
  // written here reaches b.
  ASSERT_TRUE(ok(c.command("offer " + me)));
  EXPECT_TRUE(eventually([&] { return cardIn(ui, c.uuid()).value("waiting", false); }, seconds(20)));
  writeFile(folderUi / "while-asked.txt", "written while c asks");
  EXPECT_TRUE(eventually([&] { return sameFile(folderB / "while-asked.txt", "written while c asks"); }, seconds(20)));
  card = cardIn(ui, c.uuid());
  EXPECT_TRUE(card.value("waiting", false)) << "the file came only after the wait: " << card.dump();
  EXPECT_EQ(card.value("labelTitle", ""), "对方请求信任");
  EXPECT_TRUE(card.value("waitAgree", false));
  EXPECT_EQ(card.value("waitMax", 0), 18) << "c's 30 ticks are capped at this device's own wait";
  EXPECT_TRUE(ok(ui.command("screenshot " + screenshotPath("device-window.png"))));
  EXPECT_TRUE(ok(ui.command("screenshot-window mainWindow " + screenshotPath("device-pane-asked.png"))));
  // This device refuses.
  ASSERT_TRUE(click(ui, c.uuid(), "disagreeButton"));
  EXPECT_TRUE(shows(ui, c.uuid(), "拒绝信任"));
  expectSettled(ui, c, me, 0, 0, "refused here");

  // c asks and withdraws its offer.
  ASSERT_TRUE(ok(c.command("offer " + me)));
  EXPECT_TRUE(eventually([&] { return cardIn(ui, c.uuid()).value("waiting", false); }, seconds(20)));
  EXPECT_TRUE(ok(c.command("trust-cancel " + me)));
  EXPECT_TRUE(shows(ui, c.uuid(), "对方取消信任"));
  expectSettled(ui, c, me, 0, 0, "cancelled by the peer");

  // c asks and nobody answers here: the card's wait runs out; c then gives up too.
  ASSERT_TRUE(ok(c.command("offer " + me)));
  EXPECT_TRUE(shows(ui, c.uuid(), "请求超时..."));
  EXPECT_TRUE(ok(c.command("trust-cancel " + me)));
  expectSettled(ui, c, me, 0, 0, "timed out here");

  // c asks and this device agrees.
  ASSERT_TRUE(ok(c.command("offer " + me)));
  EXPECT_TRUE(eventually([&] { return cardIn(ui, c.uuid()).value("waitAgree", false); }, seconds(20)));
  ASSERT_TRUE(click(ui, c.uuid(), "agreeButton"));
  expectSettled(ui, c, me, 1, 1, "agreed here");
  EXPECT_TRUE(ok(ui.command("screenshot " + screenshotPath("device-window-trusted.png"))));

  // This device withdraws its trust in c, after the alert.
  ASSERT_TRUE(click(ui, c.uuid(), "trustButton"));
  json alert;
  EXPECT_TRUE(eventually([&] { return (alert = ui.command("alert")).value("open", false); }, seconds(20)));
  EXPECT_EQ(alert.value("text", ""), "是否要取消与“c”的信任关系，取消信任后您将不能与该设备同步数据");
  EXPECT_TRUE(ok(ui.command("screenshot " + screenshotPath("withdraw-alert.png"))));
  EXPECT_TRUE(ok(ui.command("alert-answer 确定")));
  // c asks this device, which refuses every time: c's trust ends after the refusals, and c
  // finds this device again, untrusted.
  EXPECT_TRUE(eventually([&] { return statusIn(c, me) == 0; }, seconds(30))) << "c dropped or untrusts this device";
  EXPECT_TRUE(eventually([&] { return cardIn(ui, c.uuid()).value("status", -1) == 0; }, seconds(20)));

  // This device asks c again at once: c is stored on neither side now, so discovery finds it
  // first, then the request goes.
  ASSERT_TRUE(click(ui, c.uuid(), "trustButton"));
  EXPECT_TRUE(eventually([&] { return statusIn(c, me) == 3; }, seconds(20))) << "c has the request";
  EXPECT_TRUE(shows(ui, c.uuid(), "等待确认..."));
  EXPECT_TRUE(ok(ui.command("screenshot-window mainWindow " + screenshotPath("device-window-trust-again.png"))));
  EXPECT_TRUE(ok(c.command("trust-answer " + me + " refuse")));
  EXPECT_TRUE(shows(ui, c.uuid(), "对方拒绝信任"));
  expectSettled(ui, c, me, 0, 0, "asked again after the withdrawal");

  // b ends its trust in this device; asked, b refuses every time.
  EXPECT_TRUE(ok(b.command("distrust " + me)));
  EXPECT_TRUE(eventually([&] { return cardIn(ui, b.uuid()).value("bTitle", "") == "请求信任"; }, seconds(30)))
      << cardIn(ui, b.uuid()).dump();
  EXPECT_LE(statusIn(b, me), 0);

  expectQuitsCleanly(ui, logs + "/ui.log");
}

}  // namespace
}  // namespace velbor::test
