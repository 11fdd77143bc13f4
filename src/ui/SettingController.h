#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include "ui/AutoSaveTextField.h"
#include "ui/SelectableToolbarItem.h"

namespace velbor {

// The settings pane: device token, name and UDP port save themselves after a pause and tell
// the network at once; the router and publisher ports are shown; three boxes set encryption,
// desktop notices and hidden-file sync. Every value lives in QoConfig.
class SettingController : public QWidget, public AutoSaveTextFieldDelegate, public SelectableToolbarItemDelegate {
  Q_OBJECT

 public:
  static constexpr const char* kPortWarning = "端口号必须为数字（0～65535）";
  static constexpr const char* kTokenWarning = "设备标识不能为空！";

  explicit SettingController(QWidget* parent = nullptr);

  AutoSaveTextField* token() const { return token_; }
  AutoSaveTextField* deviceName() const { return deviceName_; }
  AutoSaveTextField* udpPort() const { return udpPort_; }
  QLineEdit* routerPort() const { return routerPort_; }
  QLineEdit* publishPort() const { return publishPort_; }
  QCheckBox* encryptButton() const { return encryptButton_; }
  QCheckBox* showUserNotification() const { return showUserNotification_; }
  QCheckBox* syncHiddenFileButton() const { return syncHiddenFileButton_; }
  QPushButton* defaultButton() const { return defaultButton_; }
  QPushButton* applySave() const { return applySave_; }
  QLabel* warning() const { return warning_; }
  bool canSave() const { return canSave_; }
  SelectableToolbarItem* settingToolBarItem() const { return settingToolBarItem_; }
  void setSettingToolBarItem(SelectableToolbarItem* item) { settingToolBarItem_ = item; }

  void itemDidClick(SelectableToolbarItem* item) override;
  bool autoSaveAction(AutoSaveTextField* field) override;

  // Fills every control from the stored settings.
  void updateView();
  void setDataEncrypt(bool on);
  void setShowNotification(bool on);
  void setSyncHiddenFile(bool on);
  // Puts the default UDP port back and rebinds discovery on it.
  void setDefault();
  // All three ports valid; shows or hides the warning and enables saving to match.
  bool check();
  bool checkPort(QLineEdit* field);
  bool checkToken();
  void restart();
  // Starts this program again, then ends this instance.
  void relaunch();
  // The program a relaunch starts: this process's own executable.
  static QString relaunchProgram();

 private:
  bool saveToken();
  bool saveName();
  bool restartUdp();
  // Takes the online peers offline and tells the network that this device leaves, before
  // it comes back under a new token or port.
  static void announceLeaving();
  void showWarning(const QString& text);

  AutoSaveTextField* token_;
  AutoSaveTextField* deviceName_;
  QLineEdit* routerPort_;
  QLineEdit* publishPort_;
  AutoSaveTextField* udpPort_;
  QCheckBox* encryptButton_;
  QCheckBox* showUserNotification_;
  QCheckBox* syncHiddenFileButton_;
  QPushButton* defaultButton_;
  QPushButton* applySave_;
  QLabel* warning_;
  bool canSave_ = false;
  SelectableToolbarItem* settingToolBarItem_ = nullptr;
};

}  // namespace velbor
