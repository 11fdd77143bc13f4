#pragma once

#include <QDialog>

namespace velbor {

// The first-launch window that asks for the device token.
class QoInitTokenViewController : public QDialog {
  Q_OBJECT

 public:
  explicit QoInitTokenViewController(QWidget* parent = nullptr);
  // Runs the window modally; true once a token was saved, false when it was closed without.
  static bool showWindow();
};

}  // namespace velbor
