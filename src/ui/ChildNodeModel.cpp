#include "ui/ChildNodeModel.h"

#include <functional>

namespace velbor {

ChildNodeModel::ChildNodeModel(QObject* parent) : QAbstractItemModel(parent) {}

void ChildNodeModel::setRoots(BaseNode::List roots) {
  beginResetModel();
  roots_ = std::move(roots);
  rowsMoved();
  endResetModel();
}

BaseNode* ChildNodeModel::nodeAt(const QModelIndex& index) {
  return index.isValid() ? static_cast<BaseNode*>(index.internalPointer()) : nullptr;
}

QModelIndex ChildNodeModel::indexOf(const BaseNode* node) const {
  const Location* location = locationOf(node);
  return location != nullptr ? createIndex(location->row, 0, const_cast<BaseNode*>(node)) : QModelIndex();
}

const ChildNodeModel::Location* ChildNodeModel::locationOf(const BaseNode* node) const {
  if (node == nullptr) return nullptr;
  if (locationsStale_) {
    locations_.clear();
    std::function<void(const BaseNode*, const BaseNode::List&)> place = [&](const BaseNode* parent,
                                                                            const BaseNode::List& nodes) {
      for (size_t row = 0; row < nodes.size(); ++row) {
        const BaseNode* each = nodes[row].get();
        // A node listed twice keeps its first place, as a walk from the roots finds it.
        if (!locations_.emplace(each, Location{parent, static_cast<int>(row)}).second) continue;
        if (!each->isLeaf()) place(each, each->children());
      }
    };
    place(nullptr, roots_);
    locationsStale_ = false;
  }
  const auto found = locations_.find(node);
  return found != locations_.end() ? &found->second : nullptr;
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
  const Location* location = locationOf(node);
  return location != nullptr ? indexOf(location->parent) : QModelIndex();
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
