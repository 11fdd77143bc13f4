#pragma once

#include <memory>
#include <string>

namespace velbor {

class QoDevice;

// Proof that a known device is reachable at a request endpoint: a GetRequest at level 1
// carrying random transfer and part numbers goes to the endpoint, and the answer counts only
// when it is signed with the device's stored key and echoes those numbers (a GetError for the
// unknown tree the request names). A recorded reply cannot be replayed, since the numbers are
// new for each challenge, and the request changes nothing on the device it reaches.
class QoEndpointChallenge {
 public:
  QoEndpointChallenge() = delete;

  // Synchronous, up to `waitMs`; never raises: a failure is answered false with the reason.
  static bool verify(const std::shared_ptr<QoDevice>& device, const std::string& routeUri, int waitMs,
                     std::string* reason = nullptr);
};

}  // namespace velbor
