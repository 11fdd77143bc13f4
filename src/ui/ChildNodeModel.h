#pragma once

#include <QAbstractItemModel>

#include <unordered_map>

#include "ui/ChildNode.h"

namespace velbor {

// An item model over rows of ChildNode: the roots in display order, each row's children
// below it. A row shows its title and icon; a leaf has no children to open. The model holds
// the nodes; views read them on the main thread only.
class ChildNodeModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  explicit ChildNodeModel(QObject* parent = nullptr);

  // Replaces every row.
  void setRoots(BaseNode::List roots);
  const BaseNode::List& roots() const { return roots_; }
  // The row's node, or nullptr for the invisible root.
  static BaseNode* nodeAt(const QModelIndex& index);
  QModelIndex indexOf(const BaseNode* node) const;
  // Every row repaints (their state changed, not their number).
  void refreshAll();

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 protected:
  // Called after any change of which node sits where, before the change is announced.
  void rowsMoved() { locationsStale_ = true; }

 private:
  // Where a node sits: its parent (null for a root) and its row under it.
  struct Location {
    const BaseNode* parent;
    int row;
  };
  const BaseNode::List& childrenOf(const QModelIndex& parent) const;
  // Views ask for parents and rows of every visible row many times: walking the outline for
  // each would make large listings crawl, so the locations are kept until the rows change.
  const Location* locationOf(const BaseNode* node) const;

  BaseNode::List roots_;
  mutable std::unordered_map<const BaseNode*, Location> locations_;
  mutable bool locationsStale_ = true;
};

}  // namespace velbor
