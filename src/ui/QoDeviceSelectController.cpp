#include "ui/QoDeviceSelectController.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTreeView>
#include <QVBoxLayout>

#include <utility>

#include "core/entity/QoDevice.h"
#include "core/state/QoPeer.h"
#include "proto/VelborProto.pb.h"
#include "ui/ChildNode.h"
#include "ui/DeviceListModel.h"
#include "ui/ImageAndTextCell1.h"
#include "ui/NamedImage.h"
#include "ui/QoDeviceSelectDelegate.h"
#include "ui/QoRemoteTreeViewController.h"

namespace velbor {
namespace {

std::shared_ptr<ChildNode> groupNode(const QString& title) {
  auto node = std::make_shared<ChildNode>();
  node->setNodeTitle(title);
  return node;
}

std::shared_ptr<ChildNode> deviceNode(const QoDevice::Ptr& device) {
  auto node = std::make_shared<ChildNode>();
  node->setNodeTitle(QString::fromStdString(device->name()));
  node->setNodeIcon(NamedImage::iconNamed(QString::fromStdString(QoPeer::getDeviceIconNameByType(device->type()))));
  node->setUserInifo(device);
  return node;
}

}  // namespace

QoDeviceSelectController::QoDeviceSelectController(QWidget* parent)
    : QDialog(parent),
      outlineView_(new QTreeView(this)),
      model_(new DeviceListModel(this)),
      treeRootView_(new QWidget(this)),
      splitView_(new QSplitter(Qt::Horizontal, this)),
      remoteTreeView_(new QoRemoteTreeViewController(treeRootView_)),
      deviceTextField_(new QLabel(this)),
      syncdirTextField_(new QLabel(this)),
      okButton_(new QPushButton(QStringLiteral("确定"), this)),
      observers_(this) {
  setObjectName(QStringLiteral("DeviceSelectView"));
  outlineView_->setObjectName(QStringLiteral("deviceOutline"));
  deviceTextField_->setObjectName(QStringLiteral("deviceTextField"));
  syncdirTextField_->setObjectName(QStringLiteral("syncdirTextField"));
  okButton_->setObjectName(QStringLiteral("deviceSelectOkButton"));
  // A device's name and its tree's path are the peer's texts: never read as markup.
  deviceTextField_->setTextFormat(Qt::PlainText);
  syncdirTextField_->setTextFormat(Qt::PlainText);

  outlineView_->setModel(model_);
  outlineView_->setItemDelegate(new ImageAndTextCell1(outlineView_));
  outlineView_->setHeaderHidden(true);
  outlineView_->setRootIsDecorated(false);
  outlineView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  outlineView_->setSelectionMode(QAbstractItemView::SingleSelection);
  outlineView_->setFixedWidth(kDeviceListWidth);
  // A source list: the sidebar's own background.
  QPalette sidebar = outlineView_->palette();
  sidebar.setColor(QPalette::Base, sidebar.color(QPalette::Window));
  outlineView_->setPalette(sidebar);

  remoteTreeView_->setRemoteTreeViewDelegate(this);
  auto* treeRootLayout = new QVBoxLayout(treeRootView_);
  treeRootLayout->setContentsMargins(0, 0, 0, 0);
  treeRootLayout->addWidget(remoteTreeView_);

  splitView_->addWidget(outlineView_);
  splitView_->addWidget(treeRootView_);
  splitView_->setChildrenCollapsible(false);
  splitView_->setStretchFactor(0, 0);
  splitView_->setStretchFactor(1, 1);
  // The splitter would start the divider at the list's size hint, leaving a gap right of
  // the fixed-width list; the trees start right after it.
  splitView_->setSizes({kDeviceListWidth, QWIDGETSIZE_MAX});
  splitView_->handle(1)->setEnabled(false);

  deviceTextField_->setMinimumWidth(120);
  syncdirTextField_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(deviceTextField_);
  bottom->addWidget(syncdirTextField_, 1);
  bottom->addWidget(okButton_);
  okButton_->setDefault(true);
  connect(okButton_, &QPushButton::clicked, this, &QoDeviceSelectController::ok);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(splitView_, 1);
  layout->addLayout(bottom);
  resize(600, 380);

  connect(outlineView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &QoDeviceSelectController::outlineViewSelectionDidChange);
  updateChildNode();
  observers_.observe<notice::DeviceAddResponse>([this](const notice::DeviceAddResponse&) { refreshChildNode(); });
  observers_.observe<notice::DeviceOffLine>([this](const notice::DeviceOffLine&) { refreshChildNode(); });
  observers_.observe<notice::TrustResponse>([this](const notice::TrustResponse&) { refreshChildNode(); });
}

QoDeviceSelectController::~QoDeviceSelectController() { clean(); }

std::shared_ptr<QoDevice> QoDeviceSelectController::deviceOf(const ChildNode& node) {
  return node.userInifoAs<std::shared_ptr<QoDevice>>();
}

void QoDeviceSelectController::loadChildNode() {
  nodes_.clear();
  nodes_.push_back(groupNode(QStringLiteral("本机")));
  if (const QoDevice::Ptr local = QoDevice::getDeviceLocal()) nodes_.push_back(deviceNode(local));
  nodes_.push_back(groupNode(QStringLiteral("局域网设备")));
  for (const QoDevice::Ptr& device : QoDevice::getDeviceRemoteOnline()) {
    if (device->isTrusted()) nodes_.push_back(deviceNode(device));
  }
}

void QoDeviceSelectController::refreshChildNode() { updateChildNode(); }

void QoDeviceSelectController::updateChildNode() {
  const std::shared_ptr<QoDevice> chosen = currentDeviceNode_ ? deviceOf(*currentDeviceNode_) : nullptr;
  loadChildNode();
  // A rebuild is no choice of the user's: the chosen device stays chosen while listed.
  updating_ = true;
  model_->setRoots(BaseNode::List(nodes_.begin(), nodes_.end()));
  for (size_t i = 0; chosen && i < nodes_.size(); ++i) {
    const std::shared_ptr<QoDevice> device = deviceOf(*nodes_[i]);
    if (!device || device->uuid() != chosen->uuid()) continue;
    currentDeviceNode_ = nodes_[i];
    outlineView_->selectionModel()->select(model_->index(static_cast<int>(i), 0), QItemSelectionModel::ClearAndSelect);
    break;
  }
  updating_ = false;
}

void QoDeviceSelectController::outlineViewSelectionDidChange() {
  if (updating_) return;
  const QModelIndexList selected = outlineView_->selectionModel()->selectedIndexes();
  if (selected.isEmpty()) return;
  const int row = selected.first().row();
  if (row < 0 || row >= static_cast<int>(nodes_.size())) return;
  const std::shared_ptr<ChildNode>& node = nodes_[static_cast<size_t>(row)];
  if (const std::shared_ptr<QoDevice> device = deviceOf(*node)) {
    remoteTreeView_->changeDevice(device);
    deviceTextField_->setText(node->nodeTitle());
  }
  syncdirTextField_->clear();
  currentDeviceNode_ = node;
  currentTreeNode_ = nullptr;
}

void QoDeviceSelectController::rowSelection(const std::shared_ptr<pb::TreeInfo>& tree) {
  syncdirTextField_->setText(tree ? QString::fromStdString(tree->tree_root()) : QString());
  currentTreeNode_ = tree;
}

void QoDeviceSelectController::ok() {
  if (deviceSelectDelegate_ != nullptr) {
    deviceSelectDelegate_->remoteTreeSelectedWithDevice(currentDeviceNode_ ? deviceOf(*currentDeviceNode_) : nullptr,
                                                        currentTreeNode_);
  }
  accept();
}

void QoDeviceSelectController::clean() {
  observers_.removeAll();
  remoteTreeView_->clean();
}

}  // namespace velbor
