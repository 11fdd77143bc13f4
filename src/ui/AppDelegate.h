#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

namespace velbor {

class MainWindow;

// The application: decides at launch whether the token window is needed, starts the engine,
// owns the status-bar item with its menu and the main window, and stops the engine at the end.
// Every action is thin: one call into the engine or a window.
class AppDelegate : public QObject {
  Q_OBJECT

 public:
  AppDelegate();
  ~AppDelegate() override;

  // Builds the status-bar item and wires the main window's controls.
  void awakeFromNib();
  // The token window first when no token is stored, then notices and the engine. False when
  // the token window was closed without a token: the application quits.
  bool applicationDidFinishLaunching();
  // Brings the main window forward when none is visible; always true.
  bool applicationShouldHandleReopen(bool hasVisibleWindows);
  // Logs "exit!!!" and stops the engine; the windows keep handling their events until the
  // stop has finished. Once only.
  void applicationWillTerminate();

  MainWindow* window() const { return window_.get(); }
  QMenu* statusMenu() const { return statusMenu_.get(); }
  QSystemTrayIcon* statusItem() const { return statusItem_.get(); }

  void about();
  void showWindow();
  void sendFeedback();
  void debug();
  void broadcast();
  void offline();
  void forceReset();
  void showFileDownloadPercent(bool on);
  void showFileSyncInfo(bool on);
  void sendNotification();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void windowClosed();

  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<QMenu> statusMenu_;
  std::unique_ptr<QSystemTrayIcon> statusItem_;
  bool watchingCloses_ = false;
  bool terminated_ = false;
};

}  // namespace velbor
