#include "ui/PrivateDesktopBuses.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>
#include <QThread>

#include <cstdlib>

#include "ui/QoUserNotification.h"

#ifndef VELBOR_FAKE_NOTIFICATION_SERVER
#error "VELBOR_FAKE_NOTIFICATION_SERVER names the fake services' program"
#endif

namespace velbor::test {

namespace {

constexpr int kStartMs = 10000;
constexpr int kPollMs = 20;
constexpr const char* kLogin = "org.freedesktop.login1";

// Polls `done` every few milliseconds until it holds, `process` ended, or the time is up.
template <class Done>
bool waitFor(const QProcess& process, Done done) {
  for (int waited = 0; !done(); waited += kPollMs) {
    if (waited > kStartMs || process.state() == QProcess::NotRunning) return false;
    QThread::msleep(kPollMs);
  }
  return true;
}

}  // namespace

PrivateDesktopBuses::PrivateDesktopBuses() { started_ = start(); }

PrivateDesktopBuses::~PrivateDesktopBuses() {
  for (QProcess* process : {&login_, &notifications_, &systemDaemon_, &sessionDaemon_}) stop(*process);
}

void PrivateDesktopBuses::stop(QProcess& process) {
  if (process.state() == QProcess::NotRunning) return;
  process.terminate();
  if (!process.waitForFinished(kStartMs)) {
    process.kill();
    process.waitForFinished(kStartMs);
  }
}

QString PrivateDesktopBuses::startBus(QProcess& daemon, const std::string& type) {
  const std::string socket = (dir_ / (type + ".sock")).string();
  const std::filesystem::path config = dir_ / (type + ".conf");
  writeFile(config,
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n  <type>" +
                type + "</type>\n  <listen>unix:path=" + socket +
                "</listen>\n  <auth>EXTERNAL</auth>\n"
                "  <policy context=\"default\">\n    <allow send_destination=\"*\"/>\n    <allow own=\"*\"/>\n"
                "    <allow receive_sender=\"*\"/>\n  </policy>\n</busconfig>\n");
  daemon.start("dbus-daemon", {"--config-file=" + QString::fromStdString(config.string()), "--nofork", "--nopidfile"});
  if (!daemon.waitForStarted(kStartMs) ||
      !waitFor(daemon, [&] { return QFile::exists(QString::fromStdString(socket)); })) {
    error_ = QString::fromStdString("the " + type + " bus did not start");
    return QString();
  }
  return "unix:path=" + QString::fromStdString(socket);
}

bool PrivateDesktopBuses::startFake(QProcess& fake, const QString& argument, const char* bus, const QString& name) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  fake.setProcessEnvironment(environment);
  fake.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  fake.start(VELBOR_FAKE_NOTIFICATION_SERVER, {argument});
  QDBusConnection connection =
      std::string(bus) == "system" ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
  if (!fake.waitForStarted(kStartMs) || !connection.isConnected() ||
      !waitFor(fake, [&] { return connection.interface()->isServiceRegistered(name).value(); })) {
    error_ = "the fake " + name + " did not come up on the " + bus + " bus";
    return false;
  }
  return true;
}

bool PrivateDesktopBuses::start() {
  sessionAddress_ = startBus(sessionDaemon_, "session");
  systemAddress_ = startBus(systemDaemon_, "system");
  if (sessionAddress_.isEmpty() || systemAddress_.isEmpty()) return false;
  ::setenv("DBUS_SESSION_BUS_ADDRESS", sessionAddress_.toUtf8().constData(), 1);
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", systemAddress_.toUtf8().constData(), 1);
  return startFake(notifications_, QString::fromStdString((dir_ / "notices.txt").string()), "session",
                   QoUserNotification::kService) &&
         startFake(login_, "--login1", "system", kLogin);
}

QStringList PrivateDesktopBuses::notices() const {
  QFile file(QString::fromStdString((dir_ / "notices.txt").string()));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

bool PrivateDesktopBuses::sleep(bool sleeping) {
  QDBusMessage call =
      QDBusMessage::createMethodCall(kLogin, "/org/freedesktop/login1", "org.velbor.test.Login", "Sleep");
  call << sleeping;
  return QDBusConnection::systemBus().call(call).type() == QDBusMessage::ReplyMessage;
}

}  // namespace velbor::test
