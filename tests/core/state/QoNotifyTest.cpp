#include "core/state/QoNotices.h"
#include "core/state/QoNotify.h"

#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Dispatch.h"
#include "platform/Exception.h"
#include "platform/NotificationCenter.h"

namespace velbor {
namespace {

TEST(QoNotifyTest, KeysNameTheFixedTable) {
  EXPECT_EQ(QoNotify::notificationKey(0), "DeviceAddResponse");
  EXPECT_EQ(QoNotify::notificationKey(QoNotify::FileChanged), "FileChanged");
  EXPECT_EQ(QoNotify::notificationKey(22), "SyncFileProcess");
  EXPECT_EQ(QoNotify::notificationKey(25), "ProcessExit");
  for (int index : {26, -1}) EXPECT_THROW(QoNotify::notificationKey(index), Exception) << index;
}

TEST(QoNotifyTest, PostsInOrderOnTheNotifyQueue) {
  std::mutex mutex;
  std::vector<int> received;
  std::vector<std::thread::id> threads;
  auto& center = NotificationCenter::defaultCenter();
  auto token = center.addObserver("FileChanged", [&](const Notification& notification) {
    std::lock_guard lock(mutex);
    received.push_back(std::any_cast<int>(notification.object));
    threads.push_back(std::this_thread::get_id());
  });

  for (int i = 0; i < 50; ++i) QoNotify::notificationSendAsync("FileChanged", i);
  QoNotify::notifyQueue()->sync([] {});
  center.removeObserver(token);

  std::lock_guard lock(mutex);
  ASSERT_EQ(received.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(received[i], i);
  for (auto id : threads) EXPECT_NE(id, std::this_thread::get_id());
  QoNotify::resetNotifyQueue();
}

TEST(QoNotifyTest, TypedNoticesReachOnlyTheirOwnObservers) {
  std::vector<std::string> seen;
  auto offline = QoNotices::observe<notice::DeviceOffLine>(
      [&](const notice::DeviceOffLine& n) { seen.push_back("offline:" + std::to_string(n.devices.size())); });
  auto space = QoNotices::observe<notice::NotEnoughDeviceSpace>([&](const notice::NotEnoughDeviceSpace& n) {
    seen.push_back("space:" + std::to_string(n.available) + "/" + std::to_string(n.total));
  });
  // A notice posted by name with an object of another type is not handed to typed observers.
  QoNotify::notificationSendAsync("DeviceOffLine", 7);
  QoNotices::post(notice::DeviceOffLine{{nullptr, nullptr}});
  QoNotices::post(notice::NotEnoughDeviceSpace{10, 20});
  QoNotify::notifyQueue()->sync([] {});
  NotificationCenter::defaultCenter().removeObserver(offline);
  NotificationCenter::defaultCenter().removeObserver(space);
  EXPECT_EQ(seen, (std::vector<std::string>{"offline:2", "space:10/20"}));
}

}  // namespace
}  // namespace velbor
