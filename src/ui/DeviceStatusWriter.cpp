#include "ui/DeviceStatusWriter.h"

#include <mutex>

#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"

namespace velbor {

bool DeviceStatusWriter::change(const std::string& uuid, const std::vector<int32_t>& from, int32_t to) {
  std::lock_guard<std::recursive_mutex> lock(QoWorker::trustLocker(uuid));
  return QoDevice::changeStatus(uuid, from, to);
}

std::shared_ptr<QoDevice> DeviceStatusWriter::current(const std::shared_ptr<QoDevice>& shown, int32_t status) {
  if (auto stored = QoDevice::getDeviceWithUuid(shown->uuid())) return stored;
  auto copy = std::make_shared<QoDevice>(*shown);
  copy->setStatus(status);
  return copy;
}

}  // namespace velbor
