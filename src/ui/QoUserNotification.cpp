#include "ui/QoUserNotification.h"

namespace velbor {

QoUserNotification& QoUserNotification::sharedQoUserNotification() {
  static QoUserNotification* instance = new QoUserNotification();
  return *instance;
}

void QoUserNotification::showNotification(const QString&, const QString&, const QString&, const QPixmap&) {}

void QoUserNotification::sendTestNotification() {}

}  // namespace velbor
