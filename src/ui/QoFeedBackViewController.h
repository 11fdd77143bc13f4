#pragma once

#include <QDialog>

namespace velbor {

// The feedback window: a suggestion, a rating and an optional name, sent to the feedback
// service (stored for a later attempt when sending fails).
class QoFeedBackViewController : public QDialog {
  Q_OBJECT

 public:
  explicit QoFeedBackViewController(QWidget* parent = nullptr);
  // Runs the window modally until it is sent or closed.
  static void showWindow();
};

}  // namespace velbor
