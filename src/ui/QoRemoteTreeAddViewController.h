#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/state/QoNotices.h"
#include "ui/MainThreadObservers.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace velbor {

class ChildNode;
class FolderOutlineModel;
class PendingReplies;
class QoClient;
class QoRemoteTreeAddViewDelegate;

// Browses a device's folders to choose the root of a new tree there: the device's starting
// folders, then the sub-folders of each folder the user opens. Replies count only while
// their request is awaited and come from the browsed device; a wait that runs out says so.
// OK stays disabled until a folder is chosen.
class QoRemoteTreeAddViewController : public QDialog {
  Q_OBJECT

 public:
  QoRemoteTreeAddViewController(std::shared_ptr<QoClient> client, QWidget* parent = nullptr);
  ~QoRemoteTreeAddViewController() override;

  // Asks the device for its starting folders.
  void requestRoots();
  void clean();
  void udpateNodes(const std::vector<std::shared_ptr<ChildNode>>& nodes);
  void updateParentNode(const std::shared_ptr<ChildNode>& parent,
                        const std::vector<std::shared_ptr<ChildNode>>& children);
  void handleListRootNotifaction(const notice::ListRootRequest& notice);
  void handleListNotifaction(const notice::ListRequest& notice);
  void ok();
  void cancel();
  // The shown title of a starting folder of `type` at `target`.
  static QString rootTitle(int type, const std::string& target);

  QoRemoteTreeAddViewDelegate* remoteTreeAddViewDelegate() const { return remoteTreeAddViewDelegate_; }
  void setRemoteTreeAddViewDelegate(QoRemoteTreeAddViewDelegate* delegate) { remoteTreeAddViewDelegate_ = delegate; }
  QTreeView* outlineView() const { return outlineView_; }
  QLineEdit* pathTextField() const { return pathTextField_; }
  QLabel* waitText() const { return waitText_; }
  QPushButton* okButton() const { return okButton_; }
  const std::vector<std::shared_ptr<ChildNode>>& nodeRoots() const { return nodeRoots_; }
  const std::map<std::string, std::shared_ptr<ChildNode>>& nodesMap() const { return nodesMap_; }
  PendingReplies* pendingReplies() const { return pending_; }

 private:
  void outlineViewItemWillExpand(const QModelIndex& index);
  void outlineViewSelectionDidChange();
  void showTimeout();
  bool isBrowsedDevice(const std::shared_ptr<QoDevice>& from) const;
  // Every row shares the one folder icon: loading it is slow, and a folder may list many.
  static std::shared_ptr<ChildNode> folderNode(const QString& title, const std::string& path, const QIcon& icon);
  static std::string pathOf(const QModelIndex& index);

  QTreeView* outlineView_;
  FolderOutlineModel* model_;
  QLineEdit* pathTextField_;
  QLabel* waitText_;
  QPushButton* okButton_;
  QPushButton* cancelButton_;
  std::vector<std::shared_ptr<ChildNode>> nodeRoots_;
  std::map<std::string, std::shared_ptr<ChildNode>> nodesMap_;
  std::shared_ptr<QoClient> client_;
  QoRemoteTreeAddViewDelegate* remoteTreeAddViewDelegate_ = nullptr;
  PendingReplies* pending_;
  MainThreadObservers observers_;
};

}  // namespace velbor
