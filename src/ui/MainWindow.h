#pragma once

#include <QCheckBox>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QTabWidget>

namespace velbor {

class QoDeviceController;
class QoTreeController;
class SelectableToolbar;
class SettingController;

// The main window: a toolbar whose items ("setting", "deviceController", "synconce") swap
// the content between the settings, the devices and the sync trees. The settings content is
// a tab view whose third tab is the debug panel.
class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);

  SelectableToolbar* toolbar() const { return toolbar_; }
  SettingController* settingController() const { return settingController_; }
  QoDeviceController* deviceController() const { return deviceController_; }
  QoTreeController* treeController() const { return treeController_; }

  QTabWidget* debugTabView() const { return debugTabView_; }
  QPushButton* aboutButton() const { return aboutButton_; }
  QPushButton* feedbackButton() const { return feedbackButton_; }
  // The debug panel's controls.
  QCheckBox* showFileDownloadButton() const { return showFileDownloadButton_; }
  QCheckBox* showFileSyncInfoButton() const { return showFileSyncInfoButton_; }
  QLineEdit* logBonjourAddress() const { return logBonjourAddress_; }
  QPushButton* debugButton() const { return debugButton_; }
  QPushButton* broadcastButton() const { return broadcastButton_; }
  QPushButton* offlineButton() const { return offlineButton_; }
  QPushButton* forceResetButton() const { return forceResetButton_; }
  QPushButton* notificationButton() const { return notificationButton_; }

 private:
  QWidget* makeAboutTab();
  QWidget* makeDebugTab();

  SelectableToolbar* toolbar_;
  SettingController* settingController_;
  QoDeviceController* deviceController_;
  QoTreeController* treeController_;
  QTabWidget* debugTabView_;
  QPushButton* aboutButton_ = nullptr;
  QPushButton* feedbackButton_ = nullptr;
  QCheckBox* showFileDownloadButton_ = nullptr;
  QCheckBox* showFileSyncInfoButton_ = nullptr;
  QLineEdit* logBonjourAddress_ = nullptr;
  QPushButton* debugButton_ = nullptr;
  QPushButton* broadcastButton_ = nullptr;
  QPushButton* offlineButton_ = nullptr;
  QPushButton* forceResetButton_ = nullptr;
  QPushButton* notificationButton_ = nullptr;
};

}  // namespace velbor
