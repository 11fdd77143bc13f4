#include "ui/QoDeviceController.h"

namespace velbor {

QoDeviceController::QoDeviceController(QWidget* parent) : QWidget(parent) { resize(640, 420); }

void QoDeviceController::itemDidClick(SelectableToolbarItem*) {}

}  // namespace velbor
