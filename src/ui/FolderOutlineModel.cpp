#include "ui/FolderOutlineModel.h"

#include <utility>

namespace velbor {

void FolderOutlineModel::replaceChildren(const BaseNode::Ptr& parent, BaseNode::List children) {
  const QModelIndex at = indexOf(parent.get());
  if (!at.isValid()) return;
  const int old = static_cast<int>(parent->children().size());
  if (old > 0) {
    beginRemoveRows(at, 0, old - 1);
    parent->children().clear();
    rowsMoved();
    endRemoveRows();
  }
  if (children.empty()) return;
  beginInsertRows(at, 0, static_cast<int>(children.size()) - 1);
  parent->setChildren(std::move(children));
  rowsMoved();
  endInsertRows();
}

bool FolderOutlineModel::hasChildren(const QModelIndex& parent) const {
  const BaseNode* node = nodeAt(parent);
  if (node == nullptr) return !roots().empty();
  return !node->isLeaf();
}

}  // namespace velbor
