#pragma once

#include <optional>
#include <string>
#include <vector>

#include "proto/VelborProto.pb.h"

namespace velbor {

// The endpoint challenge as the challenged device sees it. The challenge is a GetRequest for
// a tree no device holds whose copy uuids are the request endpoint it was sent to and,
// second, the publisher endpoint claimed at the same address. A relay that passes the bytes
// on unchanged reaches the real device with endpoints that are not the device's, so the
// device answers only when both are its own, and its signed GetError carries, in place of
// the challenge's numbers, a digest of those numbers and the endpoints: an answer given for
// one endpoint proves nothing for another. A loopback address is no endpoint of a device:
// every host has it, so a process on the challenger's host could pass a challenge for it on.
class EndpointChallengeAnswer {
 public:
  EndpointChallengeAnswer() = delete;

  // Makes `request` name the request endpoint and the publisher endpoint.
  static void nameEndpoint(pb::MsgGetRequest& request, const std::string& endpoint, const std::string& publisher);
  // The request endpoint a challenge names; nothing for any other GetRequest.
  static std::optional<std::string> endpointNamedBy(const pb::MsgGetRequest& request);
  // The publisher endpoint a challenge names; nothing when it names none.
  static std::optional<std::string> publisherNamedBy(const pb::MsgGetRequest& request);
  // The GetError that answers `request` at `endpoint`: its transfer and part are the digest
  // of the numbers, the endpoint and the publisher endpoint the request names.
  static pb::MsgGetError answerFor(const pb::MsgGetRequest& request, const std::string& endpoint);
  // Whether `endpoint` is "tcp://<address>:<port>" for one of `addresses` (dotted IPv4 text)
  // other than a loopback one, written as the challenger writes it: canonical address, no
  // leading zeros.
  static bool isOwnEndpoint(const std::string& endpoint, const std::vector<std::string>& addresses, int port);
  // Whether the address (dotted IPv4 text) is a loopback one (127.0.0.0/8).
  static bool isLoopback(const std::string& address);
  // This host's interface addresses (dotted IPv4 text).
  static std::vector<std::string> addressesOfThisHost();
  // Whether the challenge names endpoints of this host: the request endpoint at the
  // configured router port and, when named, the publisher endpoint at the configured
  // publisher port.
  static bool namesEndpointsOfThisDevice(const pb::MsgGetRequest& request);
};

}  // namespace velbor
