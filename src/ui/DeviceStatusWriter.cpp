#include "ui/DeviceStatusWriter.h"

#include <mutex>

#include "core/entity/QoDevice.h"
#include "core/state/Lockers.h"
#include "platform/LockerGuard.h"

namespace velbor {

bool DeviceStatusWriter::change(const std::string& uuid, const std::vector<int32_t>& from, int32_t to) {
  LockerGuard lock(Lockers::trust(uuid));
  return QoDevice::changeStatus(uuid, from, to);
}

std::shared_ptr<QoDevice> DeviceStatusWriter::current(const std::shared_ptr<QoDevice>& shown, int32_t status) {
  if (auto stored = QoDevice::getDeviceWithUuid(shown->uuid())) return stored;
  auto copy = std::make_shared<QoDevice>(*shown);
  copy->setStatus(status);
  return copy;
}

}  // namespace velbor
