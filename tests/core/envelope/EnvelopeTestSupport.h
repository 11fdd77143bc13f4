#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/entity/QoDevice.h"
#include "core/envelope/QoMessage.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "proto/VelborProto.pb.h"
#include "support/FreshState.h"

namespace velbor::test {

// One RSA key pair of a test device, made once per test process.
struct DeviceKeys {
  std::string privateKey;
  std::string publicKey;
};
const DeviceKeys& keysAlpha();
const DeviceKeys& keysBravo();

std::vector<std::string> framesOf(ZMQMessage message);
ZMQMessage messageOf(const std::vector<std::string>& frames);
// A discovery request of the device `uuid`, carrying alpha's public key.
QoMessage::Ptr discover(const std::string& uuid);
// A complete request body, long enough for several cipher blocks.
std::shared_ptr<pb::MsgFindRequest> findRequest();

// Fresh HOME, fresh singletons and tables per test. Both devices of a conversation live
// in the one device table; each side opens messages with its own private key.
class EnvelopeTestBase : public FreshStateTest {
 protected:
  void SetUp() override;

  // A saved device row; status 1 is trusted.
  static QoDevice::Ptr addDevice(const std::string& uuid, const std::string& name, const std::string& publicKey,
                                 int32_t status = 1);
  static QoMessage::PrivateKeySource keyOf(const DeviceKeys& keys);
  // A message from `from` to `to`, signed with `keys`.
  static QoMessage::Ptr between(int code, QoMessage::Body body, int level, const QoDevice::Ptr& from,
                                const QoDevice::Ptr& to, const DeviceKeys& keys);

  // Packs `message` (sealed with the sender's key) and unpacks it as the receiver would.
  static QoMessage::Ptr roundTrip(QoMessage& message, const DeviceKeys& receiver);
  static QoMessage::Ptr open(const std::vector<std::string>& frames, const DeviceKeys& receiver);
};

// A REQ client connected to a ROUTER server in one context, over loopback tcp on an
// ephemeral port or over inproc.
class RequestLink {
 public:
  explicit RequestLink(bool tcp);
  ~RequestLink();
  RequestLink(const RequestLink&) = delete;
  RequestLink& operator=(const RequestLink&) = delete;

  ZMQSocket& client() { return *client_; }
  ZMQSocket& server() { return *server_; }

 private:
  std::shared_ptr<ZMQContext> context_;
  std::shared_ptr<ZMQSocket> client_;
  std::shared_ptr<ZMQSocket> server_;
};

}  // namespace velbor::test
