#include "ui/PrivateSessionBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QThread>

#include <cstdlib>
#include <filesystem>

#include "ui/QoUserNotification.h"

#ifndef VELBOR_FAKE_NOTIFICATION_SERVER
#error "VELBOR_FAKE_NOTIFICATION_SERVER names the fake service's program"
#endif

namespace velbor::test {

namespace {

constexpr int kStartMs = 10000;
constexpr int kPollMs = 20;

}  // namespace

PrivateSessionBus::PrivateSessionBus() { started_ = start(); }

PrivateSessionBus::~PrivateSessionBus() {
  stop(server_);
  stop(daemon_);
}

void PrivateSessionBus::stop(QProcess& process) {
  if (process.state() == QProcess::NotRunning) return;
  process.terminate();
  if (!process.waitForFinished(kStartMs)) {
    process.kill();
    process.waitForFinished(kStartMs);
  }
}

bool PrivateSessionBus::start() {
  const QString socket = QString::fromStdString((dir_ / "bus.sock").string());
  const QString config = QString::fromStdString((dir_ / "bus.conf").string());
  writeFile(dir_ / "bus.conf",
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n  <type>session</type>\n  <listen>unix:path=" +
                socket.toStdString() +
                "</listen>\n  <auth>EXTERNAL</auth>\n"
                "  <policy context=\"default\">\n    <allow send_destination=\"*\"/>\n    <allow own=\"*\"/>\n"
                "    <allow receive_sender=\"*\"/>\n  </policy>\n</busconfig>\n");
  daemon_.start("dbus-daemon", {"--config-file=" + config, "--nofork", "--nopidfile"});
  if (!daemon_.waitForStarted(kStartMs)) {
    error_ = "dbus-daemon did not start";
    return false;
  }
  for (int waited = 0; !QFile::exists(socket); waited += kPollMs) {
    if (waited > kStartMs || daemon_.state() == QProcess::NotRunning) {
      error_ = "dbus-daemon does not listen";
      return false;
    }
    QThread::msleep(kPollMs);
  }
  const QString address = "unix:path=" + socket;
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8().constData(), 1);

  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("DBUS_SESSION_BUS_ADDRESS", address);
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  server_.setProcessEnvironment(environment);
  server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  server_.start(VELBOR_FAKE_NOTIFICATION_SERVER, {QString::fromStdString((dir_ / "notices.txt").string())});
  if (!server_.waitForStarted(kStartMs)) {
    error_ = "the fake notification service did not start";
    return false;
  }
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    error_ = "cannot connect to the private session bus";
    return false;
  }
  for (int waited = 0; !bus.interface()->isServiceRegistered(QoUserNotification::kService).value();
       waited += kPollMs) {
    if (waited > kStartMs || server_.state() == QProcess::NotRunning) {
      error_ = "the fake notification service does not own its name";
      return false;
    }
    QThread::msleep(kPollMs);
  }
  return true;
}

QStringList PrivateSessionBus::notices() const {
  QFile file(QString::fromStdString((dir_ / "notices.txt").string()));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

}  // namespace velbor::test
