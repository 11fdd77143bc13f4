// Stand-ins for the desktop's services on private buses. With a file argument: the
// notification service on the session bus, which owns org.freedesktop.Notifications and
// appends one line per Notify call ("<summary>\t<body>", line ends in the body escaped) to
// the file. With "--file-manager FILE": the file manager on the session bus, which owns
// org.freedesktop.FileManager1 and appends one line per ShowItems call ("<uri> ...\t<startup
// id>"). With "--login1": logind on the system bus, whose test-only Sleep(bool) call sends
// the PrepareForSleep signal. A record file exists once its service owns its name.

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

class FakeFileManager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

 public:
  explicit FakeFileManager(const QString& path) : record_(path) {}

 public slots:
  void ShowItems(const QStringList& uris, const QString& startupId) {
    QFile file(record_);
    if (file.open(QIODevice::Append)) file.write((uris.join(' ') + "\t" + startupId + "\n").toUtf8());
  }

 private:
  QString record_;
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

bool serve(QDBusConnection bus, const QString& path, QObject* object, const QString& name, const QString& record) {
  if (!bus.registerObject(path, object, QDBusConnection::ExportAllSlots) || !bus.registerService(name)) {
    std::fprintf(stderr, "cannot serve %s\n", qPrintable(name));
    return false;
  }
  if (!record.isEmpty()) {
    QFile file(record);
    if (!file.open(QIODevice::Append)) std::fprintf(stderr, "cannot write %s\n", qPrintable(record));
  }
  return true;
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QString argument = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
  const bool fileManager = argument == "--file-manager";
  if (argc != (fileManager ? 3 : 2)) {
    std::fprintf(stderr, "usage: %s <record file> | --file-manager <record file> | --login1\n", argv[0]);
    return 2;
  }
  FakeLogin login;
  FakeNotifications notifications(argument);
  FakeFileManager files(fileManager ? QString::fromLocal8Bit(argv[2]) : QString());
  bool served = false;
  if (argument == "--login1") {
    served = serve(QDBusConnection::systemBus(), "/org/freedesktop/login1", &login, "org.freedesktop.login1", {});
  } else if (fileManager) {
    served = serve(QDBusConnection::sessionBus(), "/org/freedesktop/FileManager1", &files,
                   "org.freedesktop.FileManager1", QString::fromLocal8Bit(argv[2]));
  } else {
    served = serve(QDBusConnection::sessionBus(), "/org/freedesktop/Notifications", &notifications,
                   "org.freedesktop.Notifications", argument);
  }
  return served ? QCoreApplication::exec() : 1;
}

#include "FakeNotificationServer.moc"
