#pragma once

#include "ui/ChildNodeModel.h"

namespace velbor {

// The device rows of the device selection window under their two group rows ("本机",
// "局域网设备"), which cannot be selected.
class DeviceListModel : public ChildNodeModel {
  Q_OBJECT

 public:
  using ChildNodeModel::ChildNodeModel;

  // Group rows are recognised by having no icon and one of the two group titles.
  static bool isSpecialGroup(const BaseNode& node);

  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
};

}  // namespace velbor
