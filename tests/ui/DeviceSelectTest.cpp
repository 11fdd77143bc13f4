#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSplitter>
#include <QTest>
#include <QTreeView>

#include <optional>
#include <vector>

#include "PairWindowTestBase.h"
#include "core/daemon/client/QoClient.h"
#include "ui/ChildNode.h"
#include "ui/QoDeviceSelectController.h"
#include "ui/QoDeviceSelectDelegate.h"
#include "ui/QoRemoteTreeViewController.h"

namespace velbor::test {
namespace {

struct AnswerLog : QoDeviceSelectDelegate {
  void remoteTreeSelectedWithDevice(const std::shared_ptr<QoDevice>& device,
                                    const std::shared_ptr<pb::TreeInfo>& tree) override {
    answers.emplace_back(device, tree);
  }
  std::vector<std::pair<std::shared_ptr<QoDevice>, std::shared_ptr<pb::TreeInfo>>> answers;
};

class DeviceSelectTest : public PairWindowTestBase {
 protected:
  static std::vector<std::string> titles(const QoDeviceSelectController& window) {
    std::vector<std::string> shown;
    for (const auto& node : window.nodes()) shown.push_back(node->nodeTitle().toStdString());
    return shown;
  }

  static void clickRow(QoDeviceSelectController& window, int row) {
    QTreeView* view = window.outlineView();
    const QRect rect = view->visualRect(view->model()->index(row, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
  }

  static std::vector<std::string> treeTexts(const QoDeviceSelectController& window) {
    std::vector<std::string> shown;
    for (const auto& row : window.remoteTreeView()->items()) shown.push_back(row.text.toStdString());
    return shown;
  }
};

TEST_F(DeviceSelectTest, ListsThisDeviceAndTrustedOnlineDevicesAndFollowsTheEngine) {
  remoteDevice("客厅电脑");
  remoteDevice("not trusted", false, true);
  remoteDevice("offline", true, false);
  const std::string b = folder("b");
  QoClient::localTreeAddSyncUuid(std::nullopt, b, std::nullopt);

  QoDeviceSelectController window;
  window.show();
  EXPECT_EQ(titles(window), (std::vector<std::string>{"本机", local_->name(), "局域网设备", "客厅电脑"}));

  // Group rows cannot be chosen.
  clickRow(window, 0);
  EXPECT_FALSE(window.currentDeviceNode());
  EXPECT_TRUE(window.outlineView()->selectionModel()->selectedIndexes().isEmpty());

  // This device's trees come from its own handler.
  clickRow(window, 1);
  ASSERT_TRUE(window.currentDeviceNode());
  EXPECT_EQ(window.deviceTextField()->text().toStdString(), local_->name());
  ASSERT_TRUE(spinUntil([&] { return window.remoteTreeView()->items().size() == 2; }));
  EXPECT_EQ(treeTexts(window)[1], b);

  // A device coming online rebuilds the list; the chosen device stays chosen.
  remoteDevice("书房");
  QoNotices::post(notice::DeviceAddResponse{});
  drainNotices();
  EXPECT_EQ(titles(window), (std::vector<std::string>{"本机", local_->name(), "局域网设备", "客厅电脑", "书房"}));
  ASSERT_TRUE(window.currentDeviceNode());
  EXPECT_EQ(QoDeviceSelectController::deviceOf(*window.currentDeviceNode())->uuid(), local_->uuid());

  // Closed windows hear nothing more.
  window.clean();
  remoteDevice("later");
  QoNotices::post(notice::DeviceAddResponse{});
  drainNotices();
  EXPECT_EQ(window.nodes().size(), 5u);
}

TEST_F(DeviceSelectTest, ChoosingAnotherDeviceClearsTheTreeAndOkReportsTheChoice) {
  remoteDevice("peer");
  AnswerLog log;
  QoDeviceSelectController window;
  window.setDeviceSelectDelegate(&log);
  window.show();

  clickRow(window, 3);
  const auto tree = treeInfo("/home/u/doc", QoUtils::generateUuid());
  window.rowSelection(tree);
  EXPECT_EQ(window.syncdirTextField()->text(), QStringLiteral("/home/u/doc"));
  EXPECT_EQ(window.currentTreeNode(), tree);

  clickRow(window, 1);
  EXPECT_TRUE(window.syncdirTextField()->text().isEmpty());
  EXPECT_FALSE(window.currentTreeNode());

  QTest::mouseClick(window.okButton(), Qt::LeftButton);
  ASSERT_EQ(log.answers.size(), 1u);
  ASSERT_TRUE(log.answers[0].first);
  EXPECT_EQ(log.answers[0].first->uuid(), local_->uuid());
  EXPECT_FALSE(log.answers[0].second);
  EXPECT_FALSE(window.isVisible());
}

TEST_F(DeviceSelectTest, TheDeviceListKeepsItsWidthAndTheTreesStartRightAfterIt) {
  QoDeviceSelectController window;
  for (const QSize size : {QSize(600, 380), QSize(900, 500), QSize(480, 300)}) {
    window.resize(size);
    window.show();
    QApplication::processEvents();
    const QWidget* list = window.outlineView();
    const QWidget* trees = window.remoteTreeView()->parentWidget();
    const auto* split = qobject_cast<const QSplitter*>(list->parentWidget());
    ASSERT_TRUE(split != nullptr);
    EXPECT_EQ(list->width(), QoDeviceSelectController::kDeviceListWidth) << size.width();
    // No gap between the list, the divider and the trees; the trees take the rest.
    EXPECT_EQ(trees->x(), list->x() + list->width() + split->handleWidth()) << size.width();
    EXPECT_EQ(trees->x() + trees->width(), split->width()) << size.width();
  }
}

}  // namespace
}  // namespace velbor::test
