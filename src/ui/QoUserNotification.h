#pragma once

#include <QObject>
#include <QPixmap>
#include <QString>

namespace velbor {

// Desktop notices: devices online and offline, too little disk space, trust requests.
class QoUserNotification : public QObject {
  Q_OBJECT

 public:
  static QoUserNotification& sharedQoUserNotification();
  void userNotificationInit() {}
  void showNotification(const QString& title, const QString& subTitle, const QString& info,
                        const QPixmap& image = QPixmap());
  void sendTestNotification();

 private:
  QoUserNotification() = default;
};

}  // namespace velbor
