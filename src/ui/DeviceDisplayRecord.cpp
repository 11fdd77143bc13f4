#include "ui/DeviceDisplayRecord.h"

#include <fmt/format.h>

#include <chrono>

#include "core/entity/QoDevice.h"
#include "core/state/DataSource.h"
#include "core/state/QoPeer.h"
#include "core/utils/QoUtils.h"
#include "ui/NamedImage.h"

namespace velbor {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

struct StatusLook {
  const char* statusIcon;
  const char* bTitle;
  bool trustButton;
  const char* labelTitle;
  bool waitAuth;
  bool waitAgree;
  const char* statusText;
};

// How an online device looks in each pairing status.
StatusLook onlineLook(int32_t status) {
  switch (status) {
    case 0:
      return {"unavailable", "请求信任", true, "nothing", false, false, "不信任"};
    case 1:
      return {"available", "取消信任", true, "nothing", false, false, "信任"};
    case 2:
      return {"partiallyAvailable", "nothing", false, "等待确认...", true, false, "等待对方信任"};
    case 3:
      return {"partiallyAvailable", "nothing", false, "对方请求信任", false, true, "对方请求信任"};
    default:
      return {"", "nothing", false, "nothing", false, false, "未知"};
  }
}

}  // namespace

DeviceDisplayRecord::Values DeviceDisplayRecord::values() const {
  Lock lock(lock_);
  return values_;
}

DeviceDisplayRecord::DevicePtr DeviceDisplayRecord::getDevice() const {
  Lock lock(lock_);
  return values_.device;
}

int DeviceDisplayRecord::getWaitAuthTimeoutValue() const {
  Lock lock(lock_);
  return values_.waitInfoValue;
}

bool DeviceDisplayRecord::isDeviceDisplay() const {
  Lock lock(lock_);
  return values_.deviceDisplay.value_or(true);
}

void DeviceDisplayRecord::setDevice(DevicePtr device) {
  if (device) assign(&Values::device, std::move(device));
}

void DeviceDisplayRecord::setLabelTitle(const QString& title) {
  if (!title.isNull()) assign(&Values::labelTitle, title);
}

void DeviceDisplayRecord::setDeviceDisplay(bool display) { assign(&Values::deviceDisplay, display); }

void DeviceDisplayRecord::setWaitInfoMaxValue(int value) { assign(&Values::waitInfoMaxValue, value); }

void DeviceDisplayRecord::setWaitInfoValue(int value) { assign(&Values::waitInfoValue, value); }

void DeviceDisplayRecord::updateValues() {
  {
    Lock lock(lock_);
    if (!values_.device) return;
    const QoDevice& device = *values_.device;
    Values& v = values_;
    v.deviceIcon =
        NamedImage::imageNamed(QString::fromStdString(QoPeer::getDeviceIconNameByType(device.type())), kDeviceIconSize);
    // A theme may have the image only smaller.
    if (!v.deviceIcon.isNull() && v.deviceIcon.width() != kDeviceIconSize) {
      v.deviceIcon =
          v.deviceIcon.scaled(kDeviceIconSize, kDeviceIconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    v.waitInfoValue = 0;
    v.labelTitle = "nothing";
    v.bTitle = "nothing";
    v.trustButtonDisplay = false;
    v.waitInfoDisplay = false;
    v.waitAuthDisplay = false;
    v.waitAgreeDisplay = false;
    v.deviceDisplay = true;
    QString timeLabel;
    if (device.isOnline()) {
      const StatusLook look = onlineLook(device.status());
      v.statusIcon = look.statusIcon;
      v.bTitle = look.bTitle;
      v.trustButtonDisplay = look.trustButton;
      v.labelTitle = look.labelTitle;
      v.waitAuthDisplay = look.waitAuth;
      v.waitAgreeDisplay = look.waitAgree;
      v.waitInfoDisplay = look.waitAuth || look.waitAgree;
      v.statusText = look.statusText;
      if (device.status() == 0) v.deviceDisplay = DataSource::sharedDataSource().getSegmentControl(0);
      timeLabel = "上线时间";
    } else {
      v.statusIcon = "none";
      v.deviceDisplay = DataSource::sharedDataSource().getSegmentControl(0);
      v.statusText = "离线";
      if (device.isTrusted()) {
        v.bTitle = "取消信任";
        v.trustButtonDisplay = true;
      }
      timeLabel = "最后上线时间";
    }
    const auto registered = QoUtils::Clock::time_point(std::chrono::seconds(device.registerTime()));
    v.tooltip = QString::fromStdString(
        fmt::format("类型：{}\n地址：{}\n状态：{}\n{}：{}", QoDevice::getTypeString(device.type()), device.routeUri(),
                    v.statusText.toStdString(), timeLabel.toStdString(), QoUtils::getDateFormatter()(registered)));
  }
  emit changed();
}

}  // namespace velbor
