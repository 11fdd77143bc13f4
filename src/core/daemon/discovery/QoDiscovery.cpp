#include "core/daemon/discovery/QoDiscovery.h"

namespace velbor {

QoDiscovery& QoDiscovery::sharedQoDiscovery() {
  static QoDiscovery instance;
  return instance;
}

QoDiscovery::QoDiscovery() = default;
QoDiscovery::~QoDiscovery() = default;

void QoDiscovery::run() { running_ = true; }

void QoDiscovery::stop() { running_ = false; }

bool QoDiscovery::isRunning() const { return running_; }

}  // namespace velbor
