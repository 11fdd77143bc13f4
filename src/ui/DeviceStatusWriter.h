#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velbor {

class QoDevice;

// The device pane's writes of a device's pairing status. Each holds the device's trust
// locker, which the trust handlers hold while they check and change the status, and changes
// only the stored status, and only from the given ones: a status the engine moved on, or
// fields discovery wrote meanwhile, are never overwritten by a copy the pane read earlier.
class DeviceStatusWriter {
 public:
  DeviceStatusWriter() = delete;

  // True when the status was one of `from` and is now `to`.
  static bool change(const std::string& uuid, const std::vector<int32_t>& from, int32_t to);
  // The device as stored now; when it is gone (removed by a distrust), a copy of `shown`
  // with `status`.
  static std::shared_ptr<QoDevice> current(const std::shared_ptr<QoDevice>& shown, int32_t status);
};

}  // namespace velbor
