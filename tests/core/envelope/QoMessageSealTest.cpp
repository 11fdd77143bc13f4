#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "EnvelopeTestSupport.h"
#include "core/proto/PbMessage.h"
#include "core/state/QoConfig.h"
#include "framework/crypto/QoEncrypt.h"
#include "framework/errors/QoExceptionProto.h"
#include "platform/GlobalQueue.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

using ::testing::HasSubstr;

struct Refusal {
  int code = -1;
  std::string name;
  std::string reason;
  std::string log;
};

pb::MsgHead headOf(const std::string& frame) { return PbMessage::parseFromData<pb::MsgHead>(frame); }

class QoMessageSealTest : public EnvelopeTestBase {
 protected:
  void SetUp() override {
    EnvelopeTestBase::SetUp();
    alpha_ = addDevice("alpha-uuid", "Alpha", keysAlpha().publicKey);
    bravo_ = addDevice("bravo-uuid", "Bravo", keysBravo().publicKey);
  }

  // A message sent as `sender` (signed with `keys`) to bravo.
  QoMessage::Ptr toBravo(int code, QoMessage::Body body, int level, QoDevice::Ptr sender = nullptr,
                         const DeviceKeys& keys = keysAlpha()) {
    return between(code, std::move(body), level, sender ? sender : alpha_, bravo_, keys);
  }

  std::vector<std::string> sealed(int level) { return framesOf(toBravo(4, findRequest(), level)->getSendZMQMessage()); }

  // Opens the frames at bravo, expecting a coded refusal, with what was logged meanwhile.
  static Refusal refusal(const std::vector<std::string>& frames) {
    Refusal refusal;
    ::testing::internal::CaptureStderr();
    try {
      open(frames, keysBravo());
      ADD_FAILURE() << "accepted";
    } catch (const QoException& e) {
      refusal = {e.code(), e.name(), e.reason(), ""};
    }
    refusal.log = ::testing::internal::GetCapturedStderr();
    return refusal;
  }

  static std::string withHead(std::vector<std::string>& frames, const std::function<void(pb::MsgHead&)>& edit) {
    pb::MsgHead head = headOf(frames[0]);
    edit(head);
    frames[0] = PbMessage::data(head);
    return frames[0];
  }

  // Wrapped keys a peer might put in place of the sender's: garbage that does not unwrap,
  // a key of the wrong length and a well-formed key other than the one the body is sealed
  // under.
  static std::vector<std::string> substitutedKeys() {
    const std::string& publicKey = keysBravo().publicKey;
    return {std::string(256, '\x5a'), QoEncrypt::encryptDataPublicKey(std::string(32, 'k'), publicKey),
            QoEncrypt::encryptDataPublicKey(std::string(16, 'k'), publicKey)};
  }

  QoDevice::Ptr alpha_;
  QoDevice::Ptr bravo_;
};

TEST_F(QoMessageSealTest, RequestsAndRepliesAtEachLevelOverSockets) {
  for (bool tcp : {true, false}) {
    RequestLink link(tcp);
    for (int level = 0; level <= 2; ++level) {
      SCOPED_TRACE(testing::Message() << "tcp " << tcp << " level " << level);
      auto body = findRequest();
      ASSERT_TRUE(toBravo(pb::MsgCodeFindRequest, body, level)->sendToSocket(link.client()));

      auto raw = framesOf(ZMQMessage::recvFromSocket(link.server()));
      ASSERT_EQ(raw.size(), 4u);  // client identity, delimiter, header, body
      EXPECT_EQ(raw[1], "");
      auto head = headOf(raw[2]);
      const std::string plain = PbMessage::data(*body);
      if (level == 0) {
        EXPECT_FALSE(head.has_key() || head.has_sign());
      } else {
        EXPECT_EQ(head.uuid(), "alpha-uuid");
        EXPECT_EQ(head.key().size(), 256u);
        EXPECT_EQ(head.sign().size(), 256u);
      }
      if (level == 2) {
        EXPECT_NE(raw[3], plain);
        EXPECT_EQ(raw[3].size() % 16, 0u);
        const std::string aesKey = QoEncrypt::decryptDataPrivateKey(head.key(), keysBravo().privateKey);
        EXPECT_EQ(QoEncrypt::decryptDataKey(raw[3], aesKey), plain);
      } else {
        EXPECT_EQ(raw[3], plain);
      }

      auto request = open({raw[2], raw[3]}, keysBravo());
      ASSERT_NE(request->pbBodyAs<pb::MsgFindRequest>(), nullptr);
      EXPECT_EQ(request->pbBodyAs<pb::MsgFindRequest>()->sync_uuid(), body->sync_uuid());
      if (level > 0) {
        ASSERT_NE(request->srcDevice(), nullptr);
        EXPECT_EQ(request->srcDevice()->name(), "Alpha");
      }

      auto answer = std::make_shared<pb::MsgFindResponse>();
      answer->add_uuids("uuid-" + std::to_string(level));
      auto reply = between(pb::MsgCodeFindResponse, answer, level, bravo_, alpha_, keysBravo());
      reply->addIdentity(raw[0]);
      ASSERT_TRUE(reply->sendToSocket(link.server()));

      auto received = QoMessage::recvFromSocket(link.client(), keyOf(keysAlpha()));
      EXPECT_EQ(received->code(), pb::MsgCodeFindResponse);
      EXPECT_EQ(received->level(), level);
      ASSERT_NE(received->pbBodyAs<pb::MsgFindResponse>(), nullptr);
      EXPECT_EQ(received->pbBodyAs<pb::MsgFindResponse>()->uuids(0), "uuid-" + std::to_string(level));
    }
  }
}

TEST_F(QoMessageSealTest, BodylessLevelTwoReplyIsSignedWithoutKeyAndRepackingRenewsTheKey) {
  auto reply = between(pb::MsgCodeTrustPublishResponse, nullptr, 2, bravo_, alpha_, keysBravo());
  auto frames = framesOf(reply->getSendZMQMessage());
  ASSERT_EQ(frames.size(), 1u);
  auto head = headOf(frames[0]);
  EXPECT_FALSE(head.has_key());
  EXPECT_EQ(head.sign().size(), 256u);
  auto received = open(frames, keysAlpha());
  EXPECT_EQ(received->code(), pb::MsgCodeTrustPublishResponse);
  EXPECT_EQ(received->pbBody(), nullptr);

  auto request = toBravo(pb::MsgCodeFindRequest, findRequest(), 2);
  auto first = framesOf(request->getSendZMQMessage());
  auto second = framesOf(request->getSendZMQMessage());
  EXPECT_NE(headOf(first[0]).key(), headOf(second[0]).key());
  EXPECT_NE(first[1], second[1]);
  EXPECT_EQ(headOf(first[0]).sign(), headOf(second[0]).sign());
}

TEST_F(QoMessageSealTest, WithoutKeySourceTheConfiguredKeyIsUsed) {
  QoConfig::sharedQoConfig().setDevicePrivateKey(keysAlpha().privateKey);
  auto request = QoMessage::qoMessageWithMsgCode(pb::MsgCodeFindRequest, findRequest());
  request->setLevel(2);
  request->setSrcDevice(alpha_);
  request->setDestDevice(bravo_);
  auto frames = framesOf(request->getSendZMQMessage());
  EXPECT_NE(open(frames, keysBravo())->pbBody(), nullptr);

  QoConfig::sharedQoConfig().setDevicePrivateKey(keysBravo().privateKey);
  ZMQMessage message = messageOf(frames);
  EXPECT_NE(QoMessage::initWithRecvZMQMessage(message)->pbBody(), nullptr);
}

TEST_F(QoMessageSealTest, SendersMustBeKnownAndTrustedExceptForTrustMessages) {
  auto ghost = std::make_shared<QoDevice>();
  ghost->setUuid("ghost-uuid");
  ghost->setName("Ghost");
  auto fromGhost = framesOf(toBravo(pb::MsgCodeFindRequest, findRequest(), 1, ghost)->getSendZMQMessage());
  Refusal refused = refusal(fromGhost);
  EXPECT_EQ(refused.code, 10);
  EXPECT_EQ(refused.reason, "MsgFindRequest: Device/publickey is nil?");

  auto keyless = addDevice("keyless-uuid", "Keyless", "");
  EXPECT_EQ(refusal(framesOf(toBravo(4, findRequest(), 2, keyless)->getSendZMQMessage())).code, 10);

  auto carol = addDevice("carol-uuid", "Carol", keysAlpha().publicKey, 0);
  refused = refusal(framesOf(toBravo(pb::MsgCodeFindRequest, findRequest(), 1, carol)->getSendZMQMessage()));
  EXPECT_EQ(refused.code, 21);
  EXPECT_EQ(refused.reason, "MsgFindRequest: Device(Carol) is not trusted");

  // A trust request from an untrusted device passes and names its sender; an extra
  // frame from the peer does not replace that record.
  auto token = std::make_shared<pb::MsgTrustRequest>();
  token->set_token("token");
  auto trust = framesOf(toBravo(pb::MsgCodeTrustRequest, token, 1, carol)->getSendZMQMessage());
  trust.push_back("forged");
  auto received = open(trust, keysBravo());
  ASSERT_NE(received->userInfoDevice(), nullptr);
  EXPECT_EQ(received->userInfoDevice()->uuid(), "carol-uuid");
  EXPECT_EQ(received->userInfoData(), nullptr);
  // Replies to trust messages need no trust either.
  EXPECT_NO_THROW(
      open(framesOf(toBravo(pb::MsgCodeTrustDenyResponse, nullptr, 2, carol)->getSendZMQMessage()), keysBravo()));

  EXPECT_EQ(refusal(framesOf(toBravo(pb::MsgCodeTrustRequest, token, 1, ghost)->getSendZMQMessage())).code, 10);
}

// File parts are sealed with the cipher on another thread beside the digest: the envelope
// must be the one a small body gets, whole and bound to its signature.
TEST_F(QoMessageSealTest, LargeBodiesAreSealedAndOpenedLikeSmallOnes) {
  for (const size_t size : {size_t{256 * 1024}, size_t{1024 * 1024 + 7}}) {
    SCOPED_TRACE(size);
    auto part = std::make_shared<pb::MsgGetResponse>();
    part->set_transfer(9);
    part->set_tree_uuid("tree-uuid");
    part->set_path("/a file");
    part->mutable_part()->set_offset(0);
    part->mutable_part()->set_length(static_cast<int32_t>(size));
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131) >> 3);
    part->set_part_data(data);
    auto frames = framesOf(between(pb::MsgCodeGetResponse, part, 2, alpha_, bravo_, keysAlpha())->getSendZMQMessage());
    ASSERT_EQ(frames.size(), 2u);
    const pb::MsgHead head = headOf(frames[0]);
    const std::string aesKey = QoEncrypt::decryptDataPrivateKey(head.key(), keysBravo().privateKey);
    EXPECT_EQ(QoEncrypt::decryptDataKey(frames[1], aesKey), PbMessage::data(*part));

    auto opened = open(frames, keysBravo());
    ASSERT_NE(opened->pbBodyAs<pb::MsgGetResponse>(), nullptr);
    EXPECT_EQ(opened->pbBodyAs<pb::MsgGetResponse>()->part_data(), data);

    // A block of cipher text altered deep inside the body is refused.
    frames[1][size / 2] ^= 0x40;
    EXPECT_EQ(refusal(frames).code, 20);
  }
}

// The cipher of a large body runs on the global queue. When that queue takes no more jobs
// (the program is exiting), or the signature fails while the cipher runs, the seal must
// fail rather than wait for ever. Run apart: the global queue does not start again.
TEST_F(QoMessageSealTest, ALargeBodyIsNeverLeftWaitingForItsCipher) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto sealLarge = [this](const DeviceKeys& keys) {
    auto part = std::make_shared<pb::MsgGetResponse>();
    part->set_transfer(3);
    part->mutable_part()->set_length(512 * 1024);
    part->set_part_data(std::string(512 * 1024, 'p'));
    return framesOf(between(pb::MsgCodeGetResponse, part, 2, alpha_, bravo_, keys)->getSendZMQMessage());
  };
  const auto scenario = [&] {
    // A hang ends the child by its alarm, not with the code the test expects.
    ::alarm(60);
    DeviceKeys unusable = keysAlpha();
    unusable.privateKey = "not a key";
    try {
      sealLarge(unusable);
      std::_Exit(2);
    } catch (const std::exception&) {
    }
    GlobalQueue::shared()->shutdown();
    try {
      sealLarge(keysAlpha());
      std::_Exit(3);
    } catch (const std::exception&) {
    }
    std::_Exit(0);
  };
  EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "");
}

TEST_F(QoMessageSealTest, TamperedBodiesAreDetected) {
  auto frames = sealed(1);
  frames[1][5] ^= 0x01;
  Refusal refused = refusal(frames);
  EXPECT_EQ(refused.code, 22);
  EXPECT_EQ(refused.reason, "MsgFindRequest: Body md5 is different");

  // A well-formed body in place of the one that was signed.
  frames = sealed(1);
  auto other = findRequest();
  other->set_since(43);
  frames[1] = PbMessage::data(*other);
  EXPECT_EQ(refusal(frames).code, 22);
}

TEST_F(QoMessageSealTest, UndecryptableMessagesRevealNoDetailToThePeer) {
  const std::string generic = "MsgFindRequest: Device(Alpha) decryptLevel failed";
  auto expectDenied = [&](const std::vector<std::string>& frames, const std::string& detail) {
    SCOPED_TRACE(detail);
    Refusal refused = refusal(frames);
    EXPECT_EQ(refused.code, 20);
    EXPECT_EQ(refused.name, "QoExceptionZePermissionDeny");
    EXPECT_EQ(refused.reason, generic);
    EXPECT_THAT(refused.log, HasSubstr(detail));
  };

  auto frames = sealed(2);
  withHead(frames, [](pb::MsgHead& head) { head.clear_key(); });
  expectDenied(frames, "Key in header is nil");

  frames = sealed(1);
  withHead(frames, [](pb::MsgHead& head) { head.clear_sign(); });
  expectDenied(frames, "Sign in header is nil");

  // Signed with a key other than the sender's.
  frames = framesOf(toBravo(pb::MsgCodeFindRequest, findRequest(), 1, alpha_, keysBravo())->getSendZMQMessage());
  expectDenied(frames, "QoEncrypt:");
}

// A peer that alters the wrapped key or the cipher text of a sealed body learns only that
// the message did not open: telling bad padding apart from a wrong digest would let it
// decrypt bodies byte by byte.
TEST_F(QoMessageSealTest, AlteredKeysAndCipherTextsAllFailAlike) {
  const std::vector<std::string> genuine = sealed(2);
  std::set<int> codes;
  std::set<std::string> reasons;
  for (int flip = 1; flip < 256; ++flip) {
    auto frames = genuine;
    frames[1][frames[1].size() - 17] ^= static_cast<char>(flip);
    Refusal refused = refusal(frames);
    codes.insert(refused.code);
    reasons.insert(refused.reason);
  }
  EXPECT_EQ(codes, std::set<int>{20});
  EXPECT_EQ(reasons, std::set<std::string>{"MsgFindRequest: Device(Alpha) decryptLevel failed"});

  // At level 2 any substituted key, whether it unwraps or not, and whatever its length,
  // is refused the same way.
  for (const std::string& key : substitutedKeys()) {
    auto frames = sealed(2);
    withHead(frames, [&](pb::MsgHead& head) { head.set_key(key); });
    Refusal refused = refusal(frames);
    EXPECT_EQ(refused.code, 20);
    EXPECT_EQ(refused.reason, "MsgFindRequest: Device(Alpha) decryptLevel failed");
  }
}

// Any host can send messages that fail to open: their log lines are bounded, not one each.
TEST_F(QoMessageSealTest, AFloodOfUnopenableMessagesLogsABoundedNumberOfLines) {
  auto frames = sealed(2);
  frames[1][frames[1].size() - 1] ^= 0x01;
  size_t lines = 0;
  for (int i = 0; i < 40; ++i) {
    const std::string log = refusal(frames).log;
    for (size_t at = log.find("decryptLevel failed,"); at != std::string::npos;
         at = log.find("decryptLevel failed,", at + 1)) {
      ++lines;
    }
  }
  EXPECT_EQ(lines, QoMessage::kOpenFailureLogLines);
}

// Level 1 never uses the wrapped key, so it never opens it: a replayed request with a
// substituted key must not tell a key with valid padding from one without.
TEST_F(QoMessageSealTest, LevelOneIgnoresTheWrappedKey) {
  for (const std::string& key : substitutedKeys()) {
    auto frames = sealed(1);
    withHead(frames, [&](pb::MsgHead& head) { head.set_key(key); });
    auto received = open(frames, keysBravo());
    auto body = received->pbBodyAs<pb::MsgFindRequest>();
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->since(), findRequest()->since());
  }
}

}  // namespace
}  // namespace velbor::test
