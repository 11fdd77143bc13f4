#pragma once

#include <QIcon>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

#include "core/state/QoNotices.h"
#include "ui/MainThreadObservers.h"
#include "ui/QoRemoteTreeAddViewDelegate.h"

class QListWidget;

namespace velbor {

class PendingReplies;
class QoClient;
class QoDevice;
class QoRemoteTreeAddViewController;
class QoRemoteTreeViewDelegate;
namespace pb {
class TreeInfo;
}  // namespace pb

// The trees of one device, under a first row that offers to make a new tree there (through
// the folder browser). Talks to the device only by asynchronous requests: a reply counts
// only while its request is awaited and only for the device listed now; a wait that runs
// out shows so in the list.
class QoRemoteTreeViewController : public QWidget, public QoRemoteTreeAddViewDelegate {
  Q_OBJECT

 public:
  // One row: "fr" the first row, "or" a tree, "er" an error (or no answer).
  struct Row {
    QString tag;
    QIcon image;
    QString text;
    std::shared_ptr<pb::TreeInfo> userInfo;
  };

  explicit QoRemoteTreeViewController(QWidget* parent = nullptr);
  ~QoRemoteTreeViewController() override;

  void changeDevice(std::shared_ptr<QoDevice> device);
  // The first row followed by `rows`; then selects a tree that was just asked for.
  void updateItems(const std::vector<Row>& rows);
  void setSyncdirCopyRowSelected();
  void handleTreeShowNotifaction(const notice::TreeShowRequest& notice);
  void handleTreeAddNotifaction(const notice::TreeAddRequest& notice);
  void tableViewSelectionIsChanging();
  void remoteTreeAddButtonOk(const QString& path) override;
  void clean();

  QoRemoteTreeViewDelegate* remoteTreeViewDelegate() const { return remoteTreeViewDelegate_; }
  void setRemoteTreeViewDelegate(QoRemoteTreeViewDelegate* delegate) { remoteTreeViewDelegate_ = delegate; }
  QListWidget* tableView() const { return tableView_; }
  const std::vector<Row>& items() const { return items_; }
  const std::shared_ptr<QoClient>& client() const { return client_; }
  const std::shared_ptr<QoDevice>& device() const { return device_; }
  QoRemoteTreeAddViewController* treeAddViewController() const;
  const std::optional<QString>& selectedSyncdirCopyPath() const { return selectedSyncdirCopyPath_; }
  PendingReplies* pendingReplies() const { return pending_; }

 private:
  // Whether a reply from `from` belongs to the device listed now.
  bool isCurrentDevice(const std::shared_ptr<QoDevice>& from, const std::shared_ptr<QoMessage>& reply) const;
  void requestTrees();
  void showNoAnswer();
  void openTreeAddView();
  void treeAddViewClosed();
  Row firstRow() const;

  QListWidget* tableView_;
  std::vector<Row> items_;
  std::shared_ptr<QoClient> client_;
  std::shared_ptr<QoDevice> device_;
  QPointer<QoRemoteTreeAddViewController> treeAddViewController_;
  std::optional<QString> selectedSyncdirCopyPath_;
  QoRemoteTreeViewDelegate* remoteTreeViewDelegate_ = nullptr;
  PendingReplies* pending_;
  MainThreadObservers observers_;
  bool updating_ = false;
};

}  // namespace velbor
