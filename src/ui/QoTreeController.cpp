#include "ui/QoTreeController.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QStyle>
#include <QVBoxLayout>

#include <exception>

#include "core/daemon/client/QoClient.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/state/QoNotices.h"
#include "core/state/QoPeer.h"
#include "core/state/SyncFileProcessBox.h"
#include "core/state/SyncdirPresence.h"
#include "platform/Dispatch.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"
#include "ui/ChildNodeModel.h"
#include "ui/DesktopFileManager.h"
#include "ui/MainThread.h"
#include "ui/NamedImage.h"
#include "ui/QoSyncAddController.h"
#include "ui/QoTreeTextAndImageCell.h"
#include "ui/QoUserNotification.h"

namespace velbor {

using CopyPtr = std::shared_ptr<QoSyncdirCopy>;
using RelationPtr = std::shared_ptr<QoSyncdirCopyRelation>;

struct QoTreeController::State {
  TreeProgress progress;
  std::atomic<bool> dirty = false;
  std::atomic<uint64_t> generation = 0;
  // Read and cleared on the main thread only.
  QPointer<QoTreeController> pane;

  static void handleProgress(const std::shared_ptr<State>& state, const std::shared_ptr<SyncFileProcessBox>& box) {
    if (!box) return;
    try {
      const std::optional<TreeProgress::Summary> summary = state->progress.apply(*box, SyncFileProcessBox::timeNow());
      // One repaint per interval, however many notices arrive in it.
      if (!state->dirty.exchange(true)) {
        onPane(state, [](QoTreeController& pane) { pane.scheduleRepaint(); });
      }
      if (summary) {
        MainThread::async([summary = *summary] {
          QoUserNotification::sharedQoUserNotification().showNotification(summary.title, summary.subTitle,
                                                                          summary.info);
        });
      }
    } catch (const std::exception& e) {
      QoLog("*** handleNotifySyncFileDownloading {}", e.what());
    }
  }

  // Queues `work` for the pane on the main thread; nothing once the pane is gone.
  static void onPane(const std::shared_ptr<State>& state, std::function<void(QoTreeController&)> work) {
    MainThread::async([state, work = std::move(work)] {
      if (state->pane) work(*state->pane);
    });
  }
};

namespace {

std::shared_ptr<DispatchQueue> refreshQueue() {
  // Never destroyed: jobs still running at exit use it.
  static const auto& queue = *new std::shared_ptr<DispatchQueue>(DispatchQueue::createSerial("refresh"));
  return queue;
}

QString qs(const std::string& text) { return QString::fromStdString(text); }

// What the rows of a local copy say while its folder is missing, as its notice does.
constexpr const char* kMissingText = "同步文件夹不在";

}  // namespace

QoTreeController::QoTreeController(QWidget* parent)
    : QWidget(parent),
      model_(new ChildNodeModel(this)),
      outlineView_(new QTreeView(this)),
      cell_(new QoTreeTextAndImageCell(this)),
      addTreeButton_(new QPushButton(this)),
      delTreeButton_(new QPushButton(this)),
      state_(std::make_shared<State>()) {
  state_->pane = this;
  setObjectName("treeController");
  resize(640, 420);

  outlineView_->setObjectName("outlineView");
  outlineView_->setModel(model_);
  outlineView_->setItemDelegateForColumn(0, cell_);
  outlineView_->setHeaderHidden(true);
  outlineView_->setUniformRowHeights(true);
  outlineView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  outlineView_->setExpandsOnDoubleClick(false);
  outlineView_->setMouseTracking(true);
  cell_->setWillDisplayCell([this](QoTreeTextAndImageCell& cell, const QModelIndex& index) { fillCell(cell, index); });
  cell_->setToolTipForCell([this](QoTreeTextAndImageCell& cell, const QModelIndex& index, const QPoint& pos) {
    return toolTipForCell(cell, index, pos);
  });
  connect(outlineView_, &QTreeView::pressed, this, [this](const QModelIndex& index) {
    BaseNode* node = ChildNodeModel::nodeAt(index);
    currentNode_ = node ? std::dynamic_pointer_cast<ChildNode>(node->shared_from_this()) : nullptr;
  });
  connect(outlineView_, &QTreeView::doubleClicked, this, &QoTreeController::rowDoubleClicked);

  addTreeButton_->setObjectName("addTreeButton");
  addTreeButton_->setIcon(style()->standardIcon(QStyle::SP_FileDialogNewFolder));
  addTreeButton_->setToolTip("添加同步关系");
  delTreeButton_->setObjectName("delTreeButton");
  delTreeButton_->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
  delTreeButton_->setToolTip("删除");
  connect(addTreeButton_, &QPushButton::clicked, this, &QoTreeController::addTree);
  connect(delTreeButton_, &QPushButton::clicked, this, &QoTreeController::delTree);

  auto* buttons = new QHBoxLayout();
  buttons->addWidget(addTreeButton_);
  buttons->addWidget(delTreeButton_);
  buttons->addStretch(1);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(outlineView_, 1);
  layout->addLayout(buttons);

  repaintTimer_.setSingleShot(true);
  repaintTimer_.setInterval(kRepaintIntervalMs);
  connect(&repaintTimer_, &QTimer::timeout, this, &QoTreeController::repaintRows);
  ageTimer_.setInterval(kAgeRefreshIntervalMs);
  connect(&ageTimer_, &QTimer::timeout, this, &QoTreeController::repaintRows);
  ageTimer_.start();

  // Observers hold the state, not the pane: a notice being delivered while the pane goes
  // away finds the pane gone.
  const std::shared_ptr<State> state = state_;
  auto rebuild = [state] { State::onPane(state, [](QoTreeController& pane) { pane.refreshSyncdirCopies(); }); };
  observers_.push_back(QoNotices::observe<notice::SyncAddResponse>([rebuild](const auto&) { rebuild(); }));
  observers_.push_back(QoNotices::observe<notice::SyncDeleteResponse>([rebuild](const auto&) { rebuild(); }));
  observers_.push_back(QoNotices::observe<notice::TreeAddResponse>([rebuild](const auto&) { rebuild(); }));
  observers_.push_back(QoNotices::observe<notice::TreeDeleteResponse>([rebuild](const auto&) { rebuild(); }));
  observers_.push_back(QoNotices::observe<notice::SyncFileProcess>(
      [state](const notice::SyncFileProcess& process) { State::handleProgress(state, process.box); }));
  // A peer that went away ends the transfer shown for it at once, not when its pull gives up.
  observers_.push_back(QoNotices::observe<notice::DeviceOffLine>([state](const notice::DeviceOffLine& offline) {
    bool changed = false;
    for (const auto& device : offline.devices) {
      if (device) changed = state->progress.peerGone(device->uuid()) || changed;
    }
    if (changed && !state->dirty.exchange(true)) {
      State::onPane(state, [](QoTreeController& pane) { pane.scheduleRepaint(); });
    }
  }));
  // A local folder found missing, or back, changes what its rows say.
  auto repaint = [state] {
    if (!state->dirty.exchange(true)) State::onPane(state, [](QoTreeController& pane) { pane.scheduleRepaint(); });
  };
  observers_.push_back(QoNotices::observe<notice::SyncdirMissing>([repaint](const auto&) { repaint(); }));
  observers_.push_back(QoNotices::observe<notice::SyncdirBack>([repaint](const auto&) { repaint(); }));
  // The rows are read when the pane is shown: the window is made before the engine has
  // checked its database.
}

QoTreeController::~QoTreeController() { clean(); }

const TreeProgress& QoTreeController::progress() const { return state_->progress; }

void QoTreeController::clean() {
  for (NotificationCenter::Token token : observers_) NotificationCenter::defaultCenter().removeObserver(token);
  observers_.clear();
  currentNode_ = nullptr;
  model_->setRoots({});
}

void QoTreeController::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  refreshSyncdirCopies();
}

void QoTreeController::itemDidClick(SelectableToolbarItem* item) {
  if (item != nullptr && item->itemIdentifier() == "synconce") syncOnce();
}

BaseNode::List QoTreeController::buildRows() {
  BaseNode::List roots;
  for (const CopyPtr& copy : QoSyncdirCopy::getSyncdirCopyInLocalDevice()) {
    auto tree = std::make_shared<ChildNode>();
    tree->setNodeTitle(qs(copy->path()));
    tree->setUserInifo(copy);
    tree->setTag(kTreeTag);
    for (const RelationPtr& relation : copy->getAllSyncdirCopyRelations()) {
      if (!relation->secondSyncdirCopy()) continue;
      auto pair = std::make_shared<ChildNode>();
      pair->setNodeTitle(qs(relation->secondSyncdirCopy()->path()));
      pair->setUserInifo(relation);
      pair->setTag(kPairTag);
      pair->setIsLeaf(true);
      tree->addChild(pair);
    }
    roots.push_back(tree);
  }
  return roots;
}

void QoTreeController::refreshSyncdirCopies() {
  const std::shared_ptr<State> state = state_;
  const uint64_t generation = ++state->generation;
  DispatchQueue::globalQueue()->async([state, generation] {
    BaseNode::List roots = buildRows();
    State::onPane(state, [state, generation, roots = std::move(roots)](QoTreeController& pane) {
      // A rebuild asked for later wins over one that merely finished later.
      if (generation == state->generation.load()) pane.udpateNodes(roots);
    });
  });
}

void QoTreeController::udpateNodes(BaseNode::List roots) {
  // The clicked row may be gone: nothing is clicked after a rebuild.
  currentNode_ = nullptr;
  outlineView_->clearSelection();
  model_->setRoots(std::move(roots));
  outlineView_->expandAll();
}

void QoTreeController::handleNotifySyncFileDownloading(const std::shared_ptr<SyncFileProcessBox>& box) {
  State::handleProgress(state_, box);
}

void QoTreeController::scheduleRepaint() {
  if (!repaintTimer_.isActive()) repaintTimer_.start();
}

void QoTreeController::repaintRows() {
  state_->dirty = false;
  ++repaintCount_;
  outlineView_->viewport()->update();
}

void QoTreeController::fillCell(QoTreeTextAndImageCell& cell, const QModelIndex& index) const {
  const auto* row = dynamic_cast<const ChildNode*>(ChildNodeModel::nodeAt(index));
  if (row == nullptr) return;
  cell.setCellType(static_cast<int>(row->tag()));
  if (row->tag() != kPairTag) {
    const auto copy = row->userInifoAs<CopyPtr>();
    cell.setIndexTitle(!copy                                               ? QString()
                       : SyncdirPresence::shared().isMissing(copy->uuid()) ? QString(kMissingText)
                                                                           : state_->progress.indexTitle(copy->uuid()));
    cell.setImage(NamedImage::iconNamed("folder"));
    return;
  }
  const auto relation = row->userInifoAs<RelationPtr>();
  const CopyPtr remote = relation ? relation->secondSyncdirCopy() : nullptr;
  if (!remote) {
    QoLog("*** secondSyncdirCopy is nil");
    return;
  }
  if (const auto& device = remote->device()) {
    cell.setDeviceImage(NamedImage::iconNamed(qs(QoPeer::getDeviceIconNameByType(device->type()))));
    cell.setDeviceTitle(qs(device->name()));
  }
  cell.setImage(QIcon::fromTheme("folder-documents", QApplication::style()->standardIcon(QStyle::SP_DirIcon)));
  // A pairing whose local folder is not there does not sync: it must not look idle.
  if (const CopyPtr& local = relation->firstSyncdirCopy();
      local && SyncdirPresence::shared().isMissing(local->uuid())) {
    cell.setDownloadImage(NamedImage::iconNamed("unavailable"));
    cell.setDownloadSpeed(kMissingText);
    return;
  }
  const std::string hash = relation->relationHash();
  const auto transfer = state_->progress.transferEntry(hash);
  if (!transfer) return;
  const int status = transfer->box.status;
  if (status == SyncFileDownloadFileDown) return;
  cell.setDownloadImage(NamedImage::iconNamed(status == SyncFileDownloadEnd ? "yes" : "download"));
  cell.setDownloadSpeed(state_->progress.transferText(hash));
}

QString QoTreeController::toolTipForCell(QoTreeTextAndImageCell& cell, const QModelIndex& index,
                                         const QPoint& pos) const {
  const auto* row = dynamic_cast<const ChildNode*>(ChildNodeModel::nodeAt(index));
  if (row == nullptr || row->tag() != kPairTag || cell.downloadAndUploadCell() == nullptr) return {};
  if (!cell.downloadAndUploadCell()->frame().contains(pos)) return {};
  const auto relation = row->userInifoAs<RelationPtr>();
  return relation ? state_->progress.transferToolTip(relation->relationHash()) : QString();
}

void QoTreeController::rowDoubleClicked(const QModelIndex& index) {
  const auto* row = dynamic_cast<const ChildNode*>(ChildNodeModel::nodeAt(index));
  if (row == nullptr || row->tag() != kTreeTag) return;
  const auto copy = row->userInifoAs<CopyPtr>();
  if (!copy) return;
  QPointer<QoTreeController> pane(this);
  DesktopFileManager::showItem(qs(copy->path()), [pane](const QString& path) {
    if (pane) pane->showOpenFailed(path);
  });
}

void QoTreeController::showOpenFailed(const QString& path) {
  // A sheet on the window, as the delete questions are: the main loop keeps running.
  auto* box = new QMessageBox(QMessageBox::Warning, "打开同步目录", QString("无法在文件管理器中打开“%1”。").arg(path),
                              QMessageBox::Ok, window());
  box->setObjectName("openFailedAlert");
  box->setTextFormat(Qt::PlainText);
  box->setInformativeText("没有可用的文件管理器。");
  box->button(QMessageBox::Ok)->setText("确定");
  box->setWindowModality(Qt::WindowModal);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void QoTreeController::syncOnce() {
  DispatchQueue::globalQueue()->async([] { QoClient::syncOnceTo(nullptr); });
  refreshQueue()->async([] {
    for (const CopyPtr& copy : QoSyncdirCopy::getSyncdirCopyInLocalDevice()) copy->refresh();
  });
}

void QoTreeController::addTree() {
  if (syncAddController_ == nullptr) {
    syncAddController_ = new QoSyncAddController(window());
    syncAddController_->setAttribute(Qt::WA_DeleteOnClose);
    syncAddController_->setWindowModality(Qt::ApplicationModal);
    QoSyncAddController* controller = syncAddController_;
    connect(controller, &QDialog::finished, controller, [controller] { controller->clean(); });
  }
  syncAddController_->show();
  syncAddController_->raise();
  syncAddController_->activateWindow();
}

void QoTreeController::confirmDelete(const QString& title, const QString& message, std::function<void()> onOk) {
  // A sheet on the window: the main loop keeps running while it is open.
  auto* box = new QMessageBox(QMessageBox::Critical, title, message, QMessageBox::NoButton, window());
  box->setObjectName("deleteConfirmation");
  // Paths and device names come from disk and from peers: shown as they are, never as markup.
  box->setTextFormat(Qt::PlainText);
  box->setWindowModality(Qt::WindowModal);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setInformativeText("");
  QPushButton* ok = box->addButton("确定", QMessageBox::AcceptRole);
  box->addButton("取消", QMessageBox::RejectRole);
  box->setDefaultButton(ok);
  connect(box, &QMessageBox::buttonClicked, this, [this, ok, onOk = std::move(onOk)](QAbstractButton* clicked) {
    if (clicked != ok) return;
    onOk();
    outlineView_->clearSelection();
    currentNode_ = nullptr;
  });
  box->open();
}

void QoTreeController::delTree() {
  if (!currentNode_) return;
  if (currentNode_->tag() == kTreeTag) {
    const auto copy = currentNode_->userInifoAs<CopyPtr>();
    if (!copy) return;
    confirmDelete("删除同步目录", QString("是否要删除同步目录“%1”？").arg(qs(copy->path())),
                  [copy] { DispatchQueue::globalQueue()->async([copy] { deleteTreeThroughDaemon(copy); }); });
  } else if (currentNode_->tag() == kPairTag) {
    const auto relation = currentNode_->userInifoAs<RelationPtr>();
    if (!relation || !relation->firstSyncdirCopy() || !relation->secondSyncdirCopy()) return;
    const CopyPtr& remote = relation->secondSyncdirCopy();
    const QString deviceName = remote->device() ? qs(remote->device()->name()) : QString();
    confirmDelete(
        "删除同步关系",
        QString("是否要删除“%1”与\n设备“%2”上“%3”的同步关系？")
            .arg(qs(relation->firstSyncdirCopy()->path()), deviceName, qs(remote->path())),
        [relation] { DispatchQueue::globalQueue()->async([relation] { deletePairingThroughDaemon(relation); }); });
  } else {
    QoLog("*** unknown type");
  }
}

void QoTreeController::deletePairingThroughDaemon(const RelationPtr& relation) {
  if (!relation || !relation->firstSyncdirCopy() || !relation->secondSyncdirCopy()) return;
  auto body = std::make_shared<pb::MsgSyncDeleteRequest>();
  body->set_local_tree_uuid(relation->firstSyncdirCopy()->uuid());
  body->set_remote_tree_uuid(relation->secondSyncdirCopy()->uuid());
  try {
    QoClient::sendReuqestTo(QoDevice::getDeviceLocal(), pb::MsgCodeSyncDeleteRequest, QoClient::kOptionSync,
                            std::move(body));
  } catch (const std::exception& e) {
    QoLog("*** delete sync failed, {}", e.what());
  }
}

void QoTreeController::deleteTreeThroughDaemon(const CopyPtr& copy) {
  if (!copy) return;
  // The daemon keeps a tree that still has pairings: those go first, either way round.
  // Deleting a pairing deletes its mirror too, so the second list is read afterwards.
  for (const RelationPtr& relation : QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstPk(copy->pk())) {
    deletePairingThroughDaemon(relation);
  }
  for (const RelationPtr& relation : QoSyncdirCopyRelation::getSyncdirCopyRelationsWithSecondPk(copy->pk())) {
    deletePairingThroughDaemon(relation);
  }
  auto body = std::make_shared<pb::MsgTreeDeleteRequest>();
  body->set_tree_uuid(copy->uuid());
  try {
    QoClient::sendReuqestTo(QoDevice::getDeviceLocal(), pb::MsgCodeTreeDeleteRequest, QoClient::kOptionSync,
                            std::move(body));
  } catch (const std::exception& e) {
    QoLog("*** delete tree failed, {}", e.what());
  }
}

}  // namespace velbor
