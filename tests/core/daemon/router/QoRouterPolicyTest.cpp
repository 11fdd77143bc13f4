#include <gtest/gtest.h>

#include "RouterTestBase.h"
#include "framework/errors/QoExceptionProto.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

using RouterPolicyTest = RouterTestBase;

QoMessage::Ptr requestAt(int32_t code, int level, QoDevice::Ptr sender = nullptr) {
  auto request = QoMessage::qoMessageWithMsgCode(code, nullptr);
  request->setLevel(level);
  request->setSrcDevice(std::move(sender));
  return request;
}

TEST_F(RouterPolicyTest, OnlyTrustPublishPassesUnencrypted) {
  struct Case {
    int32_t code;
    int level;
    bool passes;
  };
  const Case cases[] = {
      {pb::MsgCodeTrustPublishRequest, 0, true}, {pb::MsgCodeTrustPublishRequest, 2, true},
      {pb::MsgCodeFindRequest, 0, false},        {pb::MsgCodeTrustRequest, 0, false},
      {pb::MsgCodeScanRequest, 0, false},        {pb::MsgCodeFindRequest, 1, true},
      {pb::MsgCodeFindResponse, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "code " << c.code << " level " << c.level);
    if (c.passes) {
      EXPECT_NO_THROW(router_.beforeHandleRequest(*requestAt(c.code, c.level)));
      continue;
    }
    try {
      router_.beforeHandleRequest(*requestAt(c.code, c.level));
      ADD_FAILURE() << "passed";
    } catch (const QoException& e) {
      EXPECT_EQ(e.code(), 20);
      EXPECT_EQ(e.description(), "QoExceptionZePermissionDeny: Encrypt Level None is not allowed!");
    }
  }
}

TEST_F(RouterPolicyTest, ReplyLevelFollowsTheReplyCode) {
  struct Case {
    int32_t replyCode;
    int requestLevel;
    int encryptLevel;
    int replyLevel;
  };
  const Case cases[] = {
      {pb::MsgCodeError, 2, 2, 0},
      {pb::MsgCodeTrustPublishResponse, 0, 0, 2},
      {pb::MsgCodeTrustResponse, 1, 0, 2},
      {pb::MsgCodeTrustDenyResponse, 0, 2, 2},
      {pb::MsgCodeTrustCancelResponse, 1, 1, 2},
      {pb::MsgCodeTreeAddResponse, 1, 0, 2},
      // Odd codes below 19 are requests, outside the trust mask.
      {pb::MsgCodeTrustRequest, 1, 2, 1},
      {pb::MsgCodeScanResponse, 2, 0, 0},
      {pb::MsgCodeScanResponse, 1, 2, 1},
      {pb::MsgCodeScanResponse, 2, 2, 2},
      {pb::MsgCodeDatabaseClearResponse, 2, 1, 1},
      {pb::MsgCodeStatusResponse, 0, 2, 0},
  };
  QoDevice::Ptr peer = addDevice("0d5e8f0a-9b1c-4e52-8a3d-6f7e8d9c0b1a", "bravo", keysBravo().publicKey);
  const std::string localUuid = QoConfig::sharedQoConfig().deviceUuid();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "reply " << c.replyCode << " request level " << c.requestLevel << " setting "
                                    << c.encryptLevel);
    QoConfig::sharedQoConfig().setEncryptLevel(c.encryptLevel);
    QoMessage::Ptr request = requestAt(pb::MsgCodeScanRequest, c.requestLevel, peer);
    QoMessage::Ptr reply = QoMessage::qoMessageWithMsgCode(c.replyCode, nullptr);
    reply->setSrcDevice(peer);
    reply->setDestDevice(peer);
    router_.afterHandleRequest(*request, *reply);
    EXPECT_EQ(reply->level(), c.replyLevel);
    if (c.replyLevel > 0) {
      ASSERT_NE(reply->srcDevice(), nullptr);
      EXPECT_EQ(reply->srcDevice()->uuid(), localUuid);
      EXPECT_EQ(reply->destDevice(), peer);
    } else {
      EXPECT_EQ(reply->srcDevice(), nullptr);
      EXPECT_EQ(reply->destDevice(), nullptr);
    }
  }
}

}  // namespace
}  // namespace velbor::test
