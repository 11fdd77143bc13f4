#include "ui/QoFeedBackViewController.h"

namespace velbor {

QoFeedBackViewController::QoFeedBackViewController(QWidget* parent) : QDialog(parent) {}

void QoFeedBackViewController::showWindow() {}

}  // namespace velbor
