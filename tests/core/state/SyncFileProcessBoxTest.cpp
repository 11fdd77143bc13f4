#include "core/state/SyncFileProcessBox.h"

#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "core/state/QoNotices.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"

namespace velbor {
namespace {

TEST(SyncFileProcessBoxTest, SpeedAndRemainingTime) {
  struct Case {
    double timeStart;
    int64_t currentSize, total;
    double now;
    const char* speed;  // nullptr: not checked
    const char* remain;
  };
  const Case cases[] = {
      {100, 2048, 10240, 102, "1.00KB/s", "8秒"},
      {0, 1, 3726, 1, "1.00B/s", "1小时2分5秒"},
      {0, 1, 126, 1, nullptr, "2分5秒"},
      {0, 3 * 1048576, 3 * 1048576, 2, "1.50MB/s", "0秒"},
      {0, 5000, 1000, 1, nullptr, "0秒"},  // more received than announced: no negative remainder
      // No speed gives no remaining time: nothing elapsed, or nothing received.
      {100, 0, 10240, 100, "0.00B/s", "0秒"},
      {100, 4096, 10240, 100, "0.00B/s", "0秒"},
      {100, 0, 10240, 105, nullptr, "0秒"},
  };
  for (const Case& c : cases) {
    auto box = SyncFileProcessBox::boxWithStatus(SyncFileDownloadBegin);
    box->timeStart = c.timeStart;
    box->currentSize = c.currentSize;
    box->total = c.total;
    box->getSpeedDescriptionByCurrentTime(c.now);
    if (c.speed) {
      EXPECT_EQ(box->statusString, c.speed) << &c - cases;
    }
    EXPECT_EQ(box->remainTime, c.remain) << &c - cases;
  }
}

TEST(SyncFileProcessBoxTest, EveryNoticeCarriesItsOwnRecord) {
  std::vector<std::shared_ptr<SyncFileProcessBox>> received;
  std::vector<std::string> pathsSeen;
  auto& center = NotificationCenter::defaultCenter();
  auto token = QoNotices::observe<notice::SyncFileProcess>([&](const notice::SyncFileProcess& notification) {
    const auto& box = notification.box;
    received.push_back(box);
    pathsSeen.push_back(box->downloadFilePath);  // read when delivered
  });

  SyncFileProcessBox::sendSyncFileIndexPrepare(nullptr);
  SyncFileProcessBox::sendSyncFileIndexBegin(nullptr, 3);
  SyncFileProcessBox::sendSyncFileIndexing(nullptr, "/a");
  SyncFileProcessBox::sendSyncFileIndexing(nullptr, "/b");
  SyncFileProcessBox::sendSyncFileIndexing(nullptr, "/c");
  SyncFileProcessBox::sendSyncFileIndexEnd(nullptr);
  SyncFileProcessBox::sendSyncFileDownloadBegin(nullptr, 4096, 7);
  SyncFileProcessBox::sendSyncFileDownloading(nullptr, "/d", 512);
  SyncFileProcessBox::sendSyncFileDownloadEnd(nullptr);
  QoNotify::notifyQueue()->sync([] {});
  center.removeObserver(token);

  ASSERT_EQ(received.size(), 9u);
  std::vector<int> statuses;
  for (auto& box : received) statuses.push_back(box->status);
  EXPECT_EQ(statuses, (std::vector<int>{0, 1, 2, 2, 2, 3, 4, 5, 9}));
  EXPECT_EQ(received[1]->total, 3);
  EXPECT_EQ((std::vector<std::string>(pathsSeen.begin() + 2, pathsSeen.begin() + 5)),
            (std::vector<std::string>{"/a", "/b", "/c"}));
  EXPECT_NE(received[2], received[3]);
  EXPECT_EQ(received[2]->downloadFilePath, "/a");

  auto begin = received[6];
  EXPECT_EQ(begin->total, 4096);
  EXPECT_EQ(begin->fileCount, 7);
  EXPECT_EQ(begin->currentFileCount, 7);
  EXPECT_GT(begin->timeStart, 0);
  EXPECT_EQ(begin->currentSize, 0);
  EXPECT_EQ(received[7]->downloadLength, 512);
  EXPECT_GT(received[7]->currentTime, 0);
  QoNotify::resetNotifyQueue();
}

}  // namespace
}  // namespace velbor
