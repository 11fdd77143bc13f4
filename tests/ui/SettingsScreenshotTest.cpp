#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <set>

#include <gtest/gtest.h>

#include "support/TempDir.h"

#ifndef VELBOR_SCREENSHOT_TOOL
#error "VELBOR_SCREENSHOT_TOOL names the program that takes the screenshots"
#endif
#ifndef VELBOR_SCREENSHOT_DIR
#error "VELBOR_SCREENSHOT_DIR names the folder the screenshots go to"
#endif

namespace velbor::test {
namespace {

constexpr int kWaitMs = 15000;

// An X server of the test's own on the first free display number from :90.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfb.isEmpty()) return;
    found_ = true;
    for (int number = 90; number < 130 && !running_; ++number) {
      const QString socket = QString("/tmp/.X11-unix/X%1").arg(number);
      if (QFile::exists(socket) || QFile::exists(QString("/tmp/.X%1-lock").arg(number))) continue;
      server_.start(xvfb, {QString(":%1").arg(number), "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
      if (!server_.waitForStarted(kWaitMs)) continue;
      for (int waited = 0; waited < kWaitMs && server_.state() == QProcess::Running; waited += 20) {
        if (QFile::exists(socket)) {
          display_ = QString(":%1").arg(number);
          running_ = true;
          break;
        }
        QThread::msleep(20);
      }
      if (!running_) {
        server_.kill();
        server_.waitForFinished(kWaitMs);
      }
    }
  }
  ~VirtualDisplay() {
    if (server_.state() == QProcess::NotRunning) return;
    server_.terminate();
    if (!server_.waitForFinished(kWaitMs)) {
      server_.kill();
      server_.waitForFinished(kWaitMs);
    }
  }

  bool found() const { return found_; }
  bool running() const { return running_; }
  const QString& display() const { return display_; }

 private:
  QProcess server_;
  bool found_ = false;
  bool running_ = false;
  QString display_;
};

// Many colours: a drawn window, not a blank or single-colour frame.
size_t colours(const QImage& image) {
  std::set<QRgb> seen;
  for (int y = 0; y < image.height(); y += 2) {
    for (int x = 0; x < image.width(); x += 2) seen.insert(image.pixel(x, y));
  }
  return seen.size();
}

TEST(SettingsScreenshotTest, SettingsPaneAndTokenWindowOnARealDisplay) {
  VirtualDisplay display;
  if (!display.found()) GTEST_SKIP() << "Xvfb is not installed: no screenshots taken";
  ASSERT_TRUE(display.running()) << "Xvfb did not start";
  const QDir folder(VELBOR_SCREENSHOT_DIR);
  ASSERT_TRUE(folder.mkpath("."));
  TempHome home;

  QProcess tool;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "xcb");
  environment.insert("DISPLAY", display.display());
  // The X keyboard library reads past its strings and the X libraries keep their caches to
  // the end: neither is ours, and the sanitizer's strict checks would stop the tool for them.
  environment.insert("ASAN_OPTIONS", "detect_leaks=0:strict_string_checks=0");
  tool.setProcessEnvironment(environment);
  tool.setProcessChannelMode(QProcess::ForwardedChannels);
  tool.start(VELBOR_SCREENSHOT_TOOL, {folder.absolutePath()});
  ASSERT_TRUE(tool.waitForFinished(60000));
  ASSERT_EQ(tool.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(tool.exitCode(), 0);
  for (const char* name : {"settings.png", "token.png"}) {
    const QImage shot(folder.filePath(name));
    ASSERT_FALSE(shot.isNull()) << name;
    EXPECT_GT(colours(shot), 16U) << name;
  }
}

}  // namespace
}  // namespace velbor::test
