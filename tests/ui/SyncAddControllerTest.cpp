#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTranslator>

#include <filesystem>
#include <optional>

#include "PairWindowTestBase.h"
#include "QStringPrinter.h"
#include "core/daemon/client/QoClient.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "ui/QoDeviceSelectController.h"
#include "ui/QoSyncAddController.h"
#include "ui/QtTranslation.h"
#include "ui/StatusBar.h"
#include "ui/SyncAddImage.h"

namespace velbor::test {
namespace {

class SyncAddControllerTest : public PairWindowTestBase {
 protected:
  // Presses OK and waits for the linking to end; its outcome.
  static bool link(QoSyncAddController& window) {
    QSignalSpy finished(&window, &QoSyncAddController::linkFinished);
    QTest::mouseClick(window.okButton(), Qt::LeftButton);
    EXPECT_TRUE(spinUntil([&] { return finished.count() == 1; }));
    return finished.count() == 1 && finished.first().first().toBool();
  }

  static bool paired(const std::string& first, const std::string& second) {
    return QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstUuid(first, second) != nullptr;
  }
};

TEST_F(SyncAddControllerTest, LocalFolderIsPairedWithALocalTreeThroughTheDaemonOnlyAfterOk) {
  const std::string a = folder("a");
  const std::string b = folder("b");
  const auto added = QoClient::localTreeAddSyncUuid(std::nullopt, b, std::nullopt);
  const auto treeB = QoSyncdirCopy::getSyncdirCopyWithPath(b, 0);
  ASSERT_TRUE(treeB);

  QoSyncAddController window;
  window.show();
  EXPECT_FALSE(window.okButton()->isEnabled());
  window.localFolderChosen(QString::fromStdString(a + "/"));
  EXPECT_FALSE(window.okButton()->isEnabled());
  window.remoteTreeSelectedWithDevice(local_, treeInfo(*treeB));
  EXPECT_TRUE(window.okButton()->isEnabled());
  EXPECT_FALSE(window.alertText()->isVisible());
  EXPECT_EQ(window.localTextField()->text().toStdString(), a);
  EXPECT_EQ(window.remoteTextField()->text().toStdString(), b);
  EXPECT_EQ(window.deviceName()->text().toStdString(), local_->name());
  // Choosing stores nothing.
  EXPECT_FALSE(QoSyncdirCopy::getSyncdirCopyWithPath(a, 0));
  window.openRemoteTreeSelect();
  ASSERT_TRUE(window.deviceSelectorController());
  EXPECT_TRUE(window.deviceSelectorController()->isVisible());
  window.deviceSelectorController()->close();

  ASSERT_TRUE(link(window));
  const auto treeA = QoSyncdirCopy::getSyncdirCopyWithPath(a, 0);
  ASSERT_TRUE(treeA);
  EXPECT_EQ(treeA->syncdirUuid(), treeB->syncdirUuid());
  EXPECT_TRUE(paired(treeA->uuid(), treeB->uuid()));
  EXPECT_TRUE(paired(treeB->uuid(), treeA->uuid()));
  EXPECT_EQ(window.statusBar()->statusBarText()->text(), QStringLiteral("创建同步成功"));
  EXPECT_FALSE(window.okButton()->isEnabled());
  EXPECT_FALSE(window.localImageView()->isEnabled());
  EXPECT_FALSE(window.isVisible());

  // Once the window has closed, its device list no longer follows the engine.
  remoteDevice("later");
  QoNotices::post(notice::DeviceAddResponse{});
  drainNotices();
  EXPECT_EQ(window.deviceSelectorController()->nodes().size(), 3u);
}

TEST_F(SyncAddControllerTest, TreeOfAnotherSyncFolderJoinsOnlyAfterOkAndTakesAFreshSlot) {
  const std::string oldSync = QoUtils::generateUuid();
  const std::string newSync = QoUtils::generateUuid();
  const std::string a = folder("a");
  const auto oldTree = makeCopy(a, local_, oldSync);
  const auto treeB = makeCopy(folder("b"), local_, newSync);
  makeCopy(folder("c"), local_, newSync);
  ASSERT_EQ(oldTree->vcIndex(), 0);
  ASSERT_EQ(treeB->vcIndex(), 0);

  QoSyncAddController window;
  window.localFolderChosen(QString::fromStdString(a));
  window.remoteTreeSelectedWithDevice(local_, treeInfo(*treeB));
  EXPECT_TRUE(window.okButton()->isEnabled());
  // The user may still choose otherwise: the folder's tree stays in its sync folder.
  EXPECT_EQ(QoSyncdirCopy::getSyncdirCopyWithUuid(oldTree->uuid())->syncdirUuid(), oldSync);
  window.remoteTreeSelectedWithDevice(local_, nullptr);
  EXPECT_FALSE(window.okButton()->isEnabled());
  EXPECT_EQ(QoSyncdirCopy::getSyncdirCopyWithUuid(oldTree->uuid())->syncdirUuid(), oldSync);

  window.remoteTreeSelectedWithDevice(local_, treeInfo(*treeB));
  ASSERT_TRUE(link(window));
  const auto joined = QoSyncdirCopy::getSyncdirCopyWithPath(a, 0);
  ASSERT_TRUE(joined);
  EXPECT_EQ(joined->syncdirUuid(), newSync);
  // Slots 0 and 1 of the new sync folder are taken by b and c.
  EXPECT_EQ(joined->vcIndex(), 2);
  EXPECT_TRUE(paired(joined->uuid(), treeB->uuid()));
  // The old row keeps its slot in the old sync folder, off the device.
  const auto left = QoSyncdirCopy::getSyncdirCopyWithUuid(oldTree->uuid());
  ASSERT_TRUE(left);
  EXPECT_EQ(left->syncdirUuid(), oldSync);
  EXPECT_EQ(left->vcIndex(), 0);
  EXPECT_NE(left->uuid(), joined->uuid());
}

TEST_F(SyncAddControllerTest, InvalidChoiceIsRefusedWithItsReasonAndNothingIsStored) {
  const auto remote = remoteDevice("peer");
  const std::string oldSync = QoUtils::generateUuid();
  const std::string newSync = QoUtils::generateUuid();
  const std::string a = folder("a");
  const auto pairedTree = makeCopy(a, local_, oldSync);
  const auto remoteTree = makeCopy("/remote/a", remote, oldSync);
  auto relation = std::make_shared<QoSyncdirCopyRelation>();
  relation->setFirstSyncdirCopy(pairedTree);
  relation->setSecondSyncdirCopy(remoteTree);
  relation->save();
  const auto treeB = makeCopy(folder("b"), local_, newSync);

  QoSyncAddController window;
  window.show();
  const auto expectRefused = [&](const char* reason) {
    EXPECT_FALSE(window.okButton()->isEnabled());
    EXPECT_TRUE(window.alertText()->isVisible());
    EXPECT_TRUE(window.alertIcon()->isVisible());
    EXPECT_EQ(window.alertText()->text(), QString::fromUtf8(reason));
  };

  window.localFolderChosen(QString::fromStdString(treeB->path()));
  window.remoteTreeSelectedWithDevice(local_, treeInfo(*treeB));
  expectRefused("相同目录之间不能建立同步");

  window.localFolderChosen(QString::fromStdString(a));
  expectRefused("该目录已经和别的目录建立同步");
  EXPECT_EQ(QoSyncdirCopy::getSyncdirCopyWithUuid(pairedTree->uuid())->syncdirUuid(), oldSync);

  window.remoteTreeSelectedWithDevice(remote, treeInfo(*remoteTree));
  expectRefused("当前同步关系已存在");

  // A device without a tree resets the other side.
  window.remoteTreeSelectedWithDevice(remote, nullptr);
  EXPECT_FALSE(window.okButton()->isEnabled());
  EXPECT_EQ(window.remoteTextField()->text(), QStringLiteral("请选择远端的同步目录"));
  EXPECT_TRUE(window.deviceName()->text().isEmpty());
}

TEST_F(SyncAddControllerTest, OpenPanelAnswersWithTheFolderAndCancellingChangesNothing) {
  const std::string a = folder("本地");
  QoSyncAddController window;
  window.setWindowTitle(QStringLiteral("title"));
  window.show();
  const auto openPanel = [&] {
    QTest::mouseClick(window.localImageView(), Qt::LeftButton);
    auto* panel = window.findChild<QFileDialog*>(QStringLiteral("localFolderDialog"));
    EXPECT_TRUE(panel != nullptr);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("请选择一个本地目录"));
    return panel;
  };

  QFileDialog* panel = openPanel();
  ASSERT_TRUE(panel);
  panel->reject();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_FALSE(window.findChild<QFileDialog*>(QStringLiteral("localFolderDialog")));
  EXPECT_EQ(window.windowTitle(), QStringLiteral("title"));
  EXPECT_FALSE(window.currentLocalPath());

  panel = openPanel();
  ASSERT_TRUE(panel);
  panel->selectFile(QString::fromStdString(a));
  static_cast<QDialog*>(panel)->accept();
  EXPECT_EQ(window.windowTitle(), QStringLiteral("title"));
  ASSERT_TRUE(window.currentLocalPath());
  EXPECT_EQ(*window.currentLocalPath(), a);
  EXPECT_EQ(window.localTextField()->text().toStdString(), a);
}

// The folder picker starts in the user's home and speaks the program's language, as the
// program sets it up at start-up.
TEST_F(SyncAddControllerTest, FolderPickerOpensAtHomeInChinese) {
  QTranslator* translation = QtTranslation::install();
  ASSERT_NE(translation, nullptr) << "Qt's translations are not installed";
  QoSyncAddController window;
  window.show();
  QTest::mouseClick(window.localImageView(), Qt::LeftButton);
  auto* panel = window.findChild<QFileDialog*>(QStringLiteral("localFolderDialog"));
  ASSERT_TRUE(panel);
  EXPECT_EQ(QDir(panel->directory()).canonicalPath(), QDir(QDir::homePath()).canonicalPath());
  auto* buttons = panel->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
  ASSERT_TRUE(buttons);
  ASSERT_TRUE(buttons->button(QDialogButtonBox::Cancel));
  EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
  const QPushButton* choose = buttons->button(QDialogButtonBox::Open);
  ASSERT_TRUE(choose);
  EXPECT_FALSE(choose->text().contains(QStringLiteral("Choose"))) << choose->text().toStdString();
  auto* lookIn = panel->findChild<QLabel*>(QStringLiteral("lookInLabel"));
  ASSERT_TRUE(lookIn);
  EXPECT_NE(lookIn->text(), QStringLiteral("Look in:"));
  panel->reject();
  QCoreApplication::removeTranslator(translation);
  delete translation;
}

// Nothing is made unless OK is pressed: the cancel button and Escape only close the window.
TEST_F(SyncAddControllerTest, CancelAndEscapeCloseTheWindowWithoutLinking) {
  const std::string a = folder("本地");
  const auto peer = remoteDevice("书房电脑");
  for (const bool escape : {false, true}) {
    QoSyncAddController window;
    EXPECT_EQ(window.windowTitle(), QStringLiteral("添加同步关系"));
    window.show();
    window.localFolderChosen(QString::fromStdString(a));
    window.remoteTreeSelectedWithDevice(peer, treeInfo("/home/lin/文档", QoUtils::generateUuid()));
    ASSERT_TRUE(window.okButton()->isEnabled());
    ASSERT_TRUE(window.cancelButton()->isEnabled());
    QApplication::processEvents();
    // The two paths stand on one line.
    EXPECT_EQ(window.localTextField()->mapTo(&window, QPoint()).y(),
              window.remoteTextField()->mapTo(&window, QPoint()).y());
    if (escape) {
      QTest::keyClick(&window, Qt::Key_Escape);
    } else {
      QTest::mouseClick(window.cancelButton(), Qt::LeftButton);
    }
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.result(), QDialog::Rejected);
  }
  EXPECT_FALSE(QoSyncdirCopy::getSyncdirCopyWithPath(a, 0));
  EXPECT_TRUE(QoSyncdirCopyRelation::findByCriteria("").empty());
}

TEST_F(SyncAddControllerTest, AFolderChosenThroughALinkIsTheFolderItNames) {
  const std::string b = folder("b");
  QoClient::localTreeAddSyncUuid(std::nullopt, b, std::nullopt);
  const auto treeB = QoSyncdirCopy::getSyncdirCopyWithPath(b, 0);
  ASSERT_TRUE(treeB);
  const std::string a = folder("a");
  std::filesystem::create_directory_symlink(a, dir_ / "link-a");
  std::filesystem::create_directory_symlink(b, dir_ / "link-b");
  std::filesystem::create_directory_symlink(dir_.path(), dir_ / "parent");

  // The tree itself, reached through a link, is the same folder.
  QoSyncAddController window;
  window.localFolderChosen(QString::fromStdString((dir_ / "link-b").string()));
  window.remoteTreeSelectedWithDevice(local_, treeInfo(*treeB));
  EXPECT_FALSE(window.okButton()->isEnabled());
  EXPECT_EQ(window.alertText()->text(), QStringLiteral("相同目录之间不能建立同步"));

  // A linked folder, and one reached through a linked parent, is stored as the real folder,
  // and the mirror pairing names it so too.
  for (const std::filesystem::path& chosen : {dir_ / "link-a", dir_ / "parent" / "a"}) {
    window.localFolderChosen(QString::fromStdString(chosen.string()));
    EXPECT_EQ(window.localTextField()->text().toStdString(), a);
    ASSERT_TRUE(window.currentLocalPath());
    EXPECT_EQ(*window.currentLocalPath(), a);
  }
  ASSERT_TRUE(window.okButton()->isEnabled());
  ASSERT_TRUE(link(window));
  const auto treeA = QoSyncdirCopy::getSyncdirCopyWithPath(a, 0);
  ASSERT_TRUE(treeA);
  const auto mirror = QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstUuid(treeB->uuid(), treeA->uuid());
  ASSERT_TRUE(mirror);
  ASSERT_TRUE(mirror->secondSyncdirCopy());
  EXPECT_EQ(mirror->secondSyncdirCopy()->path(), a);
}

TEST_F(SyncAddControllerTest, AFolderInsideOrAroundATreeOfTheSameSyncFolderIsRefused) {
  const std::string b = folder("b");
  QoClient::localTreeAddSyncUuid(std::nullopt, b, std::nullopt);
  const auto treeB = QoSyncdirCopy::getSyncdirCopyWithPath(b, 0);
  ASSERT_TRUE(treeB);
  for (const std::string& chosen : {folder("b/inner"), dir_.path().string()}) {
    QoSyncAddController window;
    window.localFolderChosen(QString::fromStdString(chosen));
    window.remoteTreeSelectedWithDevice(local_, treeInfo(*treeB));
    if (window.okButton()->isEnabled()) {
      EXPECT_FALSE(link(window)) << chosen;
      EXPECT_EQ(window.statusBar()->statusBarText()->text(), QStringLiteral("创建同步目录出错！!"));
    }
    EXPECT_FALSE(QoSyncdirCopy::getSyncdirCopyWithPath(chosen, 0)) << chosen;
  }
  EXPECT_TRUE(treeB->getAllSyncdirCopyRelations().empty());
}

TEST_F(SyncAddControllerTest, LinkingFailuresStopTheRunAndSaySo) {
  // A folder that is gone by the time OK is pressed: the tree handler refuses it.
  {
    QoSyncAddController window;
    const auto treeB = makeCopy(folder("b"), local_, QoUtils::generateUuid());
    window.localFolderChosen(QString::fromStdString((dir_ / "missing").string()));
    window.remoteTreeSelectedWithDevice(local_, treeInfo(*treeB));
    ASSERT_TRUE(window.okButton()->isEnabled());
    EXPECT_FALSE(link(window));
    EXPECT_EQ(window.statusBar()->statusBarText()->text(), QStringLiteral("创建同步目录出错！!"));
    EXPECT_FALSE(window.okButton()->isEnabled());
  }
  // A device that never answers: the mirror pairing runs out of time, the local one stays.
  {
    const auto silent = remoteDevice("silent");
    silent->setRouteUri("tcp://127.0.0.1:1");
    silent->setPubKey(local_->pubKey());
    silent->save();
    const std::string sync = QoUtils::generateUuid();
    const auto tree = treeInfo("/remote/x", sync);
    const std::string a = folder("a");
    QoSyncAddController window;
    window.localFolderChosen(QString::fromStdString(a));
    window.remoteTreeSelectedWithDevice(silent, tree);
    ASSERT_TRUE(window.okButton()->isEnabled());
    EXPECT_FALSE(link(window));
    EXPECT_EQ(window.statusBar()->statusBarText()->text(), QStringLiteral("创建同步目录失败（设备没有应答）"));
    const auto treeA = QoSyncdirCopy::getSyncdirCopyWithPath(a, 0);
    ASSERT_TRUE(treeA);
    EXPECT_TRUE(paired(treeA->uuid(), tree->tree_uuid()));
  }
}

}  // namespace
}  // namespace velbor::test
