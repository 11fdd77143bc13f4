#pragma once

#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <memory>

namespace velbor {

class DeviceDisplayRecord;

// One device's card: icon, name, state, and the controls of the trust exchange, bound to
// its display record. It has no behaviour of its own: its buttons are wired by the pane.
// The card is named after the device's uuid; its controls keep fixed names ("trustButton",
// "cancelButton", "agreeButton", "disagreeButton", "waitLabel", "waitProgress", ...).
class DeviceView : public QFrame {
  Q_OBJECT

 public:
  explicit DeviceView(std::shared_ptr<DeviceDisplayRecord> record, QWidget* parent = nullptr);

  const std::shared_ptr<DeviceDisplayRecord>& record() const { return record_; }
  QPushButton* trustButton() const { return trustButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }
  QPushButton* agreeButton() const { return agreeButton_; }
  QPushButton* disagreeButton() const { return disagreeButton_; }
  QLabel* nameLabel() const { return nameLabel_; }
  QLabel* statusLabel() const { return statusLabel_; }
  QLabel* waitLabel() const { return waitLabel_; }
  QProgressBar* waitProgress() const { return waitProgress_; }

  // Shows the record's values now.
  void refresh();

 private:
  std::shared_ptr<DeviceDisplayRecord> record_;
  QLabel* iconLabel_;
  QLabel* nameLabel_;
  QLabel* statusIconLabel_;
  QLabel* statusLabel_;
  QLabel* waitLabel_;
  QProgressBar* waitProgress_;
  QPushButton* trustButton_;
  QPushButton* cancelButton_;
  QPushButton* agreeButton_;
  QPushButton* disagreeButton_;
};

}  // namespace velbor
