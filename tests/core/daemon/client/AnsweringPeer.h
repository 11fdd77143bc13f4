#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "FakePeer.h"
#include "core/daemon/router/RouterTestClient.h"

namespace velbor::test {

// Another device, registered here with its own key pair, whose request endpoint answers
// every request with the reply code that follows it, sealed at level 2 by itself (a
// StatusRequest gets an empty list, an agreement is accepted). It keeps the tokens of the
// trust messages it receives. Its own requests go to `routerEndpoint` (this device's router).
class AnsweringPeer {
 public:
  explicit AnsweringPeer(int32_t status = 1, const std::string& routerEndpoint = "");

  const QoDevice::Ptr& device() const { return peer_->device(); }
  RouterTestClient& client() { return *peer_; }
  std::vector<pb::MsgHead> heads() const { return fake_.heads(); }
  // Tokens of the trust offers, answers and withdrawals received, in order.
  std::vector<std::string> tokens() const;

 private:
  std::optional<FakePeer::Frames> answer(const FakePeer::Frames& request);

  mutable std::mutex lock_;
  std::vector<std::string> tokens_;
  FakePeer fake_;
  std::unique_ptr<RouterTestClient> peer_;
};

}  // namespace velbor::test
