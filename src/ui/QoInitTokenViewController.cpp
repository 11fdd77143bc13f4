#include "ui/QoInitTokenViewController.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include <exception>

#include "core/state/QoConfig.h"
#include "ui/NamedImage.h"

namespace velbor {

QoInitTokenViewController::QoInitTokenViewController(QWidget* parent)
    : QDialog(parent),
      tokenTextField_(new QLineEdit(this)),
      tokenSetOk_(new QPushButton("确定", this)),
      warning_(new QLabel(this)) {
  setObjectName("InitToken");
  setWindowTitle("Velbor");
  setWindowIcon(NamedImage::iconNamed("barLogo"));

  auto* logo = new QLabel(this);
  logo->setPixmap(NamedImage::imageNamed("barLogo", 48));
  auto* title = new QLabel("欢迎使用 Velbor", this);
  QFont big = title->font();
  big.setPointSizeF(big.pointSizeF() * 1.4);
  big.setBold(true);
  title->setFont(big);
  auto* explanation = new QLabel("请设置设备标识。在您所有的设备上输入相同的设备标识，它们才能互相发现。", this);
  explanation->setWordWrap(true);
  tokenTextField_->setObjectName("tokenTextField");
  tokenTextField_->setPlaceholderText("设备标识");
  tokenSetOk_->setObjectName("tokenSetOk");
  tokenSetOk_->setDefault(true);
  tokenSetOk_->setEnabled(false);
  warning_->setWordWrap(true);
  warning_->setTextFormat(Qt::PlainText);
  warning_->hide();

  auto* header = new QHBoxLayout();
  header->addWidget(logo);
  header->addWidget(title, 1);
  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  buttons->addWidget(tokenSetOk_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 20, 24, 20);
  layout->setSpacing(12);
  layout->addLayout(header);
  layout->addWidget(explanation);
  layout->addWidget(tokenTextField_);
  layout->addWidget(warning_);
  layout->addLayout(buttons);
  setMinimumWidth(420);

  connect(tokenTextField_, &QLineEdit::textChanged, this, &QoInitTokenViewController::controlTextDidChange);
  connect(tokenSetOk_, &QPushButton::clicked, this, &QoInitTokenViewController::setTokenOk);
}

void QoInitTokenViewController::controlTextDidChange() { tokenSetOk_->setEnabled(!tokenTextField_->text().isEmpty()); }

void QoInitTokenViewController::setTokenOk() {
  // Return in an empty field does not get past the disabled button's check.
  if (tokenTextField_->text().isEmpty()) return;
  try {
    QoConfig::sharedQoConfig().setDeviceToken(tokenTextField_->text().toStdString());
  } catch (const std::exception& e) {
    // Not stored: the window stays, so the engine never starts on a token it would lose.
    warning_->setText(QString::fromUtf8(e.what()));
    warning_->show();
    return;
  }
  accept();
}

bool QoInitTokenViewController::showWindow() {
  QoInitTokenViewController controller;
  // exec() shows it as the modal window, in front and active; shown before, it would not
  // be modal.
  return controller.exec() == QDialog::Accepted;
}

}  // namespace velbor
