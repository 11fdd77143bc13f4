#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace velbor {

// The first-launch window that asks for the device token: the pass phrase typed the same on
// all of the user's devices, under which discovery is sealed.
class QoInitTokenViewController : public QDialog {
  Q_OBJECT

 public:
  explicit QoInitTokenViewController(QWidget* parent = nullptr);

  // Runs the window modally; true once a token was saved, false when it was closed without
  // one (the application then quits: the engine cannot run without a token).
  static bool showWindow();

  QLineEdit* tokenTextField() const { return tokenTextField_; }
  QPushButton* tokenSetOk() const { return tokenSetOk_; }

  void controlTextDidChange();
  // Stores the token as typed and ends the window.
  void setTokenOk();

 private:
  QLineEdit* tokenTextField_;
  QPushButton* tokenSetOk_;
  QLabel* warning_;
};

}  // namespace velbor
