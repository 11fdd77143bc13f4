#include "ui/DeviceDisplayRecord.h"

#include <memory>
#include <vector>

#include "DevicePaneFixture.h"
#include "ui/QoDeviceController.h"

namespace velbor::test {
namespace {

using DeviceDisplayRecordTest = DevicePaneFixture;
using RecordPtr = std::shared_ptr<DeviceDisplayRecord>;

RecordPtr recordOf(const QoDevice::Ptr& device) {
  auto record = std::make_shared<DeviceDisplayRecord>();
  record->setDevice(device);
  record->updateValues();
  return record;
}

TEST_F(DeviceDisplayRecordTest, EachStatusOnlineAndOfflineShowsItsTexts) {
  struct Case {
    int32_t status;
    bool online;
    const char* statusIcon;
    const char* bTitle;
    bool trustButton;
    const char* labelTitle;
    bool waitAuth;
    bool waitAgree;
    const char* statusText;
  };
  const Case cases[] = {
      {0, true, "unavailable", "请求信任", true, "nothing", false, false, "不信任"},
      {1, true, "available", "取消信任", true, "nothing", false, false, "信任"},
      {2, true, "partiallyAvailable", "nothing", false, "等待确认...", true, false, "等待对方信任"},
      {3, true, "partiallyAvailable", "nothing", false, "对方请求信任", false, true, "对方请求信任"},
      {7, true, "", "nothing", false, "nothing", false, false, "未知"},
      {0, false, "none", "nothing", false, "nothing", false, false, "离线"},
      {1, false, "none", "取消信任", true, "nothing", false, false, "离线"},
      {2, false, "none", "nothing", false, "nothing", false, false, "离线"},
      {3, false, "none", "nothing", false, "nothing", false, false, "离线"},
  };
  DataSource::sharedDataSource().setSegmentControl(0, true);
  int n = 0;
  for (const Case& c : cases) {
    const auto values = recordOf(device("d" + std::to_string(n++), c.status, c.online))->values();
    const std::string what = std::to_string(c.status) + (c.online ? " online" : " offline");
    EXPECT_EQ(values.statusIcon.toStdString(), c.statusIcon) << what;
    EXPECT_EQ(values.bTitle.toStdString(), c.bTitle) << what;
    EXPECT_EQ(values.trustButtonDisplay, c.trustButton) << what;
    EXPECT_EQ(values.labelTitle.toStdString(), c.labelTitle) << what;
    EXPECT_EQ(values.waitAuthDisplay, c.waitAuth) << what;
    EXPECT_EQ(values.waitAgreeDisplay, c.waitAgree) << what;
    EXPECT_EQ(values.waitInfoDisplay, c.waitAuth || c.waitAgree) << what;
    EXPECT_EQ(values.statusText.toStdString(), c.statusText) << what;
    EXPECT_FALSE(values.deviceIcon.isNull()) << what;
    EXPECT_EQ(values.deviceIcon.width(), DeviceDisplayRecord::kDeviceIconSize) << what;
  }

  auto trusted = device("tooltip", 1, true, 3);
  trusted->setRouteUri("tcp://10.0.0.5:9527");
  trusted->save();
  const QString tooltip = recordOf(trusted)->values().tooltip;
  EXPECT_TRUE(tooltip.startsWith("类型：MacOS\n地址：tcp://10.0.0.5:9527\n状态：信任\n上线时间："))
      << tooltip.toStdString();
  trusted->setIsOnline(false);
  EXPECT_TRUE(recordOf(trusted)->values().tooltip.contains("\n状态：离线\n最后上线时间：")) << tooltip.toStdString();
}

TEST_F(DeviceDisplayRecordTest, TheFilterHidesOnlyOnlineUntrustedAndOfflineDevicesReadAfreshEachTime) {
  DataSource::sharedDataSource().setSegmentControl(0, false);
  EXPECT_FALSE(recordOf(device("untrusted", 0, true))->isDeviceDisplay());
  EXPECT_FALSE(recordOf(device("offline-trusted", 1, false))->isDeviceDisplay());
  EXPECT_TRUE(recordOf(device("trusted", 1, true))->isDeviceDisplay());
  EXPECT_TRUE(recordOf(device("waiting", 2, true))->isDeviceDisplay());
  EXPECT_TRUE(recordOf(device("asking", 3, true))->isDeviceDisplay());
  auto record = recordOf(device("later", 0, true));
  DataSource::sharedDataSource().setSegmentControl(0, true);
  record->updateValues();
  EXPECT_TRUE(record->isDeviceDisplay());

  // Absent counts as shown; setters ignore null arguments; updateValues restarts the wait's count.
  DeviceDisplayRecord empty;
  EXPECT_TRUE(empty.isDeviceDisplay());
  empty.setDevice(nullptr);
  empty.setLabelTitle(QString());
  EXPECT_EQ(empty.getDevice(), nullptr);
  EXPECT_EQ(empty.values().labelTitle, "nothing");
  record->setWaitInfoMaxValue(9);
  record->setWaitInfoValue(4);
  EXPECT_EQ(record->getWaitAuthTimeoutValue(), 4);
  record->updateValues();
  EXPECT_EQ(record->getWaitAuthTimeoutValue(), 0);
  EXPECT_EQ(record->values().waitInfoMaxValue, 9);
}

TEST_F(DeviceDisplayRecordTest, SortOrderShownOnlineAskingTrustedThenByName) {
  DataSource::sharedDataSource().setSegmentControl(0, false);
  std::vector<RecordPtr> records = {
      recordOf(device("hidden-untrusted", 0, true)), recordOf(device("offline-b", 1, false)),
      recordOf(device("untrusted-z", 0, true)),      recordOf(device("waiting-a", 2, true)),
      recordOf(device("trusted-b", 1, true)),        recordOf(device("trusted-a", 1, true)),
      recordOf(device("asking", 3, true)),           recordOf(device("unknown", 9, true)),
  };
  // Shown offline devices sort after the online ones.
  records[1]->setDeviceDisplay(true);
  std::stable_sort(records.begin(), records.end(), QoDeviceController::sortComparator);
  std::vector<std::string> names;
  for (const auto& record : records) names.push_back(record->getDevice()->name());
  const std::vector<std::string> expected = {"asking",  "trusted-a", "trusted-b",        "waiting-a",
                                             "unknown", "offline-b", "hidden-untrusted", "untrusted-z"};
  EXPECT_EQ(names, expected);
}

TEST_F(DeviceDisplayRecordTest, IncomingWaitLengthFollowsTheOfferButIsCapped) {
  EXPECT_EQ(QoDeviceController::incomingWaitTicks(3, 90.0f), 15);
  EXPECT_EQ(QoDeviceController::incomingWaitTicks(-7, 90.0f), 15);
  EXPECT_EQ(QoDeviceController::incomingWaitTicks(10, 90.0f), 30);
  // A peer's time-out never makes a wait longer than this device's own.
  EXPECT_EQ(QoDeviceController::incomingWaitTicks(1000000, 90.0f), 90);
  EXPECT_EQ(QoDeviceController::incomingWaitTicks(2147483647, 3.0f), 15);
}

}  // namespace
}  // namespace velbor::test
