#pragma once

#include <memory>
#include <string>

namespace velbor {

class QoDevice;

// Proof that a known device is reachable at a request endpoint and publishes at a publisher
// endpoint: a GetRequest at level 1 carrying random transfer and part numbers and naming both
// endpoints goes to the request endpoint, and the answer counts only when it is signed with
// the device's stored key and carries the digest of those numbers and endpoints (a GetError
// for the unknown tree the request names;
// EndpointChallengeAnswer). The device gives it only for an endpoint of its own, so a host
// that relays the challenge to the device elsewhere gets no proof for its own address. A
// recorded reply cannot be replayed, since the numbers are new for each challenge, and the
// request changes nothing on the device it reaches. A device that only echoes the numbers
// (made before the endpoint was named) is not confirmed: its endpoints stay where they are.
class QoEndpointChallenge {
 public:
  QoEndpointChallenge() = delete;

  // Synchronous, up to `waitMs`; never raises: a failure is answered false with the reason.
  static bool verify(const std::shared_ptr<QoDevice>& device, const std::string& routeUri, const std::string& pubUri,
                     int waitMs, std::string* reason = nullptr);
};

}  // namespace velbor
