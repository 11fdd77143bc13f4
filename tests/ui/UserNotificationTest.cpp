#include <QStringList>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/entity/QoDevice.h"
#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "support/FreshState.h"
#include "ui/NoticeRecorder.h"
#include "ui/PrivateDesktopBuses.h"
#include "ui/QoUserNotification.h"
#include "ui/UiSpin.h"

namespace velbor::test {
namespace {

std::vector<std::shared_ptr<QoDevice>> devices(const std::vector<std::string>& names) {
  std::vector<std::shared_ptr<QoDevice>> made;
  for (const std::string& name : names) {
    auto device = std::make_shared<QoDevice>();
    device->setName(name);
    made.push_back(device);
  }
  return made;
}

// Notices go to a fake notification service on a private session bus; a fake logind on a
// private system bus says when the computer sleeps.
class UserNotificationTest : public FreshStateTest {
 protected:
  void SetUp() override {
    FreshStateTest::SetUp();
    if (!bus_->started()) GTEST_SKIP() << bus_->error().toStdString();
    DataSource::sharedDataSource().dbCheck();
    initDeviceConfig().setShowUserNotificaion(true);
    QoUserNotification::sharedQoUserNotification().userNotificationInit();
  }

  // Posts a last marker notice and waits for it: everything posted before it has been
  // shown or dropped by then. Answers the notices before the marker, one a line.
  std::string settle() {
    QoConfig::sharedQoConfig().setShowUserNotificaion(true);
    const std::string marker = "marker " + std::to_string(++markers_);
    const QString shownMarker = QString::fromStdString(marker) + "\t上线了";
    QoNotices::post(notice::DeviceAddResponse{devices({marker})});
    EXPECT_TRUE(spinUntil([&] { return bus_->notices().contains(shownMarker); }));
    QStringList shown = bus_->notices();
    shown.removeIf([](const QString& line) { return line.startsWith("marker "); });
    return shown.join('\n').toStdString();
  }

  // Posts the notice and returns once its observers, the notification's first, have run.
  template <class Notice>
  static void handled(Notice notice) {
    NoticeRecorder<Notice> seen;
    QoNotices::post(std::move(notice));
    ASSERT_TRUE(spinUntil([&] { return seen.size() == 1; }));
  }

  int markers_ = 0;
  // Before anything touches the session bus.
  std::unique_ptr<PrivateDesktopBuses> bus_ = std::make_unique<PrivateDesktopBuses>();
};

TEST_F(UserNotificationTest, EachDeviceComingOnlineOrGoingOfflineGivesOneNotice) {
  QoNotices::post(notice::DeviceAddResponse{devices({"书房"})});
  EXPECT_EQ(settle(), "书房\t上线了");
  QoNotices::post(notice::DeviceAddResponse{devices({"a", "b", "c"})});
  QoNotices::post(notice::DeviceOffLine{devices({"a"})});
  EXPECT_EQ(settle(), "书房\t上线了\na\t上线了\nb\t上线了\nc\t上线了\na\t下线了");
}

// Turned off, or asleep: nothing is shown, the trust request's notice included; nothing is
// queued for later either.
TEST_F(UserNotificationTest, NothingIsShownWhileTurnedOffOrAsleep) {
  QoUserNotification& notification = QoUserNotification::sharedQoUserNotification();
  QoConfig::sharedQoConfig().setShowUserNotificaion(false);
  handled(notice::DeviceAddResponse{devices({"a", "b", "c"})});
  handled(notice::NotEnoughDeviceSpace{.available = 10, .total = 20});
  notification.showNotification("信任请求", "", "请求信任");
  EXPECT_EQ(settle(), "");

  ASSERT_TRUE(bus_->sleep(true));
  ASSERT_TRUE(spinUntil([&] { return notification.isSleep(); }));
  handled(notice::DeviceOffLine{devices({"a"})});
  notification.sendTestNotification();
  notification.showNotification("信任请求", "", "请求信任");
  ASSERT_TRUE(bus_->sleep(false));
  ASSERT_TRUE(spinUntil([&] { return !notification.isSleep(); }));
  EXPECT_EQ(settle(), "");
}

TEST_F(UserNotificationTest, TooLittleDiskSpaceNamesBothSizes) {
  QoNotices::post(notice::NotEnoughDeviceSpace{.available = 1048576, .total = 5000000000});
  EXPECT_EQ(settle(), "磁盘空间不够\t需要下载 4GB 的文件，磁盘只剩 1MB 可用\\n请清理磁盘空间后再同步");
}

// Another disk in a sync folder's place is not only a disk that is not mounted.
TEST_F(UserNotificationTest, AFolderThatIsNotThereIsSaidToKeepItsFilesEverywhere) {
  QoNotices::post(notice::SyncdirMissing{"/media/disk/同步", "0a6d4c2e-1b1f-4d0c-9a8e-2f3b5c6d7e8f"});
  EXPECT_EQ(
      settle(),
      "同步文件夹不在\t/media/disk/同步\\n所在磁盘未挂载，或挂载的是另一块磁盘？装回它自己的磁盘后会自动继续同步，"
      "其中的文件不会在其他设备上被删除");
}

// The service reads the body as markup: names and paths from peers in it are escaped.
TEST_F(UserNotificationTest, PeerTextInTheBodyIsNotReadAsMarkup) {
  QoUserNotification::sharedQoUserNotification().showNotification("<b>设备</b>", "<b>a</b> & <img src=\"/x.png\">",
                                                                  "已同步");
  EXPECT_EQ(settle(), "<b>设备</b>\t&lt;b&gt;a&lt;/b&gt; &amp; &lt;img src=\"/x.png\"&gt;\\n已同步");
}

TEST(ConvertBytesTest, SizesAreWholeUnitsWithRemaindersDropped) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "0B"},        {1023, "1023B"},        {1024, "1KB"},       {1048575, "1023KB"},
      {1048576, "1MB"}, {1073741823, "1023MB"}, {1073741824, "1GB"}, {5000000000, "4GB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(QoUserNotification::convertBytes(bytes), text) << bytes;
}

}  // namespace
}  // namespace velbor::test
