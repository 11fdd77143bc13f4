#include "ui/SettingController.h"

namespace velbor {

SettingController::SettingController(QWidget* parent) : QWidget(parent) { resize(640, 420); }

void SettingController::itemDidClick(SelectableToolbarItem*) {}

}  // namespace velbor
