#pragma once

#include <memory>
#include <string>

#include "RouterTestClient.h"
#include "core/daemon/QoConfig.h"
#include "core/daemon/QoConfigDelegateLinux.h"
#include "core/daemon/router/QoRouter.h"
#include "core/envelope/EnvelopeTestSupport.h"

namespace velbor::test {

// A fresh device (tables, settings, local row) whose router listens on a port the system
// picks, and a trusted peer to talk to it.
class RouterTestBase : public EnvelopeTestBase {
 protected:
  void SetUp() override {
    EnvelopeTestBase::SetUp();
    QoConfig& config = initDeviceConfig();
    config.setPortRouter(0);
  }

  void TearDown() override {
    router_.stop();
    EnvelopeTestBase::TearDown();
  }

  // Starts the router with `workers` workers and returns a trusted peer of it.
  std::unique_ptr<RouterTestClient> startRouter(int workers = 3) {
    QoConfig::sharedQoConfig().setRouterWorkerCount(workers);
    router_.start();
    return std::make_unique<RouterTestClient>(router_.frontendEndpoint(), keysAlpha());
  }

  QoRouter router_;
};

}  // namespace velbor::test
