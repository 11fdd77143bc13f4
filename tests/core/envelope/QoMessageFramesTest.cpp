#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EnvelopeTestSupport.h"
#include "core/proto/InvalidProtocolBuffer.h"
#include "core/proto/PbMessage.h"
#include "core/proto/UninitializedMessage.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/network/ZMQException.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

using QoMessageFramesTest = EnvelopeTestBase;

std::string headOf(int code, int level) {
  pb::MsgHead head;
  head.set_code(static_cast<pb::MsgCode>(code));
  head.set_level(static_cast<pb::EncryptLevel>(level));
  return PbMessage::data(head);
}

TEST_F(QoMessageFramesTest, PlainMessageCarriesIdentitiesHeaderBodyAndUserInfo) {
  auto body = findRequest();
  auto message = QoMessage::qoMessageWithMsgCode(pb::MsgCodeFindRequest, body);
  message->addIdentity("A");
  message->addIdentity("B");
  message->setUserInfo(QoMessage::Bytes("tail"));

  auto frames = framesOf(message->getSendZMQMessage());
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_EQ(frames[0], "A");
  EXPECT_EQ(frames[1], "");
  EXPECT_EQ(frames[2], "B");
  EXPECT_EQ(frames[3], "");
  auto head = PbMessage::parseFromData<pb::MsgHead>(frames[4]);
  EXPECT_EQ(head.code(), pb::MsgCodeFindRequest);
  EXPECT_EQ(head.level(), pb::EncryptLevelNone);
  EXPECT_FALSE(head.has_uuid());
  EXPECT_FALSE(head.has_key());
  EXPECT_FALSE(head.has_sign());
  EXPECT_EQ(frames[5], PbMessage::data(*body));
  EXPECT_EQ(frames[6], "tail");

  auto received = open({frames.begin() + 4, frames.end()}, keysBravo());
  EXPECT_EQ(received->code(), pb::MsgCodeFindRequest);
  EXPECT_EQ(received->level(), 0);
  EXPECT_EQ(received->msgName(), "MsgFindRequest");
  EXPECT_EQ(received->srcDevice(), nullptr);
  ASSERT_NE(received->pbBodyAs<pb::MsgFindRequest>(), nullptr);
  EXPECT_EQ(received->pbBodyAs<pb::MsgFindRequest>()->since(), 42);
  ASSERT_NE(received->userInfoData(), nullptr);
  EXPECT_EQ(*received->userInfoData(), "tail");

  // Level 0 is accepted from anyone, even a sender the device table does not know.
  pb::MsgHead head2 = head;
  head2.set_uuid("stranger");
  received = open({PbMessage::data(head2), frames[5]}, keysBravo());
  EXPECT_EQ(received->srcDevice(), nullptr);
  EXPECT_NE(received->pbBody(), nullptr);
}

TEST_F(QoMessageFramesTest, MessagesWithoutBodyOrBodyTypeSendAndReadNone) {
  auto bodyless = QoMessage::qoMessageWithMsgCode(pb::MsgCodeTrustPublishResponse, nullptr);
  auto frames = framesOf(bodyless->getSendZMQMessage());
  ASSERT_EQ(frames.size(), 1u);
  auto received = open(frames, keysBravo());
  EXPECT_EQ(received->pbBody(), nullptr);
  EXPECT_FALSE(received->hasUserInfo());

  // A body frame for a code without a body type is not parsed.
  received = open({headOf(pb::MsgCodeTrustPublishResponse, 0), "\x08\x01"}, keysBravo());
  EXPECT_EQ(received->pbBody(), nullptr);
  // A body that serialises to nothing still has its (empty) frame.
  auto empty = QoMessage::qoMessageWithMsgCode(pb::MsgCodeFindResponse, std::make_shared<pb::MsgFindResponse>());
  frames = framesOf(empty->getSendZMQMessage());
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1], "");
  EXPECT_NE(open(frames, keysBravo())->pbBodyAs<pb::MsgFindResponse>(), nullptr);
}

TEST_F(QoMessageFramesTest, ErrorReplyTakesItsTextLiterally) {
  const std::string text = "peer said %s %@ {} {0}";
  auto error = QoMessage::qoMessageErrorWithErrorCode(11, text);
  EXPECT_EQ(error->code(), 0);
  EXPECT_EQ(error->level(), 0);
  auto received = roundTrip(*error, keysAlpha());
  auto body = received->pbBodyAs<pb::MsgError>();
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(body->errcode(), 11);
  EXPECT_EQ(body->errstr(), text);

  // The wire field holds only the schema's codes.
  auto odd = QoMessage::qoMessageErrorWithErrorCode(99, "odd");
  EXPECT_EQ(odd->pbBodyAs<pb::MsgError>()->errcode(), pb::ErrorCodeGeneral);
}

TEST_F(QoMessageFramesTest, MalformedInputRaisesTheSchemaExceptions) {
  ZMQMessage none;
  try {
    QoMessage::initWithRecvZMQMessage(none, keyOf(keysBravo()));
    FAIL() << "no frames accepted";
  } catch (const QoException&) {
    FAIL() << "no frames gave a coded exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), "");
  }
  EXPECT_THROW(open({"\xff\xff\xff"}, keysBravo()), InvalidProtocolBuffer);
  // Required code and level missing.
  EXPECT_THROW(open({""}, keysBravo()), UninitializedMessage);
  // A level the schema does not know leaves the required field unset.
  EXPECT_THROW(open({std::string("\x08\x04\x10\x03", 4)}, keysBravo()), UninitializedMessage);

  const std::string head = headOf(pb::MsgCodeFindRequest, 0);
  EXPECT_THROW(open({head, "\x0a\x05xy"}, keysBravo()), InvalidProtocolBuffer);
  pb::MsgFindRequest partial;
  partial.set_sync_uuid("only");
  EXPECT_THROW(open({head, PbMessage::data(partial)}, keysBravo()), UninitializedMessage);
}

TEST_F(QoMessageFramesTest, OversizedMessagesFromASocketAreDroppedUnopened) {
  RequestLink link(true);
  ZMQMessage padded = messageOf({headOf(pb::MsgCodeFindRequest, 0), PbMessage::data(*findRequest())});
  for (size_t i = 0; i < ZMQSocket::kMaxMessageFrames; ++i) padded.addFrame("pad");
  ASSERT_TRUE(padded.sendToSocket(link.client()));
  try {
    QoMessage::recvFromSocket(link.server(), keyOf(keysBravo()));
    FAIL() << "a message of too many frames was opened";
  } catch (const ZMQException& e) {
    EXPECT_EQ(e.getErrorCode(), EMSGSIZE);
  }
}

TEST_F(QoMessageFramesTest, SendingRefusesWhatCannotBeSealedOrSent) {
  auto message = QoMessage::qoMessageWithMsgCode(pb::MsgCodeFindRequest, findRequest());
  message->setLevel(1);
  try {
    message->getSendZMQMessage();
    FAIL() << "sealed without a destination";
  } catch (const QoExceptionZeNoent& e) {
    EXPECT_EQ(e.code(), 10);
    EXPECT_EQ(e.reason(), "(null): Encrypt head, device/publickey is nil");
  }

  message->setDestDevice(addDevice("bravo", "Bravo", keysBravo().publicKey));
  message->setPrivateKeySource(keyOf(keysAlpha()));
  message->setLevel(3);
  try {
    message->getSendZMQMessage();
    FAIL() << "sealed at level 3";
  } catch (const QoException&) {
    FAIL() << "level 3 gave a coded exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), "");
    EXPECT_EQ(e.reason(), "Unkonw encryption level(3)");
  }

  // Codes and levels outside the header's enums cannot go on the wire.
  message->setLevel(-1);
  EXPECT_THROW(message->getSendZMQMessage(), Exception);
  message->setLevel(0);
  message->setCode(99);
  EXPECT_THROW(message->getSendZMQMessage(), Exception);
}

}  // namespace
}  // namespace velbor::test
