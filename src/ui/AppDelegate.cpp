#include "ui/AppDelegate.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QMessageBox>

#include "core/daemon/discovery/QoDiscovery.h"
#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "core/utils/SmartDebugger.h"
#include "desktop/QoDaemonLinux.h"
#include "platform/QoLog.h"
#include "ui/MainThread.h"
#include "ui/MainWindow.h"
#include "ui/NamedImage.h"
#include "ui/QoDeviceController.h"
#include "ui/QoFeedBackViewController.h"
#include "ui/QoInitTokenViewController.h"
#include "ui/QoUserNotification.h"
#include "ui/ResponsiveWait.h"
#include "ui/SelectableToolbar.h"
#include "ui/ToolTipDelayStyle.h"

namespace velbor {

AppDelegate::AppDelegate() : window_(std::make_unique<MainWindow>()), statusMenu_(std::make_unique<QMenu>()) {}

AppDelegate::~AppDelegate() {
  if (watchingCloses_) qApp->removeEventFilter(this);
}

void AppDelegate::awakeFromNib() {
  // Tool tips take the pause the daemon's start-up stored.
  ToolTipDelayStyle::installFromDefaults();
  statusMenu_->setObjectName("statusMenu");
  statusMenu_->addAction("打开 Velbor", this, &AppDelegate::showWindow);
  statusMenu_->addAction("反馈建议...", this, &AppDelegate::sendFeedback);
  statusMenu_->addAction("关于 Velbor", this, &AppDelegate::about);
  statusMenu_->addSeparator();
  statusMenu_->addAction("退出", qApp, &QCoreApplication::quit);

  statusItem_ = std::make_unique<QSystemTrayIcon>(NamedImage::iconNamed("barLogo"));
  statusItem_->setContextMenu(statusMenu_.get());
  statusItem_->setToolTip("ddd");
  connect(statusItem_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) showWindow();
  });
  statusItem_->show();

  MainWindow* window = window_.get();
  window->deviceController()->awakeFromNib();
  window->showFileDownloadButton()->setChecked(SmartDebugger::sharedSmartDebugger().isCatagoryEnable("Download"));
  window->logBonjourAddress()->setReadOnly(true);
  window->logBonjourAddress()->setText(QString::fromStdString(QoConfig::sharedQoConfig().debugLoggerBonjourAddress()));
  connect(window->showFileDownloadButton(), &QCheckBox::toggled, this, &AppDelegate::showFileDownloadPercent);
  connect(window->showFileSyncInfoButton(), &QCheckBox::toggled, this, &AppDelegate::showFileSyncInfo);
  connect(window->aboutButton(), &QPushButton::clicked, this, &AppDelegate::about);
  connect(window->feedbackButton(), &QPushButton::clicked, this, &AppDelegate::sendFeedback);
  connect(window->debugButton(), &QPushButton::clicked, this, &AppDelegate::debug);
  connect(window->broadcastButton(), &QPushButton::clicked, this, &AppDelegate::broadcast);
  connect(window->offlineButton(), &QPushButton::clicked, this, &AppDelegate::offline);
  connect(window->forceResetButton(), &QPushButton::clicked, this, &AppDelegate::forceReset);
  connect(window->notificationButton(), &QPushButton::clicked, this, &AppDelegate::sendNotification);
  // The debug panel is there only in debug runs.
  if (!QoDaemonLinux::sharedQoDaemonLinux().debugPanelEnable()) window->debugTabView()->removeTab(2);
}

bool AppDelegate::applicationDidFinishLaunching() {
  if (QoConfig::sharedQoConfig().deviceToken().empty()) {
    // The engine encrypts discovery under the token: it does not start without one.
    if (!QoInitTokenViewController::showWindow()) return false;
    showWindow();
  }
  QoUserNotification& notification = QoUserNotification::sharedQoUserNotification();
  notification.userNotificationInit();
  notification.setStatusItem(statusItem_.get());
  QoDaemonLinux::sharedQoDaemonLinux().start();
  return true;
}

bool AppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
  if (!hasVisibleWindows) showWindow();
  return true;
}

void AppDelegate::applicationWillTerminate() {
  if (terminated_) return;
  terminated_ = true;
  MainThread::setClosing();
  QoLog("exit!!!");
  // The stop announces the exit and ends the pulls and services, which takes a moment: the
  // windows are drawn and the engine's last notices shown meanwhile.
  ResponsiveWait::run([] { QoDaemonLinux::sharedQoDaemonLinux().stop(); });
}

void AppDelegate::about() { QMessageBox::about(window_.get(), "关于 Velbor", "Velbor"); }

void AppDelegate::showWindow() {
  window_->show();
  window_->setWindowState((window_->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  window_->raise();
  window_->activateWindow();
  window_->update();
}

void AppDelegate::sendFeedback() {
  // Any window that closes while the feedback window runs ends it, as the main window's own
  // close does.
  if (!watchingCloses_) {
    qApp->installEventFilter(this);
    watchingCloses_ = true;
  }
  QoFeedBackViewController::showWindow();
  if (watchingCloses_) windowClosed();
  showWindow();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
  if (watchingCloses_ && event->type() == QEvent::Close && watched->isWidgetType() &&
      static_cast<QWidget*>(watched)->isWindow() && qobject_cast<QoFeedBackViewController*>(watched) == nullptr) {
    windowClosed();
  }
  return QObject::eventFilter(watched, event);
}

void AppDelegate::windowClosed() {
  qApp->removeEventFilter(this);
  watchingCloses_ = false;
  if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) modal->reject();
}

void AppDelegate::debug() { DataSource::sharedDataSource().printInternalStatus(); }

void AppDelegate::broadcast() { QoDiscovery::sharedQoDiscovery().broadCast(); }

void AppDelegate::offline() { QoNotices::post(notice::ProcessExit{}); }

void AppDelegate::forceReset() {
  DataSource::sharedDataSource().recreate();
  QoNotices::post(notice::SyncDeleteResponse{});
}

void AppDelegate::showFileDownloadPercent(bool on) {
  SmartDebugger::sharedSmartDebugger().setCatagoryEnable("Download", on);
}

void AppDelegate::showFileSyncInfo(bool on) {
  SmartDebugger::sharedSmartDebugger().setCatagoryEnable("FileMeta", on);
  SmartDebugger::sharedSmartDebugger().setCatagoryEnable("SyncFile", on);
}

void AppDelegate::sendNotification() { QoUserNotification::sharedQoUserNotification().sendTestNotification(); }

}  // namespace velbor
