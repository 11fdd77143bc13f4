#pragma once

#include <QWidget>

#include "ui/SelectableToolbarItem.h"

namespace velbor {

class QoTreeController : public QWidget, public SelectableToolbarItemDelegate {
  Q_OBJECT

 public:
  explicit QoTreeController(QWidget* parent = nullptr);
  void itemDidClick(SelectableToolbarItem* item) override;
};

}  // namespace velbor
