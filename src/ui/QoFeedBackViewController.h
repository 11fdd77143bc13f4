#pragma once

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <memory>

#include "ui/SpinningIndicator.h"

namespace velbor {

class QoFeedback;

// The feedback window: a suggestion, a rating and an optional name, sent to the feedback
// service. The record is stored before the upload and removed once the service took it, so
// one that cannot be sent now goes out with a later check-in.
class QoFeedBackViewController : public QDialog {
  Q_OBJECT

 public:
  explicit QoFeedBackViewController(QWidget* parent = nullptr);

  // Runs the window modally until it is sent or closed.
  static void showWindow();
  // The alert's text when no service address is configured, instead of the thanks.
  static constexpr const char* kNotSentText = "未设置服务器地址，建议未能发送！";

  SpinningIndicator* indicator() const { return indicator_; }
  QPushButton* submitButton() const { return submitButton_; }
  QCheckBox* sendUserNameButton() const { return sendUserNameButton_; }
  QLineEdit* suggestUserNameText() const { return suggestUserNameText_; }
  QPlainTextEdit* suggestMessageText() const { return suggestMessageText_; }
  QButtonGroup* suggestMatrix() const { return suggestMatrix_; }

  void enableSendUserName(bool on);
  // Stores and uploads the feedback in the background, and thanks the user at once.
  void sendFeedback();
  // The record the window's fields make: the name only when the user chose to send it.
  std::shared_ptr<QoFeedback> makeFeedback() const;
  // Stores `feedback`, uploads it, and deletes it once the service has taken it.
  // Blocks for the upload: for a background queue.
  static void upload(const std::shared_ptr<QoFeedback>& feedback);

 private:
  SpinningIndicator* indicator_;
  QPushButton* submitButton_;
  QCheckBox* sendUserNameButton_;
  QLineEdit* suggestUserNameText_;
  QPlainTextEdit* suggestMessageText_;
  QButtonGroup* suggestMatrix_;
};

}  // namespace velbor
