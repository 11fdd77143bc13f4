#pragma once

#include <QWidget>

#include "ui/SelectableToolbarItem.h"

namespace velbor {

class SettingController : public QWidget, public SelectableToolbarItemDelegate {
  Q_OBJECT

 public:
  explicit SettingController(QWidget* parent = nullptr);
  void itemDidClick(SelectableToolbarItem* item) override;
};

}  // namespace velbor
