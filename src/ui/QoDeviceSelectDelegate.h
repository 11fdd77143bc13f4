#pragma once

#include <memory>

namespace velbor {

class QoDevice;
namespace pb {
class TreeInfo;
}  // namespace pb

// The answer of the device selection window: the chosen device and tree, either may be null.
class QoDeviceSelectDelegate {
 public:
  virtual ~QoDeviceSelectDelegate() = default;
  virtual void remoteTreeSelectedWithDevice(const std::shared_ptr<QoDevice>& device,
                                            const std::shared_ptr<pb::TreeInfo>& tree) = 0;
};

}  // namespace velbor
