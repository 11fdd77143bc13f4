#include "ui/QoUserNotification.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include <fmt/format.h>

#include "core/entity/QoDevice.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "platform/QoLog.h"
#include "ui/MainThread.h"

namespace velbor {

// The "image-data" hint of the notification service: raw RGBA rows.
struct NotificationImage {
  int width = 0;
  int height = 0;
  int rowStride = 0;
  bool hasAlpha = true;
  int bitsPerSample = 8;
  int channels = 4;
  QByteArray data;
};

QDBusArgument& operator<<(QDBusArgument& argument, const NotificationImage& image) {
  argument.beginStructure();
  argument << image.width << image.height << image.rowStride << image.hasAlpha << image.bitsPerSample << image.channels
           << image.data;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, NotificationImage& image) {
  argument.beginStructure();
  argument >> image.width >> image.height >> image.rowStride >> image.hasAlpha >> image.bitsPerSample >>
      image.channels >> image.data;
  argument.endStructure();
  return argument;
}

}  // namespace velbor

Q_DECLARE_METATYPE(velbor::NotificationImage)

namespace velbor {

namespace {

constexpr int64_t kKB = 1024;
constexpr int64_t kMB = 1024 * kKB;
constexpr int64_t kGB = 1024 * kMB;

NotificationImage notificationImage(const QImage& source) {
  const QImage rgba = source.convertToFormat(QImage::Format_RGBA8888);
  NotificationImage image;
  image.width = rgba.width();
  image.height = rgba.height();
  image.rowStride = static_cast<int>(rgba.bytesPerLine());
  image.data = QByteArray(reinterpret_cast<const char*>(rgba.constBits()), static_cast<qsizetype>(rgba.sizeInBytes()));
  return image;
}

QString body(const QString& subTitle, const QString& info) {
  if (subTitle.isEmpty()) return info;
  if (info.isEmpty()) return subTitle;
  return subTitle + "\n" + info;
}

// A service that reads the body as markup must see names and paths (a peer's files) as text.
QString escapedMarkup(QString text) {
  text.replace('&', QLatin1String("&amp;"));
  text.replace('<', QLatin1String("&lt;"));
  text.replace('>', QLatin1String("&gt;"));
  return text;
}

}  // namespace

QoUserNotification& QoUserNotification::sharedQoUserNotification() {
  // Never destroyed: engine threads may post notices until the process ends.
  static QoUserNotification* instance = new QoUserNotification();
  return *instance;
}

QoUserNotification::QoUserNotification() {
  qDBusRegisterMetaType<NotificationImage>();
  if (QCoreApplication* app = QCoreApplication::instance(); app != nullptr && thread() != app->thread()) {
    moveToThread(app->thread());
  }
  observers_.push_back(QoNotices::observe<notice::NotEnoughDeviceSpace>(
      [this](const notice::NotEnoughDeviceSpace& notice) { handleNotEnoughDevcieSpace(notice); }));
  observers_.push_back(QoNotices::observe<notice::SyncdirMissing>([this](const notice::SyncdirMissing& notice) {
    sendUserNotification(UserNotification{
        "同步文件夹不在", QString::fromStdString(notice.path),
        "所在磁盘未挂载，或挂载的是另一块磁盘？装回它自己的磁盘后会自动继续同步，其中的文件不会在其他设备上被删除",
        QImage(), "dialog-warning", QSystemTrayIcon::Warning});
  }));
  observers_.push_back(QoNotices::observe<notice::DeviceAddResponse>(
      [this](const notice::DeviceAddResponse& notice) { handleDeviceOnline(notice); }));
  observers_.push_back(QoNotices::observe<notice::DeviceOffLine>(
      [this](const notice::DeviceOffLine& notice) { handleDeviceOffline(notice); }));
  // Without a system bus (or logind) the computer is taken to be always awake.
  QDBusConnection system = QDBusConnection::systemBus();
  if (system.isConnected()) {
    system.connect("org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                   "PrepareForSleep", this, SLOT(prepareForSleep(bool)));
  }
}

QoUserNotification::~QoUserNotification() {
  for (NotificationCenter::Token token : observers_) NotificationCenter::defaultCenter().removeObserver(token);
}

void QoUserNotification::setStatusItem(QSystemTrayIcon* item) { statusItem_ = item; }

void QoUserNotification::showNotification(const QString& title, const QString& subTitle, const QString& info) {
  sendUserNotification(UserNotification{title, subTitle, info, QImage(), QString(), QSystemTrayIcon::Information});
}

void QoUserNotification::showNotification(const QString& title, const QString& subTitle, const QString& info,
                                          const QPixmap& image) {
  sendUserNotification(
      UserNotification{title, subTitle, info, image.toImage(), QString(), QSystemTrayIcon::Information});
}

void QoUserNotification::sendTestNotification() {
  sendUserNotification(UserNotification{"Velbor 测试通知", QString(), "这是一条测试通知。", QImage(), QString(),
                                        QSystemTrayIcon::Information});
}

void QoUserNotification::sendUserNotification(UserNotification notification) {
  if (isSleep_.load() || !QoConfig::sharedQoConfig().showUserNotificaion()) return;
  MainThread::async([this, notification = std::move(notification)] { deliver(notification); });
}

void QoUserNotification::deliver(const UserNotification& notification) {
  QDBusConnection session = QDBusConnection::sessionBus();
  QDBusConnectionInterface* bus = session.isConnected() ? session.interface() : nullptr;
  if (bus != nullptr && bus->isServiceRegistered(kService).value()) {
    // Whether the body is read as markup is the service's choice: asked first, never waited for
    // on the main thread. Replies come in the order of the calls, so notices keep their order.
    const QDBusPendingCall capabilities =
        session.asyncCall(QDBusMessage::createMethodCall(kService, kPath, kService, "GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(capabilities, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [notification](QDBusPendingCallWatcher* answered) {
      answered->deleteLater();
      const QDBusPendingReply<QStringList> reply = *answered;
      const bool markup = !reply.isError() && reply.value().contains(QStringLiteral("body-markup"));
      QString text = body(notification.subTitle, notification.info);
      if (markup) text = escapedMarkup(text);
      QDBusMessage notify = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
      QVariantMap hints;
      hints["sound-name"] = "message-new-instant";
      if (!notification.image.isNull())
        hints["image-data"] = QVariant::fromValue(notificationImage(notification.image));
      notify << QString("Velbor") << 0U << notification.iconName << notification.title << text << QStringList() << hints
             << -1;
      // The reply (the notice's id) is of no use here: nothing waits for it.
      QDBusConnection::sessionBus().asyncCall(notify);
    });
    return;
  }
  if (statusItem_ != nullptr && QSystemTrayIcon::supportsMessages()) {
    statusItem_->showMessage(notification.title, body(notification.subTitle, notification.info), notification.trayIcon);
    return;
  }
  QoLog("notice not shown (no notification service): {}", notification.title.toStdString());
}

void QoUserNotification::handleDeviceOnline(const notice::DeviceAddResponse& notice) {
  for (const auto& device : notice.devices) {
    if (device) showNotification(QString::fromStdString(device->name()), QString(), "上线了");
  }
}

void QoUserNotification::handleDeviceOffline(const notice::DeviceOffLine& notice) {
  for (const auto& device : notice.devices) {
    if (device) showNotification(QString::fromStdString(device->name()), QString(), "下线了");
  }
}

void QoUserNotification::handleNotEnoughDevcieSpace(const notice::NotEnoughDeviceSpace& notice) {
  const QString subTitle =
      QString("需要下载 %1 的文件，磁盘只剩 %2 可用")
          .arg(convertBytes(static_cast<int64_t>(notice.total)), convertBytes(static_cast<int64_t>(notice.available)));
  sendUserNotification(UserNotification{"磁盘空间不够", subTitle, "请清理磁盘空间后再同步", QImage(), "dialog-error",
                                        QSystemTrayIcon::Critical});
}

QString QoUserNotification::convertBytes(int64_t bytes) {
  std::string text;
  if (bytes < kKB) {
    text = fmt::format("{}B", bytes);
  } else if (bytes < kMB) {
    text = fmt::format("{}KB", bytes / kKB);
  } else if (bytes < kGB) {
    text = fmt::format("{}MB", bytes / kMB);
  } else {
    text = fmt::format("{}GB", bytes / kGB);
  }
  return QString::fromStdString(text);
}

void QoUserNotification::receiveSleepNote(const QString& name) {
  QoLog("receiveSleepNote: {}", name.toStdString());
  isSleep_ = true;
}

void QoUserNotification::receiveWakeNote(const QString& name) {
  QoLog("receiveWakeNote: {}", name.toStdString());
  isSleep_ = false;
}

void QoUserNotification::prepareForSleep(bool sleeping) {
  if (sleeping) {
    receiveSleepNote("PrepareForSleep");
  } else {
    receiveWakeNote("PrepareForSleep");
  }
}

}  // namespace velbor
