#pragma once

#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <QWidget>

#include <memory>
#include <vector>

#include "platform/NotificationCenter.h"
#include "ui/ChildNode.h"
#include "ui/QoSyncAddController.h"
#include "ui/SelectableToolbarItem.h"
#include "ui/TreeProgress.h"

namespace velbor {

class ChildNodeModel;
class QoSyncdirCopy;
class QoSyncdirCopyRelation;
class QoTreeTextAndImageCell;
class SyncFileProcessBox;

// The sync pane: every local copy of a sync folder (a tree row) with its pairings below it,
// and their live indexing and transfer progress.
//
// Engine notices arrive on the "notify" queue. Tree and pairing changes rebuild the rows
// from the database on the global queue; progress notices only update the progress state.
// Views change on the main thread, where a short timer repaints the rows at most a few
// times a second however fast progress arrives.
class QoTreeController : public QWidget, public SelectableToolbarItemDelegate {
  Q_OBJECT

 public:
  static constexpr int kTreeTag = 1;
  static constexpr int kPairTag = 0;
  static constexpr int kRepaintIntervalMs = 250;
  // The rows are repainted this often without any notice, so that an age shown ("N分钟前")
  // stays current.
  static constexpr int kAgeRefreshIntervalMs = 20000;

  explicit QoTreeController(QWidget* parent = nullptr);
  ~QoTreeController() override;

  void itemDidClick(SelectableToolbarItem* item) override;

  // Stops observing the engine and drops the rows.
  void clean();
  // Rebuilds the rows from the database on the global queue; returns at once.
  void refreshSyncdirCopies();
  // The tree rows of the local copies, each with its pairing rows (reads the database).
  static BaseNode::List buildRows();
  void udpateNodes(BaseNode::List roots);

  // A sync once of every pairing, and a rescan of every local copy; returns at once.
  void syncOnce();
  // Asks to delete the clicked tree or pairing.
  void delTree();
  // Opens the sync-pair window (application-modal, not a nested loop); a second press while
  // it is open brings it forward.
  void addTree();
  // The open sync-pair window, or none.
  QoSyncAddController* syncAddController() const { return syncAddController_; }

  // Handles one progress notice (the "notify" queue, or a test).
  void handleNotifySyncFileDownloading(const std::shared_ptr<SyncFileProcessBox>& box);

  QTreeView* outlineView() const { return outlineView_; }
  ChildNodeModel* model() const { return model_; }
  const TreeProgress& progress() const;
  ChildNode* currentNode() const { return currentNode_.get(); }
  void setCurrentNode(const ChildNode::Ptr& node) { currentNode_ = node; }
  // How many times the rows were repainted for progress or age.
  int repaintCount() const { return repaintCount_; }
  // Tests: a shorter age refresh than kAgeRefreshIntervalMs.
  void setAgeRefreshIntervalMs(int intervalMs) { ageTimer_.setInterval(intervalMs); }

  // The delete requests, run on the global queue (the daemon's own handlers: the monitor
  // stops watching a deleted copy). A tree's pairings go first.
  static void deleteTreeThroughDaemon(const std::shared_ptr<QoSyncdirCopy>& copy);
  static void deletePairingThroughDaemon(const std::shared_ptr<QoSyncdirCopyRelation>& relation);

 protected:
  // The rows are read again whenever the pane is shown.
  void showEvent(QShowEvent* event) override;

 private:
  void fillCell(QoTreeTextAndImageCell& cell, const QModelIndex& index) const;
  QString toolTipForCell(QoTreeTextAndImageCell& cell, const QModelIndex& index, const QPoint& pos) const;
  void rowDoubleClicked(const QModelIndex& index);
  void scheduleRepaint();
  void repaintRows();
  void confirmDelete(const QString& title, const QString& message, std::function<void()> onOk);
  // Tells the user that no file manager could show the copy's folder.
  void showOpenFailed(const QString& path);

  ChildNodeModel* model_;
  QTreeView* outlineView_;
  QoTreeTextAndImageCell* cell_;
  QPushButton* addTreeButton_;
  QPushButton* delTreeButton_;
  QTimer repaintTimer_;
  QTimer ageTimer_;
  ChildNode::Ptr currentNode_;
  int repaintCount_ = 0;
  std::vector<NotificationCenter::Token> observers_;
  QPointer<QoSyncAddController> syncAddController_;
  // What engine observers and queued work reach: it outlives the pane while they run.
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace velbor
