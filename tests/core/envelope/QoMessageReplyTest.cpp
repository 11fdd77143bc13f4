#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EnvelopeTestSupport.h"
#include "core/proto/PbMessage.h"
#include "framework/errors/QoExceptionProto.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

// Bravo asked alpha; charlie is another device bravo trusts, and alpha's key is all bravo
// knows of alpha.
class QoMessageReplyTest : public EnvelopeTestBase {
 protected:
  void SetUp() override {
    EnvelopeTestBase::SetUp();
    alpha_ = addDevice("alpha-uuid", "Alpha", keysAlpha().publicKey);
    bravo_ = addDevice("bravo-uuid", "Bravo", keysBravo().publicKey);
    charlie_ = addDevice("charlie-uuid", "Charlie", keysBravo().publicKey);
  }

  static std::shared_ptr<pb::MsgFindResponse> page() {
    auto body = std::make_shared<pb::MsgFindResponse>();
    pb::Stat* stat = body->add_stats();
    stat->set_path("/planted.txt");
    stat->set_type(pb::FileTypeFile);
    stat->set_status(pb::FileStatusPresent);
    stat->set_length(7);
    stat->set_mtime(1);
    stat->set_sha1("0000000000000000000000000000000000000000");
    stat->set_usn(1);
    return body;
  }

  // Bravo takes `reply` as alpha's answer.
  static QoMessage::Ptr takeFromAlpha(QoMessage& reply) {
    ZMQMessage frames = messageOf(framesOf(reply.getSendZMQMessage()));
    return QoMessage::initWithReplyZMQMessage(frames, "alpha-uuid", keyOf(keysBravo()));
  }
  static void expectRefused(QoMessage& reply) {
    EXPECT_THROW(takeFromAlpha(reply), QoException) << "level " << reply.level() << ", code " << reply.code();
  }

  QoDevice::Ptr alpha_;
  QoDevice::Ptr bravo_;
  QoDevice::Ptr charlie_;
};

TEST_F(QoMessageReplyTest, OnlyTheAskedDevicesSignatureMakesAnAnswer) {
  for (int level : {1, 2}) {
    auto signedReply = between(pb::MsgCodeFindResponse, page(), level, alpha_, bravo_, keysAlpha());
    const auto taken = takeFromAlpha(*signedReply);
    ASSERT_NE(taken->pbBodyAs<pb::MsgFindResponse>(), nullptr) << level;
    EXPECT_EQ(taken->pbBodyAs<pb::MsgFindResponse>()->stats(0).path(), "/planted.txt");
  }

  // Unsigned, whatever it carries.
  auto unsignedPage = QoMessage::qoMessageWithMsgCode(pb::MsgCodeFindResponse, page());
  expectRefused(*unsignedPage);
  auto claimed = QoMessage::qoMessageWithMsgCode(pb::MsgCodeStatusResponse, std::make_shared<pb::MsgStatusResponse>());
  claimed->setSrcDevice(alpha_);  // a level-0 header may name anyone
  expectRefused(*claimed);
  auto getError = std::make_shared<pb::MsgGetError>();
  getError->set_transfer(0);
  getError->set_errcode(pb::ErrorCodeNoent);
  getError->mutable_part()->set_offset(0);
  getError->mutable_part()->set_length(1);
  expectRefused(*QoMessage::qoMessageWithMsgCode(pb::MsgCodeGetError, getError));

  for (int level : {1, 2}) {
    // Signed, and truly, by another device this one trusts.
    expectRefused(*between(pb::MsgCodeFindResponse, page(), level, charlie_, bravo_, keysBravo()));
    // Naming the device asked, under another key.
    expectRefused(*between(pb::MsgCodeFindResponse, page(), level, alpha_, bravo_, keysBravo()));
  }
  // Naming no device at all.
  auto anonymous = between(pb::MsgCodeFindResponse, page(), 1, alpha_, bravo_, keysAlpha());
  std::vector<std::string> frames = framesOf(anonymous->getSendZMQMessage());
  auto head = PbMessage::parseFromData<pb::MsgHead>(frames[0]);
  head.clear_uuid();
  frames[0] = PbMessage::data(head);
  ZMQMessage stripped = messageOf(frames);
  EXPECT_THROW(QoMessage::initWithReplyZMQMessage(stripped, "alpha-uuid", keyOf(keysBravo())), QoException);
}

TEST_F(QoMessageReplyTest, AnUnsignedErrorReplyIsTakenAndCanOnlyFail) {
  auto error = QoMessage::qoMessageErrorWithErrorCode(pb::ErrorCodeNoent, "no such tree");
  const auto taken = takeFromAlpha(*error);
  EXPECT_EQ(taken->code(), pb::MsgCodeError);
  EXPECT_EQ(taken->level(), 0);
  ASSERT_NE(taken->pbBodyAs<pb::MsgError>(), nullptr);
  EXPECT_EQ(taken->pbBodyAs<pb::MsgError>()->errstr(), "no such tree");

  // A signed one is the asked device's too, or nothing.
  auto signedError = between(pb::MsgCodeError, error->pbBody(), 1, alpha_, bravo_, keysAlpha());
  EXPECT_EQ(takeFromAlpha(*signedError)->code(), pb::MsgCodeError);
  expectRefused(*between(pb::MsgCodeError, error->pbBody(), 1, charlie_, bravo_, keysBravo()));
}

}  // namespace
}  // namespace velbor::test
