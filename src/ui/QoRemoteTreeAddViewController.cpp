#include "ui/QoRemoteTreeAddViewController.h"

#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <filesystem>
#include <utility>

#include "core/daemon/client/QoClient.h"
#include "core/entity/QoDevice.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"
#include "ui/ChildNode.h"
#include "ui/FolderOutlineModel.h"
#include "ui/PendingReplies.h"
#include "ui/QoRemoteTreeAddViewDelegate.h"
#include "ui/RemoteTreeAddImageCell.h"
#include "ui/SystemImage.h"

namespace velbor {
namespace {

const QString kListRoot = QStringLiteral("ListRootRequest");

QString listKey(const std::string& root) { return QStringLiteral("ListRequest:") + QString::fromStdString(root); }

// A name the peer lists in a folder stands for an entry of that folder only: never the
// folder itself, its parent, a deeper or an absolute path.
bool isEntryName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::string errstrOf(const QoMessage& reply) {
  const auto error = reply.pbBodyAs<pb::MsgError>();
  return error ? error->errstr() : std::string();
}

}  // namespace

QoRemoteTreeAddViewController::QoRemoteTreeAddViewController(std::shared_ptr<QoClient> client, QWidget* parent)
    : QDialog(parent),
      outlineView_(new QTreeView(this)),
      model_(new FolderOutlineModel(this)),
      pathTextField_(new QLineEdit(this)),
      waitText_(new QLabel(this)),
      okButton_(new QPushButton(QStringLiteral("确定"), this)),
      cancelButton_(new QPushButton(QStringLiteral("取消"), this)),
      client_(std::move(client)),
      pending_(new PendingReplies([this](const QString&) { showTimeout(); }, this)),
      observers_(this) {
  setObjectName(QStringLiteral("RemoteTreeAddView"));
  outlineView_->setObjectName(QStringLiteral("folderOutline"));
  pathTextField_->setObjectName(QStringLiteral("pathTextField"));
  waitText_->setObjectName(QStringLiteral("waitText"));
  okButton_->setObjectName(QStringLiteral("treeAddOkButton"));
  cancelButton_->setObjectName(QStringLiteral("treeAddCancelButton"));

  outlineView_->setModel(model_);
  outlineView_->setItemDelegate(new RemoteTreeAddImageCell(outlineView_));
  outlineView_->setHeaderHidden(true);
  outlineView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  outlineView_->setSelectionMode(QAbstractItemView::SingleSelection);
  pathTextField_->setReadOnly(true);
  waitText_->setVisible(false);
  okButton_->setEnabled(false);
  okButton_->setDefault(true);

  connect(outlineView_, &QTreeView::expanded, this, &QoRemoteTreeAddViewController::outlineViewItemWillExpand);
  connect(outlineView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &QoRemoteTreeAddViewController::outlineViewSelectionDidChange);
  connect(okButton_, &QPushButton::clicked, this, &QoRemoteTreeAddViewController::ok);
  connect(cancelButton_, &QPushButton::clicked, this, &QoRemoteTreeAddViewController::cancel);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(waitText_, 1);
  buttons->addStretch(0);
  buttons->addWidget(cancelButton_);
  buttons->addWidget(okButton_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(outlineView_, 1);
  layout->addWidget(pathTextField_);
  layout->addLayout(buttons);
  resize(460, 400);

  observers_.observe<notice::ListRootRequest>(
      [this](const notice::ListRootRequest& n) { handleListRootNotifaction(n); });
  observers_.observe<notice::ListRequest>([this](const notice::ListRequest& n) { handleListNotifaction(n); });
}

QoRemoteTreeAddViewController::~QoRemoteTreeAddViewController() { clean(); }

void QoRemoteTreeAddViewController::requestRoots() {
  waitText_->setVisible(false);
  pending_->begin(kListRoot);
  client_->sendListRootRequest();
}

void QoRemoteTreeAddViewController::clean() {
  observers_.removeAll();
  pending_->clear();
  nodeRoots_.clear();
  nodesMap_.clear();
}

QString QoRemoteTreeAddViewController::rootTitle(int type, const std::string& target) {
  switch (type) {
    case pb::RootTypePictures:
      return QStringLiteral("图片");
    case pb::RootTypeVideos:
      return QStringLiteral("视频");
    case pb::RootTypeMusic:
      return QStringLiteral("音乐");
    case pb::RootTypeDocuments:
      return QStringLiteral("文档");
    case pb::RootTypePhotoAlbum:
      return QStringLiteral("相册");
    case pb::RootTypeHome:
      return QStringLiteral("Home");
    case pb::RootTypeDesktop:
      return QStringLiteral("桌面");
    default:
      return QString::fromStdString(std::filesystem::path(target).filename().string());
  }
}

std::shared_ptr<ChildNode> QoRemoteTreeAddViewController::folderNode(const QString& title, const std::string& path,
                                                                     const QIcon& icon) {
  auto node = std::make_shared<ChildNode>();
  node->setNodeTitle(title);
  node->setNodeIcon(icon);
  node->setIsLeaf(false);
  node->setUserInifo(path);
  return node;
}

std::string QoRemoteTreeAddViewController::pathOf(const QModelIndex& index) {
  const auto* node = dynamic_cast<const ChildNode*>(FolderOutlineModel::nodeAt(index));
  return node ? node->userInifoAs<std::string>() : std::string();
}

void QoRemoteTreeAddViewController::udpateNodes(const std::vector<std::shared_ptr<ChildNode>>& nodes) {
  nodeRoots_ = nodes;
  model_->setRoots(BaseNode::List(nodes.begin(), nodes.end()));
  outlineView_->scrollToTop();
}

void QoRemoteTreeAddViewController::updateParentNode(const std::shared_ptr<ChildNode>& parent,
                                                     const std::vector<std::shared_ptr<ChildNode>>& children) {
  model_->replaceChildren(parent, BaseNode::List(children.begin(), children.end()));
}

bool QoRemoteTreeAddViewController::isBrowsedDevice(const std::shared_ptr<QoDevice>& from) const {
  const std::shared_ptr<QoDevice> browsed = client_->device();
  return browsed && from && browsed->uuid() == from->uuid();
}

void QoRemoteTreeAddViewController::handleListRootNotifaction(const notice::ListRootRequest& notice) {
  if (!notice.reply || !isBrowsedDevice(notice.device) || !pending_->take(kListRoot)) return;
  try {
    const QoMessage& reply = *notice.reply;
    const auto response = reply.pbBodyAs<pb::MsgListRootResponse>();
    if (reply.code() != pb::MsgCodeListRootResponse || !response) {
      QoLog("List root error happend, {}", errstrOf(reply));
      return;
    }
    nodesMap_.clear();
    std::vector<std::shared_ptr<ChildNode>> rows;
    const QIcon folder = SystemImage::folderImage();
    for (const pb::Root& root : response->roots()) {
      auto node = folderNode(rootTitle(root.type(), root.target()), root.target(), folder);
      nodesMap_[root.target()] = node;
      rows.push_back(std::move(node));
    }
    udpateNodes(rows);
  } catch (const std::exception& e) {
    QoLog("*** notifaction ListRoot failed, {}", e.what());
  }
}

void QoRemoteTreeAddViewController::handleListNotifaction(const notice::ListRequest& notice) {
  if (!notice.reply || !isBrowsedDevice(notice.device)) return;
  try {
    const QoMessage& reply = *notice.reply;
    const auto response = reply.pbBodyAs<pb::MsgListResponse>();
    if (reply.code() != pb::MsgCodeListResponse || !response) {
      QoLog("List error happend");
      return;
    }
    // Only the listing of a folder whose opening still waits for it counts.
    if (!pending_->take(listKey(response->root()))) return;
    const auto parent = nodesMap_.find(response->root());
    if (parent == nodesMap_.end()) {
      QoLog("No parents???");
      return;
    }
    std::vector<std::shared_ptr<ChildNode>> children;
    size_t skipped = 0;
    const QIcon folder = SystemImage::folderImage();
    for (const pb::FileStat& stat : response->stats()) {
      if (stat.type() != pb::FileTypeDirectory) continue;
      if (!isEntryName(stat.name())) {
        ++skipped;
        continue;
      }
      const std::string path = (std::filesystem::path(response->root()) / stat.name()).string();
      auto node = folderNode(QString::fromStdString(stat.name()), path, folder);
      nodesMap_[path] = node;
      children.push_back(std::move(node));
    }
    if (skipped > 0) QoLog("*** List: {} entries of ({}) are no names of its own", skipped, response->root());
    updateParentNode(parent->second, children);
  } catch (const std::exception& e) {
    QoLog("*** notifaction tree list failed, {}", e.what());
  }
}

void QoRemoteTreeAddViewController::outlineViewItemWillExpand(const QModelIndex& index) {
  const std::string path = pathOf(index);
  if (path.empty()) return;
  waitText_->setVisible(false);
  pending_->begin(listKey(path));
  client_->sendListRequest(path);
}

void QoRemoteTreeAddViewController::outlineViewSelectionDidChange() {
  const QModelIndexList selected = outlineView_->selectionModel()->selectedIndexes();
  const std::string path = selected.isEmpty() ? std::string() : pathOf(selected.first());
  pathTextField_->setText(QString::fromStdString(path));
  okButton_->setEnabled(!path.empty());
}

void QoRemoteTreeAddViewController::showTimeout() {
  waitText_->setText(PendingReplies::timeoutText());
  waitText_->setVisible(true);
}

void QoRemoteTreeAddViewController::ok() {
  const QString path = pathTextField_->text();
  if (path.isEmpty()) return;
  if (remoteTreeAddViewDelegate_ != nullptr) remoteTreeAddViewDelegate_->remoteTreeAddButtonOk(path);
  clean();
  accept();
}

void QoRemoteTreeAddViewController::cancel() {
  clean();
  reject();
}

}  // namespace velbor
