#include "ui/DeviceView.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "core/entity/QoDevice.h"
#include "ui/DeviceDisplayRecord.h"
#include "ui/NamedImage.h"

namespace velbor {

namespace {

constexpr int kStatusIconSize = 12;

QPushButton* button(const QString& name, const QString& text, QWidget* parent) {
  auto* made = new QPushButton(text, parent);
  made->setObjectName(name);
  made->setAutoDefault(false);
  return made;
}

}  // namespace

DeviceView::DeviceView(std::shared_ptr<DeviceDisplayRecord> record, QWidget* parent)
    : QFrame(parent),
      record_(std::move(record)),
      iconLabel_(new QLabel(this)),
      nameLabel_(new QLabel(this)),
      statusIconLabel_(new QLabel(this)),
      statusLabel_(new QLabel(this)),
      waitLabel_(new QLabel(this)),
      waitProgress_(new QProgressBar(this)),
      trustButton_(button("trustButton", "", this)),
      cancelButton_(button("cancelButton", "取消", this)),
      agreeButton_(button("agreeButton", "同意", this)),
      disagreeButton_(button("disagreeButton", "拒绝", this)) {
  setFrameShape(QFrame::StyledPanel);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Base);
  iconLabel_->setObjectName("deviceIcon");
  iconLabel_->setFixedSize(DeviceDisplayRecord::kDeviceIconSize, DeviceDisplayRecord::kDeviceIconSize);
  nameLabel_->setObjectName("deviceName");
  // The name is the peer's: shown as it is, never read as markup.
  for (QLabel* text : {nameLabel_, statusLabel_, waitLabel_}) text->setTextFormat(Qt::PlainText);
  QFont bold = nameLabel_->font();
  bold.setBold(true);
  nameLabel_->setFont(bold);
  statusIconLabel_->setObjectName("statusIcon");
  statusIconLabel_->setFixedSize(kStatusIconSize, kStatusIconSize);
  statusLabel_->setObjectName("statusText");
  waitLabel_->setObjectName("waitLabel");
  waitProgress_->setObjectName("waitProgress");
  waitProgress_->setTextVisible(false);
  waitProgress_->setFixedWidth(120);

  auto* state = new QHBoxLayout();
  state->setSpacing(4);
  state->addWidget(statusIconLabel_);
  state->addWidget(statusLabel_);
  state->addStretch(1);
  auto* text = new QVBoxLayout();
  text->setSpacing(2);
  text->addWidget(nameLabel_);
  text->addLayout(state);

  auto* wait = new QVBoxLayout();
  wait->setSpacing(2);
  wait->addWidget(waitLabel_);
  wait->addWidget(waitProgress_);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(10, 8, 10, 8);
  layout->setSpacing(10);
  layout->addWidget(iconLabel_);
  layout->addLayout(text, 1);
  layout->addLayout(wait);
  layout->addWidget(trustButton_);
  layout->addWidget(cancelButton_);
  layout->addWidget(agreeButton_);
  layout->addWidget(disagreeButton_);

  connect(record_.get(), &DeviceDisplayRecord::changed, this, &DeviceView::refresh);
  refresh();
}

void DeviceView::refresh() {
  const DeviceDisplayRecord::Values v = record_->values();
  if (v.device) {
    setObjectName(QString::fromStdString(v.device->uuid()));
    nameLabel_->setText(QString::fromStdString(v.device->name()));
  }
  iconLabel_->setPixmap(v.deviceIcon);
  statusIconLabel_->setPixmap(v.statusIcon.isEmpty() ? QPixmap()
                                                     : NamedImage::imageNamed(v.statusIcon, kStatusIconSize));
  statusLabel_->setText(v.statusText);
  trustButton_->setText(v.bTitle);
  trustButton_->setVisible(v.trustButtonDisplay);
  waitLabel_->setText(v.labelTitle);
  waitLabel_->setVisible(v.waitInfoDisplay);
  waitProgress_->setMaximum(std::max(v.waitInfoMaxValue, 1));
  waitProgress_->setValue(std::min(v.waitInfoValue, waitProgress_->maximum()));
  waitProgress_->setVisible(v.waitInfoDisplay);
  cancelButton_->setVisible(v.waitAuthDisplay);
  agreeButton_->setVisible(v.waitAgreeDisplay);
  disagreeButton_->setVisible(v.waitAgreeDisplay);
  setToolTip(v.tooltip);
}

}  // namespace velbor
