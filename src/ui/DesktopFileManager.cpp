#include "ui/DesktopFileManager.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QUrl>

#include "platform/QoLog.h"

namespace velbor {

namespace {

// Runs `done` with the finished call once the reply (or the time-out) arrives.
template <class Done>
void whenFinished(const QDBusPendingCall& call, Done done) {
  auto* watcher = new QDBusPendingCallWatcher(call);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [done](QDBusPendingCallWatcher* finished) {
    done(*finished);
    finished->deleteLater();
  });
}

}  // namespace

void DesktopFileManager::openFallback(const QString& path, const Failed& failed) {
  if (QDesktopServices::openUrl(QUrl::fromLocalFile(path))) return;
  QoLog("*** can not open {}", path.toStdString());
  if (failed) failed(path);
}

void DesktopFileManager::showItem(const QString& path, Failed failed) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    openFallback(path, failed);
    return;
  }
  QDBusMessage ask = QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                    "org.freedesktop.DBus", "NameHasOwner");
  ask << QString(kService);
  whenFinished(bus.asyncCall(ask, kCallTimeoutMs), [path, failed](const QDBusPendingCall& call) {
    const QDBusPendingReply<bool> owned = call;
    if (owned.isValid() && owned.value()) {
      callShowItems(path, failed);
    } else {
      openFallback(path, failed);
    }
  });
}

void DesktopFileManager::callShowItems(const QString& path, const Failed& failed) {
  QDBusMessage show = QDBusMessage::createMethodCall(kService, kPath, kService, "ShowItems");
  show << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
  whenFinished(QDBusConnection::sessionBus().asyncCall(show, kCallTimeoutMs),
               [path, failed](const QDBusPendingCall& call) {
                 if (!call.isError()) return;
                 QoLog("*** ShowItems failed, {}", call.error().message().toStdString());
                 openFallback(path, failed);
               });
}

}  // namespace velbor
