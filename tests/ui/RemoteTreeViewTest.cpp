#include <QListWidget>

#include <vector>

#include "PairWindowTestBase.h"
#include "ui/PendingReplies.h"
#include "ui/QoRemoteTreeAddViewController.h"
#include "ui/QoRemoteTreeViewController.h"
#include "ui/QoRemoteTreeViewDelegate.h"

namespace velbor::test {
namespace {

struct SelectionLog : QoRemoteTreeViewDelegate {
  void rowSelection(const std::shared_ptr<pb::TreeInfo>& tree) override { trees.push_back(tree); }
  std::vector<std::shared_ptr<pb::TreeInfo>> trees;
};

class RemoteTreeViewTest : public PairWindowTestBase {
 protected:
  static QoMessage::Ptr treesReply(const std::vector<std::string>& roots) {
    pb::MsgTreeShowResponse response;
    for (const std::string& root : roots) *response.add_trees() = *treeInfo(root, QoUtils::generateUuid());
    return reply(pb::MsgCodeTreeShowResponse, response);
  }

  static std::vector<std::string> texts(const QoRemoteTreeViewController& view) {
    std::vector<std::string> shown;
    for (int i = 0; i < view.tableView()->count(); ++i)
      shown.push_back(view.tableView()->item(i)->text().toStdString());
    return shown;
  }
};

TEST_F(RemoteTreeViewTest, ListsTheTreesOfTheChosenDeviceFromItsReplyOnly) {
  const auto peer = remoteDevice("书房电脑");
  const auto other = remoteDevice("other");
  QoRemoteTreeViewController view;
  view.changeDevice(peer);
  const std::string first = "在“书房电脑”上创建新的同步目录";
  EXPECT_EQ(texts(view), std::vector<std::string>{first});

  // Another device's listing, then the awaited one, then a second one nobody asked for.
  QoNotices::post(notice::TreeShowRequest{treesReply({"/other/a"}), other});
  QoNotices::post(notice::TreeShowRequest{treesReply({"/home/u/照片", "/home/u/doc"}), peer});
  QoNotices::post(notice::TreeShowRequest{treesReply({"/stale"}), peer});
  drainNotices();
  EXPECT_EQ(texts(view), (std::vector<std::string>{first, "/home/u/照片", "/home/u/doc"}));
  ASSERT_EQ(view.items().size(), 3u);
  EXPECT_EQ(view.items()[1].tag, QStringLiteral("or"));
  EXPECT_EQ(view.items()[1].userInfo->tree_root(), "/home/u/照片");

  // After a change of device, the first device's late reply is stale.
  view.changeDevice(other);
  QoNotices::post(notice::TreeShowRequest{treesReply({"/late"}), peer});
  QoNotices::post(
      notice::TreeShowRequest{QoMessage::qoMessageErrorWithErrorCode(pb::ErrorCodeBadFormat, "bad format"), other});
  drainNotices();
  ASSERT_EQ(view.items().size(), 2u);
  EXPECT_EQ(view.items()[1].tag, QStringLiteral("er"));
}

TEST_F(RemoteTreeViewTest, DeviceThatDoesNotAnswerShowsTheTimeOut) {
  const auto peer = remoteDevice("peer");
  QoRemoteTreeViewController view;
  view.pendingReplies()->setTimeoutMs(50);
  view.changeDevice(peer);
  ASSERT_TRUE(spinUntil([&] { return view.items().size() == 2; }));
  EXPECT_EQ(view.items()[1].tag, QStringLiteral("er"));
  EXPECT_EQ(view.items()[1].text, QStringLiteral("等待设备应答超时"));
  // A reply after the time-out is stale.
  QoNotices::post(notice::TreeShowRequest{treesReply({"/late"}), peer});
  drainNotices();
  EXPECT_EQ(view.items().size(), 2u);
}

TEST_F(RemoteTreeViewTest, NewTreeMadeThroughTheFolderBrowserIsSelectedWithoutAClick) {
  const auto peer = remoteDevice("peer");
  SelectionLog log;
  QoRemoteTreeViewController view;
  view.setRemoteTreeViewDelegate(&log);
  view.show();
  view.changeDevice(peer);
  QoNotices::post(notice::TreeShowRequest{treesReply({"/home/u/a"}), peer});
  drainNotices();

  // The first row opens the folder browser.
  view.tableView()->setCurrentRow(0);
  ASSERT_TRUE(view.treeAddViewController());
  EXPECT_TRUE(view.treeAddViewController()->isVisible());
  ASSERT_EQ(log.trees.size(), 1u);
  EXPECT_FALSE(log.trees.back());

  view.remoteTreeAddButtonOk(QStringLiteral("/home/u/新建"));
  view.treeAddViewController()->cancel();
  EXPECT_TRUE(spinUntil([&] { return !view.treeAddViewController(); }));
  log.trees.clear();

  pb::MsgTreeAddResponse added;
  added.set_tree_uuid(QoUtils::generateUuid());
  QoNotices::post(notice::TreeAddRequest{reply(pb::MsgCodeTreeAddResponse, added), peer});
  drainNotices();
  QoNotices::post(notice::TreeShowRequest{treesReply({"/home/u/a", "/home/u/新建"}), peer});
  drainNotices();
  ASSERT_EQ(view.tableView()->currentRow(), 2);
  ASSERT_FALSE(log.trees.empty());
  ASSERT_TRUE(log.trees.back());
  EXPECT_EQ(log.trees.back()->tree_root(), "/home/u/新建");
  EXPECT_FALSE(view.selectedSyncdirCopyPath());
}

TEST_F(RemoteTreeViewTest, AHugeListOfTreesIsShown) {
  const auto peer = remoteDevice("peer");
  QoRemoteTreeViewController view;
  view.changeDevice(peer);
  std::vector<std::string> roots;
  for (int i = 0; i < 100000; ++i) roots.push_back("/home/u/" + std::to_string(i) + std::string(200, 'n'));
  QoNotices::post(notice::TreeShowRequest{treesReply(roots), peer});
  drainNotices();
  ASSERT_EQ(view.items().size(), 100001u);
  EXPECT_EQ(view.tableView()->item(100000)->text().toStdString(), roots.back());
}

}  // namespace
}  // namespace velbor::test
