#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "core/daemon/publisher/QoPublisher.h"
#include "core/daemon/router/QoHandlerTable.h"
#include "core/entity/QoDevice.h"
#include "core/envelope/EnvelopeTestSupport.h"
#include "core/state/QoConfig.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQSocket.h"
#include "platform/Waiter.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {

inline const std::string kBravoUuid = "0d5e8f0a-9b1c-4e52-8a3d-6f7e8d9c0b1a";
constexpr auto kAttempts = 200;
constexpr auto kPause = std::chrono::milliseconds(50);

// The publisher text of every PubExit a publisher worker handled.
inline Waiter& handledExits() {
  static Waiter waiter;
  return waiter;
}

// A stand-in for the PubExit handler that notes what it handled.
inline QoMessage::Ptr recordExit(const QoRequest& request) {
  if (auto body = request.bodyAs<pb::MsgPubExit>()) handledExits().notify(body->publisher());
  return nullptr;
}

inline bool handled(const std::string& publisher) {
  const auto seen = handledExits().log();
  return std::find(seen.begin(), seen.end(), publisher) != seen.end();
}

inline std::shared_ptr<pb::MsgPubExit> plainExitBody(const std::string& publisher) {
  auto body = std::make_shared<pb::MsgPubExit>();
  body->set_publisher(publisher);
  return body;
}

// A plain level-0 PubExit, as any host on the network can send one.
inline ZMQMessage plainExit(const std::string& publisher) {
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodePubExit, plainExitBody(publisher))->getSendZMQMessage();
}

// This device's publisher, started on a port of the system's choosing.
class PublisherTestBase : public EnvelopeTestBase {
 protected:
  void SetUp() override {
    EnvelopeTestBase::SetUp();
    initDeviceConfig().setPortPublisher(0);
    publisher_ = QoPublisher::sharedQoPublisher();
    publisher_->start();
    context_ = std::make_shared<ZMQContext>(1);
  }
  void TearDown() override {
    QoPublisher::resetSharedQoPublisher();
    context_->terminate();
    EnvelopeTestBase::TearDown();
  }

  // A PUB socket on loopback and its endpoint.
  std::pair<std::shared_ptr<ZMQSocket>, std::string> peerPublisher() {
    auto socket = context_->socketWithType(ZMQ_PUB);
    socket->bindToEndpoint("tcp://127.0.0.1:0");
    std::string endpoint = socket->dataForOption(ZMQ_LAST_ENDPOINT).value_or("");
    endpoint.erase(std::find(endpoint.begin(), endpoint.end(), '\0'), endpoint.end());
    return {socket, endpoint};
  }

  // The device "bravo", publishing at `pubUri`.
  static QoDevice::Ptr deviceAt(const std::string& pubUri) {
    auto device = std::make_shared<QoDevice>();
    device->setUuid(kBravoUuid);
    device->setName("bravo");
    device->setPubUri(pubUri);
    return device;
  }

  // Publishes `publisher` from `socket` until a publisher worker has handled it.
  static bool deliver(ZMQSocket& socket, const std::string& publisher) {
    for (int i = 0; i < kAttempts && !handled(publisher); ++i) {
      plainExit(publisher).sendToSocket(socket);
      std::this_thread::sleep_for(kPause);
    }
    return handled(publisher);
  }

  std::shared_ptr<QoPublisher> publisher_;
  std::shared_ptr<ZMQContext> context_;
};

}  // namespace velbor::test
