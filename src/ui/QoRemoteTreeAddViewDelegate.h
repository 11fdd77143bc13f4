#pragma once

#include <QString>

namespace velbor {

// The folder browser's answer: the path of the chosen folder on the device.
class QoRemoteTreeAddViewDelegate {
 public:
  virtual ~QoRemoteTreeAddViewDelegate() = default;
  virtual void remoteTreeAddButtonOk(const QString& path) = 0;
};

}  // namespace velbor
