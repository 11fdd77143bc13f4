#pragma once

#include <memory>

namespace velbor {

namespace pb {
class TreeInfo;
}  // namespace pb

// Told which tree of the listed device is chosen, or null when none is.
class QoRemoteTreeViewDelegate {
 public:
  virtual ~QoRemoteTreeViewDelegate() = default;
  virtual void rowSelection(const std::shared_ptr<pb::TreeInfo>& tree) = 0;
};

}  // namespace velbor
