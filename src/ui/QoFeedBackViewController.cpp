#include "ui/QoFeedBackViewController.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QRadioButton>
#include <QVBoxLayout>

#include <exception>

#include "core/daemon/discovery/QoDiscovery.h"
#include "core/daemon/http/QoHttpClient.h"
#include "core/entity/QoFeedback.h"
#include "platform/QoLog.h"
#include "ui/NamedImage.h"

namespace velbor {

namespace {

const char* const kRatings[] = {"非常满意", "满意", "一般", "不满意"};

}  // namespace

QoFeedBackViewController::QoFeedBackViewController(QWidget* parent)
    : QDialog(parent),
      indicator_(new SpinningIndicator(this)),
      submitButton_(new QPushButton("提交", this)),
      sendUserNameButton_(new QCheckBox("署名：", this)),
      suggestUserNameText_(new QLineEdit(this)),
      suggestMessageText_(new QPlainTextEdit(this)),
      suggestMatrix_(new QButtonGroup(this)) {
  setObjectName("Feedback");
  setWindowTitle("反馈建议");
  setWindowIcon(NamedImage::iconNamed("barLogo"));

  indicator_->hide();
  suggestMessageText_->setPlaceholderText("请写下您的建议");
  suggestUserNameText_->setPlaceholderText("您的名字");
  sendUserNameButton_->setChecked(true);

  auto* ratings = new QVBoxLayout();
  for (int row = 0; row < static_cast<int>(std::size(kRatings)); ++row) {
    auto* cell = new QRadioButton(kRatings[row], this);
    suggestMatrix_->addButton(cell, row);
    ratings->addWidget(cell);
  }
  suggestMatrix_->button(0)->setChecked(true);

  auto* form = new QFormLayout();
  form->addRow("评价：", ratings);
  form->addRow("建议：", suggestMessageText_);
  form->addRow(sendUserNameButton_, suggestUserNameText_);
  auto* buttons = new QHBoxLayout();
  buttons->addWidget(indicator_);
  buttons->addStretch(1);
  buttons->addWidget(submitButton_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 16, 20, 16);
  layout->addLayout(form);
  layout->addLayout(buttons);
  resize(440, 360);

  connect(sendUserNameButton_, &QCheckBox::toggled, this, &QoFeedBackViewController::enableSendUserName);
  connect(submitButton_, &QPushButton::clicked, this, &QoFeedBackViewController::sendFeedback);
}

void QoFeedBackViewController::enableSendUserName(bool on) { suggestUserNameText_->setEnabled(on); }

std::shared_ptr<QoFeedback> QoFeedBackViewController::makeFeedback() const {
  auto feedback = std::make_shared<QoFeedback>();
  // A user who turned the name off does not want it sent, whatever the field still holds.
  feedback->setName(sendUserNameButton_->isChecked() ? suggestUserNameText_->text().toStdString() : std::string());
  feedback->setMessage(suggestMessageText_->toPlainText().toStdString());
  QAbstractButton* rank = suggestMatrix_->checkedButton();
  feedback->setUserRank(rank != nullptr ? rank->text().toStdString() : std::string());
  return feedback;
}

void QoFeedBackViewController::upload(const std::shared_ptr<QoFeedback>& feedback) {
  // Stored first: a failed upload, or an end of the program while it runs, loses nothing.
  bool stored = true;
  try {
    feedback->save();
  } catch (const std::exception& e) {
    // Sent all the same: this is then its only chance.
    stored = false;
    QoLog("*** feedback not stored, {}", e.what());
  }
  try {
    if (QoHttpClient::sendHttpRequestWithFeedback(*feedback) && stored) feedback->deleteObject();
  } catch (const std::exception& e) {
    QoLog("*** sent feedback not removed, {}", e.what());
  }
}

void QoFeedBackViewController::sendFeedback() {
  submitButton_->setEnabled(false);
  indicator_->show();
  indicator_->startAnimation();
  std::shared_ptr<QoFeedback> feedback = makeFeedback();
  // Tracked with discovery's jobs, so that the engine's stop waits for an upload in flight.
  QoDiscovery::sharedQoDiscovery().runTracked([feedback] { upload(feedback); });

  // Without a service address nothing is sent: the user is told, not thanked, and no
  // indicator turns behind that answer as if something were still being sent.
  const bool notSent = QoHttpClient::serverURL().empty();
  if (notSent) {
    indicator_->stopAnimation();
    indicator_->hide();
  }
  QMessageBox thanks(this);
  thanks.setWindowTitle("反馈建议");
  thanks.setText(notSent ? kNotSentText : "谢谢您的建议！");
  thanks.addButton("确定", QMessageBox::AcceptRole);
  thanks.exec();
  indicator_->stopAnimation();
  indicator_->hide();
  accept();
}

void QoFeedBackViewController::showWindow() {
  QoFeedBackViewController controller;
  // exec() shows it as the modal window, in front and active; shown before, it would not
  // be modal.
  controller.exec();
}

}  // namespace velbor
