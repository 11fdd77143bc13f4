#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>
#include <string>

#include "ui/QoDeviceSelectDelegate.h"
#include "ui/SyncAddImageDelegate.h"

class QFileDialog;
class QLabel;
class QPushButton;

namespace velbor {

class QoDeviceSelectController;
class QoSyncdirCopy;
class StatusBar;
class SyncAddImage;

// The sync-pair window: pairs a folder of this device (the local picture) with a tree on a
// device (the remote picture, chosen in the device selection window). Every choice is
// checked and OK follows the check; OK makes the pairing on both devices off the main
// thread, reporting each step in the status line, and the window closes after success.
class QoSyncAddController : public QDialog, public SyncAddImageDelegate, public QoDeviceSelectDelegate {
  Q_OBJECT

 public:
  explicit QoSyncAddController(QWidget* parent = nullptr);
  ~QoSyncAddController() override;

  void imageAction(SyncAddImage* image) override;
  void openFinder();
  void openRemoteTreeSelect();
  void remoteTreeSelectedWithDevice(const std::shared_ptr<QoDevice>& device,
                                    const std::shared_ptr<pb::TreeInfo>& tree) override;
  // The local folder's answer, as the open panel gives it on OK.
  void localFolderChosen(const QString& path);
  void checkCanLink();
  // OK enabled exactly when `alert` is false; the warning shown exactly when it is true.
  // A null text keeps the old one.
  void showAlert(bool alert, const QString& text);
  void statusBarShow(bool show, bool waiting, const QString& text);
  void setEnableSomeView(bool enabled);
  void ok();
  void clean();

  SyncAddImage* remoteImageView() const { return remoteImageView_; }
  SyncAddImage* localImageView() const { return localImageView_; }
  QLabel* remoteTextField() const { return remoteTextField_; }
  QLabel* localTextField() const { return localTextField_; }
  QLabel* deviceIcon() const { return deviceIcon_; }
  QLabel* deviceName() const { return deviceName_; }
  QLabel* alertIcon() const { return alertIcon_; }
  QLabel* alertText() const { return alertText_; }
  QPushButton* okButton() const { return okButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }
  StatusBar* statusBar() const { return statusBar_; }
  QoDeviceSelectController* deviceSelectorController() const;
  const std::shared_ptr<QoDevice>& currentRemoteDevice() const { return currentRemoteDevice_; }
  const std::shared_ptr<pb::TreeInfo>& currentRemoteTree() const { return currentRemoteTree_; }
  const std::optional<std::string>& currentLocalPath() const { return currentLocalPath_; }
  const std::shared_ptr<QoSyncdirCopy>& currentLocalSyncdirCopy() const { return currentLocalSyncdirCopy_; }

 signals:
  // Linking has ended: `done` when both pairings exist.
  void linkFinished(bool done);

 private:
  void windowClosed();
  void linkDone();
  void setPathText(QLabel* field, const QString& text, bool chosen);

  QLabel* remoteTextField_;
  QLabel* localTextField_;
  SyncAddImage* remoteImageView_;
  SyncAddImage* localImageView_;
  QPushButton* okButton_;
  QPushButton* cancelButton_;
  StatusBar* statusBar_;
  QPointer<QoDeviceSelectController> deviceSelectorController_;
  QLabel* deviceIcon_;
  QLabel* deviceName_;
  QLabel* alertIcon_;
  QLabel* alertText_;
  std::shared_ptr<QoDevice> currentRemoteDevice_;
  std::shared_ptr<pb::TreeInfo> currentRemoteTree_;
  std::optional<std::string> currentLocalPath_;
  std::shared_ptr<QoSyncdirCopy> currentLocalSyncdirCopy_;
  QPointer<QFileDialog> openPanel_;
};

}  // namespace velbor
