#include "ui/SingleInstance.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QThread>

#include "platform/QoLog.h"

namespace velbor {

namespace {

constexpr int kConnectMs = 1000;
constexpr int kPollMs = 100;
const QByteArray kShowRequest = "show\n";

}  // namespace

SingleInstance::SingleInstance(const QString& key, QObject* parent) : QObject(parent) {
  const QByteArray digest = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
  name_ = QString("velbor-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest));
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* client = server_.nextPendingConnection()) {
      connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      connect(client, &QLocalSocket::readyRead, this, [this, client] {
        // Only the one request is known; anything else is dropped with the connection.
        const QByteArray line = client->readAll();
        if (line == kShowRequest) emit reopenRequested();
        client->disconnectFromServer();
      });
    }
  });
}

SingleInstance::~SingleInstance() { server_.close(); }

bool SingleInstance::notifyRunning() {
  QLocalSocket probe;
  probe.connectToServer(name_);
  if (probe.waitForConnected(kConnectMs)) {
    probe.write(kShowRequest);
    probe.waitForBytesWritten(kConnectMs);
    probe.disconnectFromServer();
    return true;
  }
  // Nobody answers: a socket left by a killed instance is removed before listening.
  QLocalServer::removeServer(name_);
  if (!server_.listen(name_)) QoLog("*** single instance listen failed, {}", server_.errorString().toStdString());
  return false;
}

bool SingleInstance::waitForPreviousToEnd(int ms) {
  const QDeadlineTimer deadline(ms);
  while (true) {
    QLocalSocket probe;
    probe.connectToServer(name_);
    if (!probe.waitForConnected(kPollMs)) return true;
    probe.disconnectFromServer();
    if (deadline.hasExpired()) return false;
    QThread::msleep(kPollMs);
  }
}

}  // namespace velbor
