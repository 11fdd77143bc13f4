#include <QLabel>
#include <QStyle>
#include <QTest>

#include <atomic>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "desktop/QoDaemonLinux.h"
#include "platform/UserDefaults.h"
#include "support/FreshState.h"
#include "ui/AppDelegate.h"
#include "ui/IsolatedNetwork.h"
#include "ui/MainThread.h"
#include "ui/MainWindow.h"
#include "ui/QoInitTokenViewController.h"
#include "ui/UiSpin.h"

namespace velbor::test {
namespace {

// The application's launch in a private network, from a fresh settings folder, on free
// ports.
class LaunchTest : public FreshStateTest {
 protected:
  void SetUp() override {
    if (!network_.entered()) GTEST_SKIP() << "no private network namespace: " << network_.error();
    FreshStateTest::SetUp();
    daemon().daemonInit();
    QoConfig& config = QoConfig::sharedQoConfig();
    router_ = freeTcpPort();
    config.setPortRouter(router_);
    config.setPortPublisher(freeTcpPort());
    config.setPortUdp(freeUdpPort());
    delegate_.awakeFromNib();
  }
  void TearDown() override {
    delegate_.applicationWillTerminate();
    FreshStateTest::TearDown();
  }

  static QoDaemonLinux& daemon() { return QoDaemonLinux::sharedQoDaemonLinux(); }

  IsolatedNetwork network_;
  AppDelegate delegate_;
  uint16_t router_ = 0;
};

// The engine never runs before a token exists: the router is bound only after OK.
TEST_F(LaunchTest, FirstLaunchAsksForTheTokenAndStartsTheEngineAfterOk) {
  bool listeningWhileAsked = true;
  bool okEnabledWhenEmpty = true;
  auto user = onModal<QoInitTokenViewController>([&](QoInitTokenViewController* window) {
    listeningWhileAsked = tcpListening(router_);
    okEnabledWhenEmpty = window->tokenSetOk()->isEnabled();
    typeText(window->tokenTextField(), "家里的设备");
    window->tokenSetOk()->click();
  });
  ASSERT_TRUE(delegate_.applicationDidFinishLaunching());
  EXPECT_FALSE(listeningWhileAsked);
  EXPECT_FALSE(okEnabledWhenEmpty);
  EXPECT_TRUE(tcpListening(router_));
  EXPECT_TRUE(daemon().isStarted());
  EXPECT_EQ(QoConfig::sharedQoConfig().deviceToken(), "家里的设备");
  EXPECT_TRUE(delegate_.window()->isVisible());
}

// Closing the token window is no token: the application ends without its engine.
TEST_F(LaunchTest, ClosingTheTokenWindowWithoutOkEndsTheLaunch) {
  auto user = onModal<QoInitTokenViewController>([](QoInitTokenViewController* window) {
    QTest::keyClicks(window->tokenTextField(), "typed but not confirmed");
    window->close();
  });
  EXPECT_FALSE(delegate_.applicationDidFinishLaunching());
  EXPECT_FALSE(daemon().isStarted());
  EXPECT_FALSE(tcpListening(router_));
  EXPECT_EQ(QoConfig::sharedQoConfig().deviceToken(), "");
}

TEST_F(LaunchTest, WithATokenTheEngineStartsAndNoWindowOpens) {
  QoConfig::sharedQoConfig().setDeviceToken("token");
  ASSERT_TRUE(delegate_.applicationDidFinishLaunching());
  EXPECT_TRUE(tcpListening(router_));
  for (QWidget* window : QApplication::topLevelWidgets())
    EXPECT_FALSE(window->isVisible()) << window->objectName().toStdString();
  // Reopening with no window visible shows the main window.
  EXPECT_TRUE(delegate_.applicationShouldHandleReopen(false));
  EXPECT_TRUE(delegate_.window()->isVisible());
}

// Quitting stops the engine without freezing the windows: view changes the engine queues
// for the main thread while it stops are handled before the stop has returned.
TEST_F(LaunchTest, QuittingStopsTheEngineWhileTheMainThreadKeepsHandlingEvents) {
  QoConfig::sharedQoConfig().setDeviceToken("token");
  ASSERT_TRUE(delegate_.applicationDidFinishLaunching());
  struct Seen {
    std::atomic<bool> stopReturned{false};
    std::atomic<bool> handledDuringStop{false};
  };
  auto seen = std::make_shared<Seen>();
  // The exit notice is posted by the stop, on the engine's notice queue.
  auto token = QoNotices::observe<notice::ProcessExit>([seen](const notice::ProcessExit&) {
    MainThread::async([seen] {
      if (!seen->stopReturned) seen->handledDuringStop = true;
    });
  });
  delegate_.applicationWillTerminate();
  seen->stopReturned = true;
  NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_FALSE(daemon().isStarted());
  EXPECT_FALSE(tcpListening(router_));
  EXPECT_TRUE(seen->handledDuringStop) << "the main thread handled nothing while the engine stopped";
}

// The start-up stores the pause before a tool tip shows, and every widget's style keeps it.
TEST_F(LaunchTest, ToolTipsShowAfterTheStoredSecond) {
  EXPECT_EQ(UserDefaults::standardUserDefaults()->integerForKey("NSInitialToolTipDelay"), 1000);
  EXPECT_EQ(QApplication::style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay), 1000);
  QLabel label("提示");
  EXPECT_EQ(label.style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay, nullptr, &label), 1000);
  EXPECT_EQ(delegate_.window()->style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay), 1000);
}

TEST(TokenWindowTest, OkNeedsACharacterAndTheTokenIsStoredAsTyped) {
  TempHome home;
  resetSharedState();
  initDeviceConfig();
  QoInitTokenViewController window;
  EXPECT_FALSE(window.tokenSetOk()->isEnabled());
  QTest::keyClicks(window.tokenTextField(), " ");
  EXPECT_TRUE(window.tokenSetOk()->isEnabled());
  QTest::keyClicks(window.tokenTextField(), "  ");
  window.tokenSetOk()->click();
  EXPECT_EQ(window.result(), QDialog::Accepted);
  EXPECT_EQ(QoConfig::sharedQoConfig().deviceToken(), "   ");
  resetSharedState();
}

}  // namespace
}  // namespace velbor::test
