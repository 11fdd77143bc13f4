#include "core/envelope/EnvelopeKeys.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "EnvelopeTestSupport.h"
#include "core/state/QoConfig.h"
#include "platform/Exception.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

// The envelope takes this device's key and token from whoever installed them, not from the
// settings: with other keys installed it seals, opens and reads datagrams with those.
class EnvelopeKeysTest : public EnvelopeTestBase {
 protected:
  void SetUp() override {
    EnvelopeTestBase::SetUp();
    // The settings install their keys on first use; each test replaces them and puts them back.
    QoConfig::sharedQoConfig();
    configured_ = EnvelopeKeys::installed();
    alpha_ = addDevice("alpha-uuid", "Alpha", keysAlpha().publicKey);
    bravo_ = addDevice("bravo-uuid", "Bravo", keysBravo().publicKey);
  }
  void TearDown() override {
    EnvelopeKeys::install(configured_);
    EnvelopeTestBase::TearDown();
  }

  QoMessage::Ptr unkeyedToBravo(int level) {
    auto message = QoMessage::qoMessageWithMsgCode(pb::MsgCodeFindRequest, findRequest());
    message->setLevel(level);
    message->setSrcDevice(alpha_);
    message->setDestDevice(bravo_);
    return message;
  }

  EnvelopeKeys configured_;
  QoDevice::Ptr alpha_;
  QoDevice::Ptr bravo_;
};

TEST_F(EnvelopeKeysTest, MessagesWithoutKeyOrTokenUseTheInstalledOnes) {
  QoConfig::sharedQoConfig().setDevicePrivateKey(keysBravo().privateKey);
  EnvelopeKeys::install(
      EnvelopeKeys([] { return keysAlpha().privateKey; }, [] { return std::string("given"); }, [] { return 8848; }));

  auto frames = framesOf(unkeyedToBravo(QoMessage::kLevelEncrypt)->getSendZMQMessage());
  EXPECT_NE(open(frames, keysBravo())->pbBody(), nullptr);

  EnvelopeKeys::install(EnvelopeKeys([] { return keysBravo().privateKey; }, nullptr, nullptr));
  ZMQMessage message = messageOf(frames);
  EXPECT_NE(QoMessage::initWithRecvZMQMessage(message)->pbBody(), nullptr);

  const std::string datagram = discover("alpha")->discoverDatagram("given");
  EXPECT_THROW(QoMessage::qoMessageWithRecvData(datagram), Exception);
  EnvelopeKeys::install(EnvelopeKeys(
      nullptr, [] { return std::string("given"); }, nullptr));
  EXPECT_EQ(QoMessage::qoMessageWithRecvData(datagram)->pbBodyAs<pb::MsgDiscover>()->device_uuid(), "alpha");
}

TEST_F(EnvelopeKeysTest, WithNothingInstalledSigningFails) {
  QoConfig::sharedQoConfig().setDevicePrivateKey(keysAlpha().privateKey);
  EnvelopeKeys::install(EnvelopeKeys());
  EXPECT_THROW(unkeyedToBravo(QoMessage::kLevelAuth)->getSendZMQMessage(), Exception);
}

}  // namespace
}  // namespace velbor::test
