#pragma once

#include <QImage>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/NotificationCenter.h"

namespace velbor {

namespace notice {
struct DeviceAddResponse;
struct DeviceOffLine;
struct NotEnoughDeviceSpace;
}  // namespace notice

// Desktop notices: devices online and offline, too little disk space, trust requests. They
// go to the freedesktop notification service on the session bus, or to the status item's
// balloon when no one owns that service; nothing is shown while the computer sleeps or
// while the user has turned notices off.
class QoUserNotification : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kService = "org.freedesktop.Notifications";
  static constexpr const char* kPath = "/org/freedesktop/Notifications";

  // Made once, on first use (the application makes it on the main thread at launch).
  static QoUserNotification& sharedQoUserNotification();
  void userNotificationInit() {}
  // The status item whose balloon stands in when there is no notification service.
  void setStatusItem(QSystemTrayIcon* item);

  // One notice with these texts (and an image when one is given). From any thread.
  void showNotification(const QString& title, const QString& subTitle, const QString& info);
  // The image variant is for the main thread, where pixmaps live.
  void showNotification(const QString& title, const QString& subTitle, const QString& info, const QPixmap& image);
  void sendTestNotification();

  // A size in bytes as "<n>B", "<n>KB", "<n>MB" or "<n>GB", remainders dropped.
  static QString convertBytes(int64_t bytes);

  bool isSleep() const { return isSleep_.load(); }
  void receiveSleepNote(const QString& name);
  void receiveWakeNote(const QString& name);

 private slots:
  // logind's notice before sleeping (true) and after waking (false).
  void prepareForSleep(bool sleeping);

 private:
  struct UserNotification {
    QString title;
    QString subTitle;
    QString info;
    QImage image;
    // A theme icon name for the service, and the balloon's icon.
    QString iconName;
    QSystemTrayIcon::MessageIcon trayIcon = QSystemTrayIcon::Information;
  };

  QoUserNotification();
  ~QoUserNotification() override;

  // Drops the notice while asleep or when notices are off; otherwise shows it from the main
  // thread, without ever waiting there.
  void sendUserNotification(UserNotification notification);
  void deliver(const UserNotification& notification);
  void handleDeviceOnline(const notice::DeviceAddResponse& notice);
  void handleDeviceOffline(const notice::DeviceOffLine& notice);
  void handleNotEnoughDevcieSpace(const notice::NotEnoughDeviceSpace& notice);

  std::atomic<bool> isSleep_ = false;
  QPointer<QSystemTrayIcon> statusItem_;
  std::vector<NotificationCenter::Token> observers_;
};

}  // namespace velbor
