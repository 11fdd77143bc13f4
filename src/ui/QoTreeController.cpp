#include "ui/QoTreeController.h"

namespace velbor {

QoTreeController::QoTreeController(QWidget* parent) : QWidget(parent) { resize(640, 420); }

void QoTreeController::itemDidClick(SelectableToolbarItem*) {}

}  // namespace velbor
