#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeView>

#include <vector>

#include "PairWindowTestBase.h"
#include "core/daemon/client/QoClient.h"
#include "ui/ChildNode.h"
#include "ui/PendingReplies.h"
#include "ui/QoRemoteTreeAddViewController.h"
#include "ui/QoRemoteTreeAddViewDelegate.h"

namespace velbor::test {
namespace {

struct PathLog : QoRemoteTreeAddViewDelegate {
  void remoteTreeAddButtonOk(const QString& path) override { paths.push_back(path); }
  std::vector<QString> paths;
};

class RemoteTreeAddViewTest : public PairWindowTestBase {
 protected:
  static QoMessage::Ptr rootsReply(const std::vector<std::pair<std::string, pb::RootType>>& roots) {
    pb::MsgListRootResponse response;
    for (const auto& [target, type] : roots) {
      pb::Root* root = response.add_roots();
      root->set_target(target);
      root->set_type(type);
    }
    return reply(pb::MsgCodeListRootResponse, response);
  }

  static QoMessage::Ptr listReply(const std::string& root, const std::vector<std::pair<std::string, bool>>& entries) {
    pb::MsgListResponse response;
    response.set_root(root);
    for (const auto& [name, isDirectory] : entries) {
      pb::FileStat* stat = response.add_stats();
      stat->set_name(name);
      stat->set_type(isDirectory ? pb::FileTypeDirectory : pb::FileTypeFile);
      stat->set_length(0);
      stat->set_mtime(0);
      stat->set_attr(0755);
    }
    return reply(pb::MsgCodeListResponse, response);
  }

  // Shows the window with the peer's one root "/home/u" and expands it (asking for its listing).
  static void showHomeExpanded(QoRemoteTreeAddViewController& window, const QoDevice::Ptr& peer) {
    window.show();
    window.requestRoots();
    QoNotices::post(notice::ListRootRequest{rootsReply({{"/home/u", pb::RootTypeHome}}), peer});
    drainNotices();
    ASSERT_EQ(window.nodeRoots().size(), 1u);
    window.outlineView()->expand(window.outlineView()->model()->index(0, 0));
  }

  static std::vector<std::string> titles(const BaseNode::List& nodes) {
    std::vector<std::string> shown;
    for (const auto& node : nodes) shown.push_back(node->nodeTitle().toStdString());
    return shown;
  }

  static std::vector<std::string> titles(const std::vector<std::shared_ptr<ChildNode>>& nodes) {
    return titles(BaseNode::List(nodes.begin(), nodes.end()));
  }
};

TEST_F(RemoteTreeAddViewTest, ShowsThePeersFoldersFromItsRepliesAndDropsStaleOnes) {
  const auto peer = remoteDevice("peer");
  const auto other = remoteDevice("other");
  PathLog log;
  QoRemoteTreeAddViewController window(std::make_shared<QoClient>(peer));
  window.setRemoteTreeAddViewDelegate(&log);
  window.show();
  window.requestRoots();
  EXPECT_FALSE(window.okButton()->isEnabled());

  QoNotices::post(notice::ListRootRequest{rootsReply({{"/elsewhere", pb::RootTypeHome}}), other});
  QoNotices::post(notice::ListRootRequest{rootsReply({{"/home/u", pb::RootTypeHome},
                                                      {"/home/u/Pictures", pb::RootTypePictures},
                                                      {"/home/u/工作", pb::RootTypeGeneral},
                                                      {"/data/盘", pb::RootTypeOther6}}),
                                          peer});
  drainNotices();
  EXPECT_EQ(titles(window.nodeRoots()), (std::vector<std::string>{"Home", "图片", "工作", "盘"}));

  // Opening a folder asks for it; only its own listing fills it, and only folders show.
  const QModelIndex work = window.outlineView()->model()->index(2, 0);
  window.outlineView()->expand(work);
  QoNotices::post(notice::ListRequest{listReply("/home/u/其他", {{"x", true}}), peer});
  QoNotices::post(notice::ListRequest{listReply("/home/u/工作", {{"x", true}}), other});
  QoNotices::post(
      notice::ListRequest{listReply("/home/u/工作", {{"a", true}, {"b.txt", false}, {"项目", true}}), peer});
  // Asked once, answered once: a second listing is stale.
  QoNotices::post(notice::ListRequest{listReply("/home/u/工作", {{"stale", true}}), peer});
  drainNotices();
  EXPECT_EQ(titles(window.nodeRoots()[2]->children()), (std::vector<std::string>{"a", "项目"}));
  EXPECT_TRUE(window.nodesMap().contains("/home/u/工作/项目"));
  EXPECT_FALSE(window.nodesMap().contains("/home/u/其他/x"));
  EXPECT_FALSE(window.okButton()->isEnabled());

  const QModelIndex project = window.outlineView()->model()->index(1, 0, work);
  ASSERT_TRUE(project.isValid());
  QTest::mouseClick(window.outlineView()->viewport(), Qt::LeftButton, {},
                    window.outlineView()->visualRect(project).center());
  EXPECT_EQ(window.pathTextField()->text(), QStringLiteral("/home/u/工作/项目"));
  ASSERT_TRUE(window.okButton()->isEnabled());
  QTest::mouseClick(window.okButton(), Qt::LeftButton);
  ASSERT_EQ(log.paths.size(), 1u);
  EXPECT_EQ(log.paths[0], QStringLiteral("/home/u/工作/项目"));
  EXPECT_FALSE(window.isVisible());
}

TEST_F(RemoteTreeAddViewTest, PeerThatDoesNotAnswerShowsTheTimeOut) {
  const auto peer = remoteDevice("peer");
  QoRemoteTreeAddViewController window(std::make_shared<QoClient>(peer));
  window.show();
  window.pendingReplies()->setTimeoutMs(50);
  window.requestRoots();
  ASSERT_TRUE(spinUntil([&] { return window.waitText()->isVisible(); }));
  EXPECT_EQ(window.waitText()->text(), QStringLiteral("等待设备应答超时"));
  QoNotices::post(notice::ListRootRequest{rootsReply({{"/home/u", pb::RootTypeHome}}), peer});
  drainNotices();
  EXPECT_TRUE(window.nodeRoots().empty());
  EXPECT_FALSE(window.okButton()->isEnabled());
}

TEST_F(RemoteTreeAddViewTest, NamesThatAreNoFolderOfTheListedOneAreDropped) {
  const auto peer = remoteDevice("peer");
  QoRemoteTreeAddViewController window(std::make_shared<QoClient>(peer));
  ASSERT_NO_FATAL_FAILURE(showHomeExpanded(window, peer));
  QoNotices::post(notice::ListRequest{listReply("/home/u", {{"", true},
                                                            {".", true},
                                                            {"..", true},
                                                            {"a/b", true},
                                                            {"/etc", true},
                                                            {std::string("x\0y", 3), true},
                                                            {"ok", true}}),
                                      peer});
  drainNotices();
  EXPECT_EQ(titles(window.nodeRoots()[0]->children()), (std::vector<std::string>{"ok"}));
  EXPECT_EQ(window.nodesMap().size(), 2u);
  EXPECT_TRUE(window.nodesMap().contains("/home/u/ok"));
}

TEST_F(RemoteTreeAddViewTest, AHugeListingIsShown) {
  const auto peer = remoteDevice("peer");
  QoRemoteTreeAddViewController window(std::make_shared<QoClient>(peer));
  ASSERT_NO_FATAL_FAILURE(showHomeExpanded(window, peer));
  std::vector<std::pair<std::string, bool>> entries;
  for (int i = 0; i < 100000; ++i) entries.emplace_back(std::to_string(i) + std::string(200, 'n'), true);
  QoNotices::post(notice::ListRequest{listReply("/home/u", entries), peer});
  drainNotices();
  EXPECT_EQ(window.nodeRoots()[0]->children().size(), 100000u);
  // The last folder can be reached and chosen.
  QTreeView* view = window.outlineView();
  const QModelIndex last = view->model()->index(99999, 0, view->model()->index(0, 0));
  view->scrollTo(last);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(last).center());
  EXPECT_EQ(window.pathTextField()->text().toStdString(), "/home/u/99999" + std::string(200, 'n'));
}

}  // namespace
}  // namespace velbor::test
