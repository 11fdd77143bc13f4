#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QMessageBox>
#include <QUrl>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>

#include <gtest/gtest.h>

#include "OpenedUrls.h"
#include "PlainTextCheck.h"
#include "ui/UiSpin.h"

#include "QStringPrinter.h"

#include "core/daemon/router/PairingFixture.h"
#include "core/entity/QoDevice.h"
#include "core/state/QoNotices.h"
#include "core/state/SyncFileProcessBox.h"
#include "core/state/SyncdirPresence.h"
#include "core/utils/QoUtils.h"
#include "platform/Dispatch.h"
#include "support/FreshState.h"
#include "ui/ChildNodeModel.h"
#include "ui/MainThread.h"
#include "ui/NamedImage.h"
#include "ui/OpenMessageBox.h"
#include "ui/QoTreeController.h"
#include "ui/QoTreeTextAndImageCell.h"

namespace velbor {
namespace {

using test::spinUntil;

class TreeControllerTest : public test::LocalDeviceTest {
 protected:
  // Posts the progress of one file of `relation`'s pull, `seconds` from now; answers the notice.
  static std::shared_ptr<SyncFileProcessBox> postDownloading(const std::shared_ptr<QoSyncdirCopyRelation>& relation,
                                                             const std::string& path, int64_t length, int seconds) {
    auto part = SyncFileProcessBox::boxWithStatus(SyncFileDownloading);
    part->relation = relation;
    part->downloadFilePath = path;
    part->downloadLength = length;
    part->currentTime = SyncFileProcessBox::timeNow() + seconds;
    QoNotices::post(notice::SyncFileProcess{part});
    return part;
  }

  // Two local copies; the first paired with copies on two devices.
  void makeTrees() {
    const std::string syncUuid = QoUtils::generateUuid();
    documents_ = makeCopy("/home/me/文档", local_, syncUuid);
    photos_ = makeCopy("/home/me/照片", local_, QoUtils::generateUuid());
    study_ = pair(documents_, makeCopy("/Users/he/文档", remoteDevice("书房的电脑"), syncUuid));
    phone_ = pair(documents_, makeCopy("/sdcard/文档", remoteDevice("手机", true, true, 2), syncUuid));
  }

  // Shows the pane (its rows are read then) and waits for its `rows` top rows.
  static bool shownWithRows(QoTreeController& pane, int rows) {
    pane.show();
    return spinUntil([&] { return pane.model()->rowCount() == rows; });
  }

  static QStringList rowTitles(const ChildNodeModel& model, const QModelIndex& parent = {}) {
    QStringList titles;
    for (int row = 0; row < model.rowCount(parent); ++row) titles << model.index(row, 0, parent).data().toString();
    return titles;
  }

  // The transfer text the row cell shows for a pairing row.
  static QString transferShown(QoTreeController& pane, const QModelIndex& row) {
    auto* cell = static_cast<QoTreeTextAndImageCell*>(pane.outlineView()->itemDelegateForColumn(0));
    cell->fillForIndex(row);
    return cell->downloadImage().isNull() ? QString() : cell->downloadSpeed();
  }

  static void answer(QoTreeController& pane, const QString& button) {
    QMessageBox* box = nullptr;
    ASSERT_TRUE(spinUntil([&] { return (box = test::openMessageBox(&pane, "deleteConfirmation")) != nullptr; }));
    for (QAbstractButton* each : box->buttons()) {
      if (each->text() == button) each->click();
    }
  }

  QoSyncdirCopy::Ptr documents_, photos_;
  std::shared_ptr<QoSyncdirCopyRelation> study_, phone_;
};

// The main window, and this pane in it, is made before the engine has checked its database:
// nothing may be read before the pane is shown.
TEST_F(TreeControllerTest, APaneNotYetShownReadsNothing) {
  makeTrees();
  QoTreeController pane;
  ChildNodeModel& model = *pane.model();
  const auto second = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  spinUntil([&] { return std::chrono::steady_clock::now() >= second; });
  EXPECT_EQ(model.rowCount(), 0);
  pane.show();
  EXPECT_TRUE(spinUntil([&] { return model.rowCount() == 2; }));
}

TEST_F(TreeControllerTest, RowsFollowTheTreesAndPairingsInTheDatabase) {
  makeTrees();
  makeCopy("/elsewhere/not-local", remoteDevice("别人"), QoUtils::generateUuid());
  QoTreeController pane;
  ChildNodeModel& model = *pane.model();
  ASSERT_TRUE(shownWithRows(pane, 2));
  EXPECT_EQ(rowTitles(model), QStringList({"/home/me/文档", "/home/me/照片"}));
  const QModelIndex tree = model.index(0, 0);
  EXPECT_EQ(rowTitles(model, tree), QStringList({"/Users/he/文档", "/sdcard/文档"}));
  auto* pairRow = static_cast<ChildNode*>(ChildNodeModel::nodeAt(model.index(0, 0, tree)));
  EXPECT_TRUE(pairRow->isLeaf());
  EXPECT_TRUE(pairRow->children().empty());
  EXPECT_EQ(pairRow->tag(), 0u);
  EXPECT_EQ(static_cast<ChildNode*>(ChildNodeModel::nodeAt(tree))->tag(), 1u);
  EXPECT_TRUE(pane.outlineView()->isExpanded(tree));

  auto* cell = static_cast<QoTreeTextAndImageCell*>(pane.outlineView()->itemDelegateForColumn(0));
  cell->fillForIndex(model.index(0, 0, tree));
  EXPECT_EQ(cell->cellType(), 0);
  EXPECT_EQ(cell->deviceTitle(), "书房的电脑");
  EXPECT_TRUE(cell->downloadImage().isNull());

  // A tree added elsewhere shows up once its notice arrives.
  auto added = makeCopy("/home/me/音乐", local_, QoUtils::generateUuid());
  QoNotices::post(notice::TreeAddResponse{added});
  EXPECT_TRUE(spinUntil([&] { return model.rowCount() == 3; }));
  // One stored without a notice while the pane is closed shows once it is opened again.
  pane.hide();
  makeCopy("/home/me/视频", local_, QoUtils::generateUuid());
  EXPECT_EQ(model.rowCount(), 3);
  pane.show();
  EXPECT_TRUE(spinUntil([&] { return model.rowCount() == 4; }));
}

TEST_F(TreeControllerTest, ProgressNoticesReachTheRowOfTheirOwnPairing) {
  makeTrees();
  QoTreeController pane;
  ChildNodeModel& model = *pane.model();
  ASSERT_TRUE(shownWithRows(pane, 2));
  const QModelIndex study = model.index(0, 0, model.index(0, 0));
  const QModelIndex phone = model.index(1, 0, model.index(0, 0));

  SyncFileProcessBox::sendSyncFileDownloadBegin(study_, 4096, 2);
  SyncFileProcessBox::sendSyncFileDownloadBegin(phone_, 100, 1);
  postDownloading(study_, "/Users/he/文档/报告.pdf", 2048, 2);

  ASSERT_TRUE(spinUntil([&] { return transferShown(pane, study).contains("剩余"); }));
  EXPECT_EQ(transferShown(pane, phone), "有文件更新");
  EXPECT_TRUE(spinUntil([&] { return pane.repaintCount() > 0; }));

  SyncFileProcessBox::sendSyncFileDownloadEnd(phone_);
  EXPECT_TRUE(spinUntil([&] { return transferShown(pane, phone).startsWith("同步完成于"); }));
  EXPECT_TRUE(transferShown(pane, study).contains("剩余"));

  // The local copy's indexing shows on its tree row.
  SyncFileProcessBox::sendSyncFileIndexPrepare(photos_);
  auto* cell = static_cast<QoTreeTextAndImageCell*>(pane.outlineView()->itemDelegateForColumn(0));
  EXPECT_TRUE(spinUntil([&] {
    cell->fillForIndex(model.index(1, 0));
    return cell->indexTitle() == "正在准备索引...";
  }));
}

TEST_F(TreeControllerTest, TheRowsOfAFolderThatIsNotThereSaySo) {
  makeTrees();
  QoTreeController pane;
  ChildNodeModel& model = *pane.model();
  ASSERT_TRUE(shownWithRows(pane, 2));
  const QModelIndex tree = model.index(0, 0);
  const QModelIndex study = model.index(0, 0, tree);
  auto* cell = static_cast<QoTreeTextAndImageCell*>(pane.outlineView()->itemDelegateForColumn(0));
  const auto redDot = [&] {
    return cell->downloadImage().pixmap(16).toImage() == NamedImage::imageNamed("unavailable", 16).toImage();
  };
  SyncFileProcessBox::sendSyncFileDownloadBegin(study_, 10, 1);
  SyncFileProcessBox::sendSyncFileDownloadEnd(study_);
  ASSERT_TRUE(spinUntil([&] { return transferShown(pane, study).startsWith("同步完成于"); }));

  // The copy's disk is not mounted: no folder stands at its path.
  const int repaints = pane.repaintCount();
  EXPECT_FALSE(SyncdirPresence::shared().check(documents_));
  EXPECT_TRUE(spinUntil([&] { return pane.repaintCount() > repaints; })) << "the rows are drawn again at once";
  EXPECT_EQ(transferShown(pane, study), "同步文件夹不在") << "not an idle pairing that synced a while ago";
  EXPECT_TRUE(redDot());
  cell->fillForIndex(tree);
  EXPECT_EQ(cell->indexTitle(), "同步文件夹不在");
  cell->fillForIndex(model.index(1, 0));
  EXPECT_EQ(cell->indexTitle(), "") << "another copy's row says nothing of it";

  // Its folder is back: the rows show the pairing as before.
  const std::string folder = (home_.path() / "文档").string();
  std::filesystem::create_directories(folder);
  documents_->setPath(folder);
  documents_->save();
  EXPECT_TRUE(SyncdirPresence::shared().check(documents_));
  EXPECT_TRUE(spinUntil([&] { return transferShown(pane, study).startsWith("同步完成于"); }));
  EXPECT_FALSE(redDot());
  cell->fillForIndex(tree);
  EXPECT_EQ(cell->indexTitle(), "");
}

TEST_F(TreeControllerTest, DeletingGoesThroughTheDaemonAndItsNotices) {
  makeTrees();
  std::mutex mutex;
  int treeDeletes = 0;
  int syncDeletes = 0;
  const auto treeToken = QoNotices::observe<notice::TreeDeleteResponse>([&](const auto&) {
    std::lock_guard lock(mutex);
    ++treeDeletes;
  });
  const auto syncToken = QoNotices::observe<notice::SyncDeleteResponse>([&](const auto&) {
    std::lock_guard lock(mutex);
    ++syncDeletes;
  });
  auto counted = [&](int& count) {
    std::lock_guard lock(mutex);
    return count;
  };

  QoTreeController pane;
  ChildNodeModel& model = *pane.model();
  ASSERT_TRUE(shownWithRows(pane, 2));

  pane.delTree();  // nothing clicked: nothing asked
  EXPECT_EQ(test::openMessageBox(&pane, "deleteConfirmation"), nullptr);

  // Cancelling a pairing's deletion keeps it.
  const QModelIndex study = model.index(0, 0, model.index(0, 0));
  pane.setCurrentNode(std::static_pointer_cast<ChildNode>(ChildNodeModel::nodeAt(study)->shared_from_this()));
  pane.delTree();
  QMessageBox* box = test::openMessageBox(&pane, "deleteConfirmation");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), "是否要删除“/home/me/文档”与\n设备“书房的电脑”上“/Users/he/文档”的同步关系？");
  answer(pane, "取消");
  spinUntil([&] { return test::openMessageBox(&pane, "deleteConfirmation") == nullptr; });
  EXPECT_EQ(documents_->getAllSyncdirCopyRelations().size(), 2u);

  pane.setCurrentNode(std::static_pointer_cast<ChildNode>(ChildNodeModel::nodeAt(study)->shared_from_this()));
  pane.delTree();
  answer(pane, "确定");
  ASSERT_TRUE(spinUntil([&] { return counted(syncDeletes) == 1 && model.rowCount(model.index(0, 0)) == 1; }));
  EXPECT_EQ(rowTitles(model, model.index(0, 0)), QStringList({"/sdcard/文档"}));

  // A tree that still has a pairing goes, pairing and all, with the notice the monitor follows.
  pane.setCurrentNode(
      std::static_pointer_cast<ChildNode>(ChildNodeModel::nodeAt(model.index(0, 0))->shared_from_this()));
  pane.delTree();
  EXPECT_EQ(test::openMessageBox(&pane, "deleteConfirmation")->text(), "是否要删除同步目录“/home/me/文档”？");
  answer(pane, "确定");
  ASSERT_TRUE(spinUntil([&] { return counted(treeDeletes) == 1 && model.rowCount() == 1; }));
  EXPECT_EQ(rowTitles(model), QStringList({"/home/me/照片"}));
  EXPECT_EQ(counted(syncDeletes), 2);
  EXPECT_EQ(QoSyncdirCopy::getSyncdirCopyWithUuid(documents_->uuid())->device(), nullptr);
  EXPECT_EQ(pane.currentNode(), nullptr);

  NotificationCenter::defaultCenter().removeObserver(treeToken);
  NotificationCenter::defaultCenter().removeObserver(syncToken);
}

TEST_F(TreeControllerTest, DeleteConfirmationsShowPathsAndDeviceNamesAsText) {
  const std::string syncUuid = QoUtils::generateUuid();
  const std::string name = test::markupName().toStdString();
  const auto tree = makeCopy("/home/me/" + name, local_, syncUuid);
  pair(tree, makeCopy("/remote/" + name, remoteDevice(name), syncUuid));

  QoTreeController pane;
  // Its rows are read when it is shown.
  pane.show();
  ChildNodeModel& model = *pane.model();
  ASSERT_TRUE(spinUntil([&] { return model.rowCount() == 1 && model.rowCount(model.index(0, 0)) == 1; }));
  for (const QModelIndex& row : {model.index(0, 0), model.index(0, 0, model.index(0, 0))}) {
    pane.setCurrentNode(std::static_pointer_cast<ChildNode>(ChildNodeModel::nodeAt(row)->shared_from_this()));
    pane.delTree();
    QMessageBox* box = nullptr;
    ASSERT_TRUE(spinUntil([&] { return (box = test::openMessageBox(&pane, "deleteConfirmation")) != nullptr; }));
    EXPECT_EQ(test::labelsReadingMarkup(box, test::markupName()), QStringList()) << box->text().toStdString();
    answer(pane, "取消");
    ASSERT_TRUE(spinUntil([&] { return test::openMessageBox(&pane, "deleteConfirmation") == nullptr; }));
  }
}

TEST_F(TreeControllerTest, FastNoticesAreRepaintedTogether) {
  makeTrees();
  QoTreeController pane;
  ASSERT_TRUE(shownWithRows(pane, 2));

  // A hundred parts handled while the main loop is busy elsewhere...
  SyncFileProcessBox::sendSyncFileDownloadBegin(study_, 1 << 20, 100);
  for (int i = 0; i < 100; ++i) SyncFileProcessBox::sendSyncFileDownloading(study_, "/Users/he/文档/a.bin", 1024);
  std::promise<void> drained;
  const auto token =
      NotificationCenter::defaultCenter().addObserver("drained", [&](const Notification&) { drained.set_value(); });
  QoNotify::notificationSendAsync("drained", {});
  drained.get_future().wait();  // observers run in posting order: every part has been handled
  NotificationCenter::defaultCenter().removeObserver(token);

  // ...make one repaint, not a hundred.
  ASSERT_TRUE(spinUntil([&] { return pane.repaintCount() > 0; }));
  QApplication::processEvents();
  EXPECT_EQ(pane.repaintCount(), 1);
  EXPECT_EQ(pane.progress().transferEntry(study_->relationHash())->box.currentSize, 100 * 1024);
}

TEST_F(TreeControllerTest, DoubleClickOnATreeRowShowsTheCopy) {
  makeTrees();
  qunsetenv("DBUS_SESSION_BUS_ADDRESS");
  test::OpenedUrls opened;
  QDesktopServices::setUrlHandler("file", &opened, "open");
  QoTreeController pane;
  ChildNodeModel& model = *pane.model();
  ASSERT_TRUE(shownWithRows(pane, 2));

  emit pane.outlineView()->doubleClicked(model.index(0, 0, model.index(0, 0)));  // a pairing row
  emit pane.outlineView()->doubleClicked(model.index(1, 0));
  ASSERT_TRUE(spinUntil([&] { return !opened.urls.isEmpty(); }));
  QApplication::processEvents();
  EXPECT_EQ(opened.urls, QList<QUrl>({QUrl::fromLocalFile("/home/me/照片")}));
  QDesktopServices::unsetUrlHandler("file");
}

TEST_F(TreeControllerTest, DeleteQuestionsSayWhatTheyDelete) {
  makeTrees();
  QoTreeController pane;
  ChildNodeModel& model = *pane.model();
  ASSERT_TRUE(shownWithRows(pane, 2));
  const QModelIndex tree = model.index(0, 0);
  for (const auto& [row, title] :
       {std::pair{tree, QString("删除同步目录")}, std::pair{model.index(0, 0, tree), QString("删除同步关系")}}) {
    pane.setCurrentNode(std::static_pointer_cast<ChildNode>(ChildNodeModel::nodeAt(row)->shared_from_this()));
    pane.delTree();
    QMessageBox* box = nullptr;
    ASSERT_TRUE(spinUntil([&] { return (box = test::openMessageBox(&pane, "deleteConfirmation")) != nullptr; }));
    EXPECT_EQ(box->windowTitle(), title);
    answer(pane, "取消");
    ASSERT_TRUE(spinUntil([&] { return test::openMessageBox(&pane, "deleteConfirmation") == nullptr; }));
  }
  EXPECT_EQ(documents_->getAllSyncdirCopyRelations().size(), 2u);
}

TEST_F(TreeControllerTest, DoubleClickWithNoWayToShowTheFolderTellsTheUser) {
  makeTrees();
  // No session bus, and nothing on this platform that opens folders.
  qunsetenv("DBUS_SESSION_BUS_ADDRESS");
  QoTreeController pane;
  ChildNodeModel& model = *pane.model();
  ASSERT_TRUE(shownWithRows(pane, 2));
  emit pane.outlineView()->doubleClicked(model.index(0, 0, model.index(0, 0)));  // a pairing row: nothing to show
  QApplication::processEvents();
  EXPECT_EQ(test::openMessageBox(&pane, "openFailedAlert"), nullptr);

  emit pane.outlineView()->doubleClicked(model.index(1, 0));
  QMessageBox* box = nullptr;
  ASSERT_TRUE(spinUntil([&] { return (box = test::openMessageBox(&pane, "openFailedAlert")) != nullptr; }));
  EXPECT_EQ(box->text(), "无法在文件管理器中打开“/home/me/照片”。");
  EXPECT_FALSE(box->windowTitle().isEmpty());
  ASSERT_EQ(box->buttons().size(), 1);
  box->buttons().front()->click();
  EXPECT_TRUE(spinUntil([&] { return test::openMessageBox(&pane, "openFailedAlert") == nullptr; }));

  // A folder name is shown as it is, never read as markup.
  makeCopy("/home/me/" + test::markupName().toStdString(), local_, QoUtils::generateUuid());
  QoNotices::post(notice::TreeAddResponse{});
  ASSERT_TRUE(spinUntil([&] { return model.rowCount() == 3; }));
  QModelIndex marked;
  for (int row = 0; row < model.rowCount(); ++row) {
    if (model.index(row, 0).data().toString().contains(test::markupName())) marked = model.index(row, 0);
  }
  ASSERT_TRUE(marked.isValid());
  emit pane.outlineView()->doubleClicked(marked);
  ASSERT_TRUE(spinUntil([&] { return (box = test::openMessageBox(&pane, "openFailedAlert")) != nullptr; }));
  EXPECT_EQ(test::labelsReadingMarkup(box, test::markupName()), QStringList());
  box->buttons().front()->click();
}

// The end of a pull shows however its notices come: a part posted after the end (as a slow
// poster could) does not bring the transfer back.
TEST_F(TreeControllerTest, AFinishedPullShowsItsCompletionWhateverComesAfterItsEnd) {
  makeTrees();
  QoTreeController pane;
  pane.resize(760, 260);
  ChildNodeModel& model = *pane.model();
  ASSERT_TRUE(shownWithRows(pane, 2));
  const QModelIndex study = model.index(0, 0, model.index(0, 0));
  const QModelIndex phone = model.index(1, 0, model.index(0, 0));

  SyncFileProcessBox::sendSyncFileDownloadBegin(study_, 3400, 1);
  auto part = postDownloading(study_, "/Users/he/文档/会议记录.txt", 3400, 1);
  SyncFileProcessBox::sendSyncFileDownloadFileDown(study_, "/home/me/文档/会议记录.txt");
  SyncFileProcessBox::sendSyncFileDownloadEnd(study_);
  auto late = SyncFileProcessBox::boxWithStatus(SyncFileDownloading);
  *late = *part;
  late->downloadLength = 0;
  late->currentTime = part->currentTime + 1;
  QoNotices::post(notice::SyncFileProcess{late});
  SyncFileProcessBox::sendSyncFileDownloadBegin(phone_, 1 << 20, 3);
  QoNotify::notifyQueue()->sync([] {});

  EXPECT_TRUE(transferShown(pane, study).startsWith("同步完成于")) << transferShown(pane, study).toStdString();
  EXPECT_EQ(transferShown(pane, phone), "有文件更新");

  // For a person to look at: the finished pull, and the other pairing selected.
  pane.outlineView()->setCurrentIndex(phone);
  spinUntil([&] { return pane.repaintCount() > 0; });
  QApplication::processEvents();
  QDir().mkpath(VELBOR_SCREENSHOT_DIR);
  EXPECT_TRUE(pane.grab().save(QString(VELBOR_SCREENSHOT_DIR) + "/tree-window-pull-ended.png"));
}

// The age of a completion ("N分钟前") is drawn afresh now and then, with no notice to
// cause a repaint.
TEST_F(TreeControllerTest, TheAgeOfACompletionIsKeptCurrentWithoutNotices) {
  makeTrees();
  QoTreeController pane;
  ASSERT_TRUE(shownWithRows(pane, 2));
  SyncFileProcessBox::sendSyncFileDownloadBegin(study_, 10, 1);
  SyncFileProcessBox::sendSyncFileDownloadEnd(study_);
  QoNotify::notifyQueue()->sync([] {});
  ASSERT_TRUE(spinUntil([&] { return pane.repaintCount() > 0; }));
  const int afterNotices = pane.repaintCount();
  pane.setAgeRefreshIntervalMs(50);
  EXPECT_TRUE(spinUntil([&] { return pane.repaintCount() >= afterNotices + 2; }));
}

TEST_F(TreeControllerTest, ScreenshotOfATransferInProgress) {
  makeTrees();
  QoTreeController pane;
  pane.resize(760, 260);
  ChildNodeModel& model = *pane.model();
  ASSERT_TRUE(shownWithRows(pane, 2));
  SyncFileProcessBox::sendSyncFileDownloadBegin(study_, 50 * 1048576, 12);
  postDownloading(study_, "/Users/he/文档/年度报告.pdf", 6 * 1048576, 3);
  SyncFileProcessBox::sendSyncFileDownloadBegin(phone_, 0, 0);
  SyncFileProcessBox::sendSyncFileDownloadEnd(phone_);
  SyncFileProcessBox::sendSyncFileIndexPrepare(photos_);
  SyncFileProcessBox::sendSyncFileIndexBegin(photos_, 120);
  for (int i = 0; i < 37; ++i) SyncFileProcessBox::sendSyncFileIndexing(photos_, "/home/me/照片/IMG.jpg");
  const QModelIndex study = model.index(0, 0, model.index(0, 0));
  auto* cell = static_cast<QoTreeTextAndImageCell*>(pane.outlineView()->itemDelegateForColumn(0));
  ASSERT_TRUE(spinUntil([&] {
    cell->fillForIndex(model.index(1, 0));
    const QString indexTitle = cell->indexTitle();
    return transferShown(pane, study).contains("剩余") && indexTitle == "37/120文件索引" &&
           transferShown(pane, model.index(1, 0, model.index(0, 0))).startsWith("同步完成于");
  }));
  spinUntil([&] { return pane.repaintCount() > 0; });
  QApplication::processEvents();
  QDir().mkpath(VELBOR_SCREENSHOT_DIR);
  const QString file = QString(VELBOR_SCREENSHOT_DIR) + "/tree-window-transfer.png";
  EXPECT_TRUE(pane.grab().save(file));
}

}  // namespace
}  // namespace velbor
