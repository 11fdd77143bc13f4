#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QListView>
#include <QPixmap>
#include <QTranslator>
#include <QTreeView>

#include <filesystem>

#include "PairWindowTestBase.h"
#include "core/daemon/client/QoClient.h"
#include "ui/QoDeviceSelectController.h"
#include "ui/QoRemoteTreeAddViewController.h"
#include "ui/QoRemoteTreeViewController.h"
#include "ui/QoSyncAddController.h"
#include "ui/QtTranslation.h"
#include "ui/UiSpin.h"

namespace velbor::test {
namespace {

// Pictures of the pairing windows for a person to look at; they check that the windows
// render (Chinese included) and are not compared with anything.
class PairScreenshotTest : public PairWindowTestBase {
 protected:
  static void save(QWidget& window, const QString& name) {
    window.show();
    QApplication::processEvents();
    const QString dir = QStringLiteral(VELBOR_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    const QPixmap picture = window.grab();
    ASSERT_FALSE(picture.isNull());
    EXPECT_TRUE(picture.save(dir + QLatin1Char('/') + name));
  }
};

TEST_F(PairScreenshotTest, PairingWindows) {
  const auto peer = remoteDevice("书房电脑", true, true, 0);
  remoteDevice("客厅笔记本", true, true, 3);
  const std::string music = folder("音乐");
  QoClient::localTreeAddSyncUuid(std::nullopt, music, std::nullopt);

  {
    QoDeviceSelectController window;
    window.show();
    const QModelIndex peerRow = window.outlineView()->model()->index(3, 0);
    window.outlineView()->setCurrentIndex(peerRow);
    pb::MsgTreeShowResponse trees;
    *trees.add_trees() = *treeInfo("/home/lin/照片", QoUtils::generateUuid());
    *trees.add_trees() = *treeInfo("/home/lin/文档/项目", QoUtils::generateUuid());
    QoNotices::post(notice::TreeShowRequest{reply(pb::MsgCodeTreeShowResponse, trees), peer});
    drainNotices();
    window.rowSelection(window.remoteTreeView()->items()[1].userInfo);
    save(window, QStringLiteral("device-select.png"));
  }
  {
    QoRemoteTreeAddViewController window(std::make_shared<QoClient>(peer));
    window.show();
    window.requestRoots();
    pb::MsgListRootResponse roots;
    for (const auto& [target, type] :
         std::vector<std::pair<std::string, pb::RootType>>{{"/home/lin", pb::RootTypeHome},
                                                           {"/home/lin/图片", pb::RootTypePictures},
                                                           {"/home/lin/桌面", pb::RootTypeDesktop},
                                                           {"/home/lin/工作", pb::RootTypeGeneral}}) {
      pb::Root* root = roots.add_roots();
      root->set_target(target);
      root->set_type(type);
    }
    QoNotices::post(notice::ListRootRequest{reply(pb::MsgCodeListRootResponse, roots), peer});
    drainNotices();
    const QModelIndex work = window.outlineView()->model()->index(3, 0);
    window.outlineView()->expand(work);
    pb::MsgListResponse listing;
    listing.set_root("/home/lin/工作");
    for (const char* name : {"报告", "设计稿", "会议记录"}) {
      pb::FileStat* stat = listing.add_stats();
      stat->set_name(name);
      stat->set_type(pb::FileTypeDirectory);
      stat->set_length(0);
      stat->set_mtime(0);
      stat->set_attr(0755);
    }
    QoNotices::post(notice::ListRequest{reply(pb::MsgCodeListResponse, listing), peer});
    drainNotices();
    window.outlineView()->setCurrentIndex(window.outlineView()->model()->index(1, 0, work));
    save(window, QStringLiteral("remote-browse.png"));
  }
  {
    QoSyncAddController window;
    window.localFolderChosen(QString::fromStdString(folder("文档")));
    window.remoteTreeSelectedWithDevice(peer, treeInfo("/home/lin/文档/项目", QoUtils::generateUuid()));
    window.statusBarShow(true, true, QStringLiteral("正在创建同步关系..."));
    save(window, QStringLiteral("sync-add.png"));
    window.localFolderChosen(QString::fromStdString(music));
    window.remoteTreeSelectedWithDevice(local_, treeInfo(*QoSyncdirCopy::getSyncdirCopyWithPath(music, 0)));
    window.statusBarShow(false, false, QString());
    save(window, QStringLiteral("sync-add-refused.png"));
  }
}

TEST_F(PairScreenshotTest, FolderPicker) {
  QTranslator* translation = QtTranslation::install();
  ASSERT_NE(translation, nullptr);
  for (const char* name : {"文档", "图片", "音乐", "下载", "项目"})
    QDir().mkpath(QDir::home().filePath(QString::fromUtf8(name)));
  QoSyncAddController window;
  window.show();
  window.openFinder();
  auto* panel = window.findChild<QFileDialog*>(QStringLiteral("localFolderDialog"));
  ASSERT_TRUE(panel);
  panel->resize(720, 440);
  // The folder list is read on a thread of its own.
  auto* model = panel->findChild<QFileSystemModel*>();
  ASSERT_TRUE(model);
  EXPECT_TRUE(test::spinUntil([&] { return model->rowCount(model->index(QDir::homePath())) >= 5; }));
  save(*panel, QStringLiteral("folder-picker.png"));
  panel->reject();
  QCoreApplication::removeTranslator(translation);
  delete translation;
}

}  // namespace
}  // namespace velbor::test
