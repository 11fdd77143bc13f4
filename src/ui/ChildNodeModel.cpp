#include "ui/ChildNodeModel.h"

#include <algorithm>
#include <functional>

namespace velbor {

namespace {

int rowIn(const BaseNode::List& nodes, const BaseNode* node) {
  auto it = std::find_if(nodes.begin(), nodes.end(), [node](const BaseNode::Ptr& each) { return each.get() == node; });
  return it == nodes.end() ? -1 : static_cast<int>(it - nodes.begin());
}

}  // namespace

ChildNodeModel::ChildNodeModel(QObject* parent) : QAbstractItemModel(parent) {}

void ChildNodeModel::setRoots(BaseNode::List roots) {
  beginResetModel();
  roots_ = std::move(roots);
  endResetModel();
}

BaseNode* ChildNodeModel::nodeAt(const QModelIndex& index) {
  return index.isValid() ? static_cast<BaseNode*>(index.internalPointer()) : nullptr;
}

QModelIndex ChildNodeModel::indexOf(const BaseNode* node) const {
  if (node == nullptr) return {};
  if (int row = rowIn(roots_, node); row >= 0) return createIndex(row, 0, const_cast<BaseNode*>(node));
  const BaseNode::Ptr parent = node->parentFromArray(roots_);
  if (!parent) return {};
  return createIndex(rowIn(parent->children(), node), 0, const_cast<BaseNode*>(node));
}

void ChildNodeModel::refreshAll() {
  // Repaints the rows without resetting selection or expansion.
  std::function<void(const QModelIndex&)> each = [&](const QModelIndex& parent) {
    const int rows = rowCount(parent);
    if (rows == 0) return;
    emit dataChanged(index(0, 0, parent), index(rows - 1, 0, parent));
    for (int row = 0; row < rows; ++row) each(index(row, 0, parent));
  };
  each({});
}

const BaseNode::List& ChildNodeModel::childrenOf(const QModelIndex& parent) const {
  const BaseNode* node = nodeAt(parent);
  return node ? node->children() : roots_;
}

QModelIndex ChildNodeModel::index(int row, int column, const QModelIndex& parent) const {
  const BaseNode::List& nodes = childrenOf(parent);
  if (column != 0 || row < 0 || row >= static_cast<int>(nodes.size())) return {};
  return createIndex(row, column, nodes[static_cast<size_t>(row)].get());
}

QModelIndex ChildNodeModel::parent(const QModelIndex& child) const {
  const BaseNode* node = nodeAt(child);
  if (node == nullptr) return {};
  const BaseNode::Ptr parent = node->parentFromArray(roots_);
  return parent ? indexOf(parent.get()) : QModelIndex();
}

int ChildNodeModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  return static_cast<int>(childrenOf(parent).size());
}

int ChildNodeModel::columnCount(const QModelIndex&) const { return 1; }

bool ChildNodeModel::hasChildren(const QModelIndex& parent) const {
  const BaseNode* node = nodeAt(parent);
  if (node == nullptr) return !roots_.empty();
  return !node->isLeaf() && !node->children().empty();
}

QVariant ChildNodeModel::data(const QModelIndex& index, int role) const {
  const BaseNode* node = nodeAt(index);
  if (node == nullptr) return {};
  switch (role) {
    case Qt::DisplayRole:
      return node->nodeTitle();
    case Qt::DecorationRole:
      return node->nodeIcon().isNull() ? QVariant() : QVariant(node->nodeIcon());
    default:
      return {};
  }
}

Qt::ItemFlags ChildNodeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (nodeAt(index)->isLeaf()) flags |= Qt::ItemNeverHasChildren;
  return flags;
}

}  // namespace velbor
