#pragma once

#include <QWidget>

#include "ui/SelectableToolbarItem.h"

namespace velbor {

class QoDeviceController : public QWidget, public SelectableToolbarItemDelegate {
  Q_OBJECT

 public:
  explicit QoDeviceController(QWidget* parent = nullptr);
  void itemDidClick(SelectableToolbarItem* item) override;
};

}  // namespace velbor
