// The publisher's broker runs out of memory in the middle of a notice: that notice is lost,
// and the broker goes on handing the next ones to its workers.
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "AllocationFailure.h"
#include "core/daemon/publisher/QoPublisher.h"
#include "core/daemon/router/QoHandlerTable.h"
#include "core/envelope/EnvelopeTestSupport.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQSocket.h"
#include "platform/Waiter.h"
#include "proto/VelborProto.pb.h"
#include "support/Eventually.h"

namespace velbor::test {
namespace {

constexpr size_t kLargeBlock = 32 * 1024;

Waiter& handledExits() {
  static Waiter waiter;
  return waiter;
}

QoMessage::Ptr recordExit(const QoRequest& request) {
  if (auto body = request.bodyAs<pb::MsgPubExit>()) handledExits().notify(body->publisher());
  return nullptr;
}

bool handled(const std::string& publisher) {
  const auto seen = handledExits().log();
  return std::find(seen.begin(), seen.end(), publisher) != seen.end();
}

ZMQMessage exitNotice(const std::string& publisher) {
  auto body = std::make_shared<pb::MsgPubExit>();
  body->set_publisher(publisher);
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodePubExit, body)->getSendZMQMessage();
}

class PublisherShortOfMemoryTest : public EnvelopeTestBase {
 protected:
  void SetUp() override {
    EnvelopeTestBase::SetUp();
    initDeviceConfig().setPortPublisher(0);
    publisher_ = QoPublisher::sharedQoPublisher();
    publisher_->start();
    context_ = std::make_shared<ZMQContext>(1);
  }
  void TearDown() override {
    AllocationFailure::disarm();
    QoPublisher::resetSharedQoPublisher();
    context_->terminate();
    EnvelopeTestBase::TearDown();
  }

  // Publishes `publisher` from `socket` until a publisher worker has handled it.
  static bool deliver(ZMQSocket& socket, const std::string& publisher) {
    for (int i = 0; i < 200 && !handled(publisher); ++i) {
      exitNotice(publisher).sendToSocket(socket);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return handled(publisher);
  }

  std::shared_ptr<QoPublisher> publisher_;
  std::shared_ptr<ZMQContext> context_;
};

TEST_F(PublisherShortOfMemoryTest, ANoticeThatFindsNoMemoryIsLostAndTheBrokerGoesOn) {
  QoHandlerTable::ScopedOverride exits("PubExit", &recordExit);
  auto peer = context_->socketWithType(ZMQ_PUB);
  peer->bindToEndpoint("tcp://127.0.0.1:0");
  std::string endpoint = peer->dataForOption(ZMQ_LAST_ENDPOINT).value_or("");
  endpoint.erase(std::find(endpoint.begin(), endpoint.end(), '\0'), endpoint.end());
  auto device = std::make_shared<QoDevice>();
  device->setUuid("0d5e8f0a-9b1c-4e52-8a3d-6f7e8d9c0b1a");
  device->setName("bravo");
  device->setPubUri(endpoint);
  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{{device}});
  ASSERT_TRUE(deliver(*peer, "before"));

  // A notice with a large body, within what a notice may be: receiving it takes one large
  // block.
  const std::string large(kLargeBlock + kLargeBlock / 4, 'p');
  const int before = AllocationFailure::refusals();
  AllocationFailure::failOnceOnThreadNamed("VelborPublish", kLargeBlock);
  ASSERT_TRUE(eventually([&] {
    exitNotice(large).sendToSocket(*peer);
    return AllocationFailure::refusals() > before;
  }));
  EXPECT_TRUE(deliver(*peer, "after"));
  EXPECT_TRUE(deliver(*peer, large));
}

}  // namespace
}  // namespace velbor::test
