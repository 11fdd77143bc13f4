#include "ui/DeviceListModel.h"

namespace velbor {

bool DeviceListModel::isSpecialGroup(const BaseNode& node) {
  return node.nodeIcon().isNull() &&
         (node.nodeTitle() == QStringLiteral("本机") || node.nodeTitle() == QStringLiteral("局域网设备"));
}

Qt::ItemFlags DeviceListModel::flags(const QModelIndex& index) const {
  const BaseNode* node = nodeAt(index);
  if (node == nullptr) return Qt::NoItemFlags;
  if (isSpecialGroup(*node)) return Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

bool DeviceListModel::hasChildren(const QModelIndex& parent) const {
  // The rows form a flat list: none can be opened.
  return !parent.isValid() && !roots().empty();
}

}  // namespace velbor
