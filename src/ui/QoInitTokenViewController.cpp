#include "ui/QoInitTokenViewController.h"

namespace velbor {

QoInitTokenViewController::QoInitTokenViewController(QWidget* parent) : QDialog(parent) {}

bool QoInitTokenViewController::showWindow() { return false; }

}  // namespace velbor
