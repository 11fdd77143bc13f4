// A stand-in for the desktop's notification service on a private session bus: owns
// org.freedesktop.Notifications and appends one line per Notify call ("<summary>\t<body>",
// line ends in the body escaped) to the file named by its argument.

#include <QCoreApplication>
#include <QDBusConnection>
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
  QStringList GetCapabilities() { return {"body"}; }
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

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <record file>\n", argv[0]);
    return 2;
  }
  FakeNotifications service(QString::fromLocal8Bit(argv[1]));
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.registerObject("/org/freedesktop/Notifications", &service, QDBusConnection::ExportAllSlots) ||
      !bus.registerService("org.freedesktop.Notifications")) {
    std::fprintf(stderr, "cannot serve on the session bus\n");
    return 1;
  }
  return QCoreApplication::exec();
}

#include "FakeNotificationServer.moc"
