// Stand-ins for the desktop's services on private buses. With a file argument: the
// notification service on the session bus, which owns org.freedesktop.Notifications and
// appends one line per Notify call ("<summary>\t<body>", line ends in the body escaped) to
// the file. With "--login1": logind on the system bus, whose test-only Sleep(bool) call sends
// the PrepareForSleep signal.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <cstdio>

class FakeNotifications : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  explicit FakeNotifications(const QString& path) : record_(path) {}

 public slots:
  uint Notify(const QString& /*appName*/, uint /*replacesId*/, const QString& /*appIcon*/, const QString& summary,
              const QString& body, const QStringList& /*actions*/, const QVariantMap& /*hints*/, int /*timeout*/) {
    QFile file(record_);
    if (file.open(QIODevice::Append)) {
      QString escaped = body;
      escaped.replace('\n', "\\n");
      file.write((summary + "\t" + escaped + "\n").toUtf8());
    }
    return ++lastId_;
  }
  // As the common desktops do: the body may carry markup.
  QStringList GetCapabilities() { return {"body", "body-markup"}; }
  QString GetServerInformation(QString& vendor, QString& version, QString& specVersion) {
    vendor = "velbor-test";
    version = "1";
    specVersion = "1.2";
    return "fake";
  }
  void CloseNotification(uint /*id*/) {}

 private:
  QString record_;
  uint lastId_ = 0;
};

class FakeLogin : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.velbor.test.Login")

 public slots:
  void Sleep(bool sleeping) {
    QDBusMessage signal =
        QDBusMessage::createSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep");
    signal << sleeping;
    QDBusConnection::systemBus().send(signal);
  }
};

bool serve(QDBusConnection bus, const QString& path, QObject* object, const QString& name) {
  if (bus.registerObject(path, object, QDBusConnection::ExportAllSlots) && bus.registerService(name)) return true;
  std::fprintf(stderr, "cannot serve %s\n", qPrintable(name));
  return false;
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <record file> | --login1\n", argv[0]);
    return 2;
  }
  const QString argument = QString::fromLocal8Bit(argv[1]);
  FakeLogin login;
  FakeNotifications notifications(argument);
  const bool served =
      argument == "--login1"
          ? serve(QDBusConnection::systemBus(), "/org/freedesktop/login1", &login, "org.freedesktop.login1")
          : serve(QDBusConnection::sessionBus(), "/org/freedesktop/Notifications", &notifications,
                  "org.freedesktop.Notifications");
  return served ? QCoreApplication::exec() : 1;
}

#include "FakeNotificationServer.moc"
