#pragma once

#include <QDialog>
#include <QString>

#include <memory>
#include <vector>

#include "ui/MainThreadObservers.h"
#include "ui/QoRemoteTreeViewDelegate.h"

class QLabel;
class QTreeView;
class QPushButton;
class QSplitter;

namespace velbor {

class ChildNode;
class DeviceListModel;
class QoDevice;
class QoDeviceSelectDelegate;
class QoRemoteTreeViewController;

// Picks the other side of a new sync pair: this device or a trusted device online on the LAN
// (left), and one of its trees (right, the tree list). OK hands both to the delegate. The
// device list follows devices coming, going and becoming trusted.
class QoDeviceSelectController : public QDialog, public QoRemoteTreeViewDelegate {
  Q_OBJECT

 public:
  // The left side's fixed width.
  static constexpr int kDeviceListWidth = 160;

  explicit QoDeviceSelectController(QWidget* parent = nullptr);
  ~QoDeviceSelectController() override;

  // Rebuilds the rows: "本机", this device, "局域网设备", the trusted online devices.
  void loadChildNode();
  void refreshChildNode();
  void ok();
  void clean();
  void rowSelection(const std::shared_ptr<pb::TreeInfo>& tree) override;

  QoDeviceSelectDelegate* deviceSelectDelegate() const { return deviceSelectDelegate_; }
  void setDeviceSelectDelegate(QoDeviceSelectDelegate* delegate) { deviceSelectDelegate_ = delegate; }
  QTreeView* outlineView() const { return outlineView_; }
  QoRemoteTreeViewController* remoteTreeView() const { return remoteTreeView_; }
  QLabel* deviceTextField() const { return deviceTextField_; }
  QLabel* syncdirTextField() const { return syncdirTextField_; }
  QPushButton* okButton() const { return okButton_; }
  const std::vector<std::shared_ptr<ChildNode>>& nodes() const { return nodes_; }
  const std::shared_ptr<ChildNode>& currentDeviceNode() const { return currentDeviceNode_; }
  const std::shared_ptr<pb::TreeInfo>& currentTreeNode() const { return currentTreeNode_; }
  // The device a row stands for; null for a group row.
  static std::shared_ptr<QoDevice> deviceOf(const ChildNode& node);

 private:
  void updateChildNode();
  void outlineViewSelectionDidChange();

  QTreeView* outlineView_;
  DeviceListModel* model_;
  QWidget* treeRootView_;
  QSplitter* splitView_;
  std::vector<std::shared_ptr<ChildNode>> nodes_;
  QoRemoteTreeViewController* remoteTreeView_;
  QLabel* deviceTextField_;
  QLabel* syncdirTextField_;
  QPushButton* okButton_;
  std::shared_ptr<ChildNode> currentDeviceNode_;
  std::shared_ptr<pb::TreeInfo> currentTreeNode_;
  QoDeviceSelectDelegate* deviceSelectDelegate_ = nullptr;
  MainThreadObservers observers_;
  bool updating_ = false;
};

}  // namespace velbor
