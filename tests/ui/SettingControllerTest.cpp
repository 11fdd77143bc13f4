#include <QTest>

#include <string>

#include <gtest/gtest.h>

#include "core/daemon/discovery/QoDiscovery.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "support/FreshState.h"
#include "ui/AutoSaveTextField.h"
#include "ui/IsolatedNetwork.h"
#include "ui/NoticeRecorder.h"
#include "ui/SettingController.h"
#include "ui/UiSpin.h"

namespace velbor::test {
namespace {

// Replaces what the field holds as a user would: select all, type.
void retype(AutoSaveTextField* field, const QString& text) {
  field->setFocus();
  field->selectAll();
  if (text.isEmpty()) {
    QTest::keyClick(field, Qt::Key_Backspace);
  } else {
    typeText(field, text);
  }
}

bool saveRan(AutoSaveTextField* field) {
  return spinUntil([field] { return !field->isSavePending(); });
}

bool savedMark(AutoSaveTextField* field) { return field->image()->isVisibleTo(field->window()); }
bool spinning(AutoSaveTextField* field) { return field->indicator()->isVisibleTo(field->window()); }

// The pane in a private network (its broadcasts stay there), over a fresh device.
class SettingControllerTest : public FreshStateTest {
 protected:
  void SetUp() override {
    if (!network_.entered()) GTEST_SKIP() << "no private network namespace: " << network_.error();
    FreshStateTest::SetUp();
    DataSource::sharedDataSource().dbCheck();
    QoConfig& config = initDeviceConfig();
    config.setDeviceToken("old-token");
    config.setPortUdp(freeUdpPort());
    pane_.show();
    pane_.updateView();
  }
  void TearDown() override {
    QoDiscovery::sharedQoDiscovery().stop();
    FreshStateTest::TearDown();
  }

  static QoConfig& config() { return QoConfig::sharedQoConfig(); }
  static QoDevice::Ptr onlinePeer(const std::string& name) {
    auto device = std::make_shared<QoDevice>();
    device->setUuid("uuid-" + name);
    device->setName(name);
    device->setType(1);
    device->setStatus(1);
    device->setIsOnline(true);
    device->save();
    return device;
  }

  IsolatedNetwork network_;
  SettingController pane_;
};

// Each field saves by its own timer: a change in the token field right after one in the
// name field does not swallow the name's save (or the token's).
TEST_F(SettingControllerTest, NameAndTokenTypedTogetherAreBothSaved) {
  retype(pane_.deviceName(), "书房的电脑");
  retype(pane_.token(), "new-token");
  ASSERT_TRUE(spinUntil([] { return config().deviceName() == "书房的电脑" && config().deviceToken() == "new-token"; }));
  ASSERT_TRUE(saveRan(pane_.token()));
  for (AutoSaveTextField* field : {pane_.deviceName(), pane_.token()}) {
    EXPECT_TRUE(savedMark(field));
    EXPECT_FALSE(spinning(field));
  }
}

TEST_F(SettingControllerTest, EmptyTokenAndBlankNameAreRefusedAndKeepTheSpinner) {
  const std::string name = config().deviceName();
  retype(pane_.token(), "");
  retype(pane_.deviceName(), "  ");
  ASSERT_TRUE(saveRan(pane_.token()));
  ASSERT_TRUE(saveRan(pane_.deviceName()));
  EXPECT_EQ(config().deviceToken(), "old-token");
  EXPECT_EQ(config().deviceName(), name);
  EXPECT_TRUE(pane_.warning()->isVisibleTo(&pane_));
  EXPECT_EQ(pane_.warning()->text(), SettingController::kTokenWarning);
  for (AutoSaveTextField* field : {pane_.deviceName(), pane_.token()}) {
    EXPECT_FALSE(savedMark(field));
    EXPECT_TRUE(spinning(field));
  }
}

// A new token: the online peers go offline, the network hears that this device leaves, and
// an announcement under the new token goes out.
TEST_F(SettingControllerTest, SavingATokenTakesPeersOfflineAndAnnouncesThisDevice) {
  onlinePeer("alpha");
  onlinePeer("bravo");
  NoticeRecorder<notice::DeviceOffLine> offline;
  NoticeRecorder<notice::ProcessExit> exits;
  UdpListener broadcasts(static_cast<uint16_t>(config().portUdp()));
  ASSERT_TRUE(broadcasts.bound());

  retype(pane_.token(), "new-token");
  ASSERT_TRUE(spinUntil([&] { return offline.size() == 1 && exits.size() == 1; }));
  EXPECT_EQ(offline.notices()[0].devices.size(), 2U);
  EXPECT_TRUE(QoDevice::getDeviceRemoteOnline().empty());
  EXPECT_EQ(config().deviceToken(), "new-token");
  EXPECT_TRUE(broadcasts.next(10000));
}

// A typed port rebinds discovery; one that cannot be bound puts the old port back, in the
// settings and in discovery; a bad text stores nothing; "default" restores the default.
TEST_F(SettingControllerTest, UdpPortChangesRebindDiscoveryAndFailuresKeepTheOldPort) {
  QoDiscovery& discovery = QoDiscovery::sharedQoDiscovery();
  const uint16_t first = static_cast<uint16_t>(config().portUdp());
  discovery.run();
  ASSERT_TRUE(udpPortTaken(first));
  NoticeRecorder<notice::ProcessExit> exits;

  const uint16_t second = freeUdpPort();
  retype(pane_.udpPort(), QString::number(second));
  ASSERT_TRUE(saveRan(pane_.udpPort()));
  EXPECT_EQ(config().portUdp(), second);
  EXPECT_TRUE(udpPortTaken(second));
  EXPECT_FALSE(udpPortTaken(first));
  EXPECT_TRUE(savedMark(pane_.udpPort()));

  const uint16_t busy = freeUdpPort();
  UdpListener blocker(busy);
  ASSERT_TRUE(blocker.bound());
  retype(pane_.udpPort(), QString::number(busy));
  ASSERT_TRUE(saveRan(pane_.udpPort()));
  EXPECT_EQ(config().portUdp(), second);
  EXPECT_TRUE(udpPortTaken(second));
  EXPECT_EQ(pane_.warning()->text(), "地址已经被占用");
  EXPECT_TRUE(spinning(pane_.udpPort()));

  for (const char* bad : {"0", "70000", "12a", ""}) {
    retype(pane_.udpPort(), QString(bad));
    ASSERT_TRUE(saveRan(pane_.udpPort()));
    EXPECT_EQ(config().portUdp(), second) << bad;
    EXPECT_EQ(pane_.warning()->text(), SettingController::kPortWarning);
    EXPECT_FALSE(pane_.applySave()->isEnabled());
  }

  const auto fallback = config().getDefaultValueByKey("portUdp");
  ASSERT_TRUE(fallback && std::holds_alternative<int64_t>(*fallback));
  const size_t exitsBefore = exits.size();
  pane_.defaultButton()->click();
  EXPECT_EQ(config().portUdp(), std::get<int64_t>(*fallback));
  EXPECT_EQ(pane_.udpPort()->text().toLongLong(), std::get<int64_t>(*fallback));
  EXPECT_TRUE(udpPortTaken(static_cast<uint16_t>(config().portUdp())));
  EXPECT_TRUE(pane_.applySave()->isEnabled());
  EXPECT_TRUE(spinUntil([&] { return exits.size() > exitsBefore; }));
}

TEST_F(SettingControllerTest, BoxesStoreTheirSettingsAndPortsAreReadOnly) {
  config().setEncryptLevel(0);
  pane_.updateView();
  EXPECT_TRUE(pane_.encryptButton()->isChecked());
  pane_.encryptButton()->click();
  EXPECT_EQ(config().encryptLevel(), 1);
  pane_.encryptButton()->click();
  EXPECT_EQ(config().encryptLevel(), 2);

  const bool shown = config().showUserNotificaion();
  EXPECT_EQ(pane_.showUserNotification()->isChecked(), shown);
  pane_.showUserNotification()->click();
  EXPECT_EQ(config().showUserNotificaion(), !shown);

  config().setSyncHiddenFile(false);
  QoFile::generateRegexExpress();
  pane_.updateView();
  ASSERT_TRUE(QoFile::matchIgnoreFilter("/home/a/.profile"));
  pane_.syncHiddenFileButton()->click();
  EXPECT_TRUE(config().syncHiddenFile());
  EXPECT_FALSE(QoFile::matchIgnoreFilter("/home/a/.profile"));

  EXPECT_TRUE(pane_.routerPort()->isReadOnly());
  EXPECT_TRUE(pane_.publishPort()->isReadOnly());
  EXPECT_EQ(pane_.routerPort()->text(), QString::number(config().portRouter()));
  EXPECT_EQ(pane_.publishPort()->text(), QString::number(config().portPublisher()));
}

// The relaunch starts this very program, wherever it is installed.
TEST(SettingControllerRelaunchTest, RelaunchStartsThisProgram) {
  EXPECT_EQ(SettingController::relaunchProgram(), QCoreApplication::applicationFilePath());
}

// The save runs once, a pause after the last change, with the text the user stopped at.
TEST(AutoSaveTextFieldTest, SavesTheLastTextOnceAndAFailedSaveKeepsTheSpinner) {
  struct Delegate : AutoSaveTextFieldDelegate {
    bool autoSaveAction(AutoSaveTextField* field) override {
      saved.append(field->text());
      return answer;
    }
    QStringList saved;
    bool answer = false;
  } delegate;
  QWidget window;
  auto* field = new AutoSaveTextField(&window);
  field->setAutoSaveDelegate(&delegate);
  field->setSavingInterval(0.05F);
  window.show();
  QTest::keyClicks(field, "12");
  ASSERT_TRUE(spinUntil([&] { return !field->isSavePending(); }));
  EXPECT_EQ(delegate.saved, QStringList{"12"});
  EXPECT_TRUE(field->indicator()->isVisibleTo(&window));
  EXPECT_FALSE(field->image()->isVisibleTo(&window));

  delegate.answer = true;
  QTest::keyClicks(field, "3");
  ASSERT_TRUE(spinUntil([&] { return !field->isSavePending(); }));
  EXPECT_EQ(delegate.saved, (QStringList{"12", "123"}));
  EXPECT_FALSE(field->indicator()->isVisibleTo(&window));
  EXPECT_TRUE(field->image()->isVisibleTo(&window));
  field->setStatusHidden();
  EXPECT_FALSE(field->image()->isVisibleTo(&window));
  // Filling the field in code is no edit: nothing is saved.
  field->setText("99");
  QApplication::processEvents();
  EXPECT_FALSE(field->isSavePending());
}

}  // namespace
}  // namespace velbor::test
