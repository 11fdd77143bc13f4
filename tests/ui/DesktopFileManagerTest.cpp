#include <QApplication>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <chrono>

#include <gtest/gtest.h>

#include "OpenedUrls.h"
#include "ui/UiSpin.h"

#include "ui/DesktopFileManager.h"

namespace velbor {

// Stands in for the desktop's file manager on the test bus and records what it is asked.
class FakeFileManager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

 public:
  QStringList shown;
  QString startupId;

 public slots:
  void ShowItems(const QStringList& uris, const QString& id) {
    shown += uris;
    startupId = id;
  }
};

namespace {

using test::spinUntil;

TEST(DesktopFileManagerTest, ShowsThroughTheFileManagerServiceOrOpensTheFolder) {
  // A private session bus that starts nothing by itself.
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString socket = dir.filePath("bus");
  QFile config(dir.filePath("bus.conf"));
  ASSERT_TRUE(config.open(QIODevice::WriteOnly));
  config.write(QString("<busconfig><type>session</type><listen>unix:path=%1</listen><auth>EXTERNAL</auth>"
                       "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                       "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>")
                   .arg(socket)
                   .toUtf8());
  config.close();
  QProcess daemon;
  daemon.start("dbus-daemon", {"--config-file=" + config.fileName(), "--nofork", "--nopidfile"});
  ASSERT_TRUE(daemon.waitForStarted());
  ASSERT_TRUE(spinUntil([&] { return QFile::exists(socket); }));
  const QString address = "unix:path=" + socket;
  qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
  ASSERT_TRUE(QDBusConnection::sessionBus().isConnected());

  test::OpenedUrls opened;
  QDesktopServices::setUrlHandler("file", &opened, "open");

  // Nobody owns the file manager's name: the folder is opened instead.
  DesktopFileManager::showItem("/home/me/文档");
  ASSERT_TRUE(spinUntil([&] { return !opened.urls.isEmpty(); }));
  EXPECT_EQ(opened.urls.front(), QUrl::fromLocalFile("/home/me/文档"));

  {
    QDBusConnection owner = QDBusConnection::connectToBus(address, "fake-file-manager");
    FakeFileManager fake;
    ASSERT_TRUE(owner.registerObject(DesktopFileManager::kPath, &fake, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(owner.registerService(DesktopFileManager::kService));

    DesktopFileManager::showItem("/home/me/照片");
    ASSERT_TRUE(spinUntil([&] { return !fake.shown.isEmpty(); }));
    EXPECT_EQ(fake.shown, QStringList({QUrl::fromLocalFile("/home/me/照片").toString()}));
    EXPECT_EQ(fake.startupId, "");
    EXPECT_EQ(opened.urls.size(), 1);
    owner.unregisterService(DesktopFileManager::kService);
  }
  QDBusConnection::disconnectFromBus("fake-file-manager");
  QDesktopServices::unsetUrlHandler("file");
  daemon.terminate();
  daemon.waitForFinished();
}

}  // namespace
}  // namespace velbor

#include "DesktopFileManagerTest.moc"
