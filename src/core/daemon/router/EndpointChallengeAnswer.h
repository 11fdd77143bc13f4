#pragma once

#include <optional>
#include <string>
#include <vector>

#include "proto/VelborProto.pb.h"

namespace velbor {

// The endpoint challenge as the challenged device sees it. The challenge is a GetRequest for
// a tree no device holds whose only copy uuid is the request endpoint it was sent to. A relay
// that passes the bytes on unchanged reaches the real device with an endpoint that is not the
// device's, so the device answers only for an endpoint of its own, and its signed GetError
// carries, in place of the challenge's numbers, a digest of those numbers and that endpoint:
// an answer given for one endpoint proves nothing for another.
class EndpointChallengeAnswer {
 public:
  EndpointChallengeAnswer() = delete;

  // Makes `request` name `endpoint`.
  static void nameEndpoint(pb::MsgGetRequest& request, const std::string& endpoint);
  // The endpoint a challenge names; nothing for any other GetRequest.
  static std::optional<std::string> endpointNamedBy(const pb::MsgGetRequest& request);
  // The GetError that answers `request` at `endpoint`: its transfer and part are the digest.
  static pb::MsgGetError answerFor(const pb::MsgGetRequest& request, const std::string& endpoint);
  // Whether `endpoint` is "tcp://<address>:<routerPort>" for one of `addresses` (dotted IPv4
  // text), written as the challenger writes it: canonical address, no leading zeros.
  static bool isOwnEndpoint(const std::string& endpoint, const std::vector<std::string>& addresses, int routerPort);
  // isOwnEndpoint with this host's interface addresses and the configured router port.
  static bool isEndpointOfThisDevice(const std::string& endpoint);
};

}  // namespace velbor
