#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AnsweringPeer.h"
#include "ClientTestBase.h"
#include "FakePeer.h"
#include "core/daemon/client/QoClient.h"
#include "core/state/DataSource.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

constexpr int32_t kUntrusted = 0;
constexpr int32_t kTrusted = 1;
constexpr int32_t kWaiting = 2;

// This device offers trust to a peer with the request client, as the device window does;
// the peer answers through this device's router.
class TrustExchangeTest : public ClientTestBase {
 protected:
  void SetUp() override {
    ClientTestBase::SetUp();
    QoConfig::sharedQoConfig().setRouterWorkerCount(2);
    router_.start();
    peer_ = std::make_unique<AnsweringPeer>(kUntrusted, router_.frontendEndpoint());
  }

  void setStatus(int32_t status) {
    auto device = QoDevice::getDeviceWithUuid(peer_->device()->uuid());
    device->setStatus(status);
    device->save();
  }
  int32_t status() const { return QoDevice::getDeviceWithUuid(peer_->device()->uuid())->status(); }

  // The window sets the peer waiting and sends the offer: the token the peer received.
  std::string offer() {
    setStatus(kWaiting);
    QoMessage::Ptr reply = QoClient::sendTrustPublishRequestTo(peer_->device(), QoClient::kOptionSync);
    EXPECT_NE(reply, nullptr);
    if (reply) {
      EXPECT_EQ(reply->code(), pb::MsgCodeTrustPublishResponse);
    }
    const auto tokens = peer_->tokens();
    return tokens.empty() ? std::string() : tokens.back();
  }

  template <class M>
  QoMessage::Ptr peerAnswers(int32_t code, const std::string& token) {
    auto body = std::make_shared<M>();
    body->set_token(token);
    return peer_->client().request(code, std::move(body), QoMessage::kLevelEncrypt);
  }

  static std::string errstrOf(const QoMessage::Ptr& reply) {
    auto error = reply ? reply->pbBodyAs<pb::MsgError>() : nullptr;
    return error ? error->errstr() : std::string();
  }

  std::unique_ptr<AnsweringPeer> peer_;
};

TEST_F(TrustExchangeTest, AnAcceptedOfferTrustsThePeer) {
  const std::string token = offer();
  ASSERT_EQ(token.size(), 36U);
  QoMessage::Ptr reply = peerAnswers<pb::MsgTrustRequest>(pb::MsgCodeTrustRequest, token);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->level(), QoMessage::kLevelEncrypt);
  ASSERT_NE(reply->pbBodyAs<pb::MsgTrustResponse>(), nullptr);
  EXPECT_EQ(reply->pbBodyAs<pb::MsgTrustResponse>()->trust_result(), pb::TrustResultAccepted);
  EXPECT_EQ(status(), kTrusted);
}

TEST_F(TrustExchangeTest, ARefusedOfferLeavesThePeerUntrusted) {
  NoticeLog<notice::TrustDenyResponse> refused;
  const std::string token = offer();
  QoMessage::Ptr reply = peerAnswers<pb::MsgTrustDenyRequest>(pb::MsgCodeTrustDenyRequest, token);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->code(), pb::MsgCodeTrustDenyResponse);
  EXPECT_EQ(status(), kUntrusted);
  ASSERT_EQ(refused.delivered().size(), 1U);
  // Refused once, the offer is over: agreeing to it later does not trust.
  EXPECT_EQ(errstrOf(peerAnswers<pb::MsgTrustRequest>(pb::MsgCodeTrustRequest, token)),
            "QoException: Maybe timeout(missing token in memory)");
  EXPECT_EQ(status(), kUntrusted);
}

TEST_F(TrustExchangeTest, CancelledAndTimedOutOffersAreNotAgreedTo) {
  // Withdrawn: the window sets the peer untrusted and sends the offer's token.
  std::string token = offer();
  setStatus(kUntrusted);
  QoMessage::Ptr reply = QoClient::sendTrustCancelRequestTo(peer_->device(), QoClient::kOptionSync);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->code(), pb::MsgCodeTrustCancelResponse);
  EXPECT_EQ(peer_->tokens().back(), token);
  EXPECT_EQ(errstrOf(peerAnswers<pb::MsgTrustRequest>(pb::MsgCodeTrustRequest, token)),
            "QoException: Maybe timeout(device status is not waiting for auth");
  EXPECT_EQ(status(), kUntrusted);

  // Timed out: the window's wait ran out before the answer came.
  token = offer();
  setStatus(kUntrusted);
  EXPECT_EQ(errstrOf(peerAnswers<pb::MsgTrustRequest>(pb::MsgCodeTrustRequest, token)),
            "QoException: Maybe timeout(device status is not waiting for auth");
  EXPECT_EQ(status(), kUntrusted);
}

TEST_F(TrustExchangeTest, AnOfferReceivedIsAnsweredWithItsToken) {
  NoticeLog<notice::TrustPublishResponse> offers;
  auto body = std::make_shared<pb::MsgTrustPublishRequest>();
  body->set_token("their-offer");
  body->set_timeout(30);
  ASSERT_NE(peer_->client().request(pb::MsgCodeTrustPublishRequest, body, QoMessage::kLevelEncrypt), nullptr);
  ASSERT_EQ(offers.delivered().size(), 1U);

  QoMessage::Ptr reply = QoClient::sendTrustRequestTo(peer_->device(), QoClient::kOptionSync);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->code(), pb::MsgCodeTrustResponse);
  EXPECT_EQ(peer_->tokens(), std::vector<std::string>{"their-offer"});
}

// A signed answer is the same bytes whenever it is sent: an agreement's answer names the
// offer's token, and one recorded for an earlier offer and sent again is no answer to this one.
// A device of an earlier version names none; its answer stands as before, unless that device
// has named a token before (then the answer was recorded before).
TEST_F(TrustExchangeTest, AnAnswerNamingAnotherOffersTokenIsNoAnswer) {
  struct Row {
    const char* label;
    std::optional<std::string> named;
    bool taken;
    bool namedBefore = false;
  };
  for (const Row& row :
       {Row{"this offer", "this-offer", true}, Row{"earlier offer", "earlier-offer", false},
        Row{"earlier version", std::nullopt, true}, Row{"none after naming", std::nullopt, false, true}}) {
    SCOPED_TRACE(row.label);
    std::unique_ptr<RouterTestClient> signer;
    std::atomic<int> answered{0};
    FakePeer fake([&](const FakePeer::Frames&) -> std::optional<FakePeer::Frames> {
      auto answer = std::make_shared<pb::MsgTrustResponse>();
      answer->set_trust_result(pb::TrustResultAccepted);
      if (row.namedBefore && answered++ == 0) {
        answer->set_token("this-offer");
      } else if (row.named) {
        answer->set_token(*row.named);
      }
      return signer->seal(pb::MsgCodeTrustResponse, answer, QoMessage::kLevelEncrypt);
    });
    signer = peerAt(fake.endpoint(), keysBravo());
    const auto send = [&] {
      return QoClient::sendTrustRequestTo(signer->device(), QoClient::kOptionSync, "this-offer");
    };
    if (row.namedBefore) {
      EXPECT_NE(send(), nullptr);
    }
    EXPECT_EQ(send() != nullptr, row.taken);
    EXPECT_EQ(fake.heads().size(), row.namedBefore ? 2U : 1U);
  }
}

}  // namespace
}  // namespace velbor::test
