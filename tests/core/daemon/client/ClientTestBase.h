#pragma once

#include <memory>
#include <string>

#include "FakePeer.h"
#include "core/daemon/router/NoticeLog.h"
#include "core/daemon/router/PairingFixture.h"
#include "core/daemon/router/RouterTestBase.h"

namespace velbor::test {

// A registered peer (its own key pair) whose request endpoint is `endpoint`.
inline std::unique_ptr<RouterTestClient> peerAt(const std::string& endpoint, const DeviceKeys& keys,
                                                int32_t status = 1) {
  auto peer = std::make_unique<RouterTestClient>(endpoint, keys, status);
  peer->device()->setRouteUri(endpoint);
  peer->device()->save();
  return peer;
}

// A device with its router (started by the tests that need it), and stored pairings.
class ClientTestBase : public RouterTestBase, public PairingFixture {};

}  // namespace velbor::test
