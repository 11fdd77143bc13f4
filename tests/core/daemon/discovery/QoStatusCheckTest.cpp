#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/daemon/client/ClientTestBase.h"
#include "core/daemon/discovery/QoPeerRecheck.h"
#include "core/daemon/discovery/QoStatusCheck.h"
#include "proto/VelborProto.pb.h"
#include "support/Eventually.h"

namespace velbor::test {
namespace {

// A trusted peer with two pairings, and a third device with one, whose answers to the
// status request are chosen by each test.
class QoStatusCheckTest : public ClientTestBase {
 protected:
  using Reply = std::function<FakePeer::Frames(const FakePeer::Frames& request)>;
  // What the answer carries back: the request's challenge, none (a device of an earlier
  // version), or another request's (an answer recorded earlier and sent again).
  enum class Echo { kChallenge, kNone, kOther };

  void SetUp() override {
    ClientTestBase::SetUp();
    fake_ = std::make_unique<FakePeer>([this](const FakePeer::Frames& request) -> std::optional<FakePeer::Frames> {
      std::lock_guard lock(replyLock_);
      return reply_(request);
    });
    peer_ = peerAt(fake_->endpoint(), keysAlpha());
    third_ = peerAt("tcp://127.0.0.1:1", keysBravo());
    first_ = pairWith(peer_->device(), "first");
    second_ = pairWith(peer_->device(), "second");
    withThird_ = pairWith(third_->device(), "third");
  }
  void TearDown() override {
    QoPeerRecheck::setDistrustRecheckDelay(QoPeerRecheck::kDistrustRecheckDelay);
    ClientTestBase::TearDown();
  }

  void answerWith(Reply reply) {
    std::lock_guard lock(replyLock_);
    reply_ = std::move(reply);
  }
  // The peer's list, signed at `level` by `signer`.
  void answerListing(const std::vector<std::shared_ptr<QoSyncdirCopyRelation>>& listed, int level,
                     RouterTestClient* signer = nullptr, Echo echo = Echo::kChallenge) {
    auto body = std::make_shared<pb::MsgStatusResponse>();
    for (const auto& relation : listed) {
      pb::SyncInfo* info = body->add_syncs();
      // The peer's own copy is its local tree, this device's copy its remote one.
      info->set_local_tree_uuid(relation->secondSyncdirCopy()->uuid());
      info->set_remote_tree_uuid(relation->firstSyncdirCopy()->uuid());
      info->set_remote_device_uuid(QoConfig::sharedQoConfig().deviceUuid());
      info->set_remote_tree_root(relation->firstSyncdirCopy()->path());
    }
    RouterTestClient* by = signer ? signer : peer_.get();
    answerWith([this, by, body, level, echo](const FakePeer::Frames& request) {
      auto answer = std::make_shared<pb::MsgStatusResponse>(*body);
      const auto asked = peer_->open(request)->pbBodyAs<pb::MsgStatusRequest>();
      if (echo == Echo::kChallenge && asked) answer->set_challenge(asked->challenge());
      if (echo == Echo::kOther) answer->set_challenge("recorded for an earlier request");
      return by->seal(pb::MsgCodeStatusResponse, answer, level);
    });
  }
  void answerError(int32_t errcode) {
    answerWith([errcode](const FakePeer::Frames&) {
      return framesOf(QoMessage::qoMessageErrorWithErrorCode(errcode, "refused")->getSendZMQMessage());
    });
  }

  void check() { QoStatusCheck::handleSendStatusRequest(peer_->device()); }
  std::vector<std::string> allPairings() const {
    return sorted({pairingKey(first_), pairingKey(second_), pairingKey(withThird_)});
  }

  std::mutex replyLock_;
  Reply reply_;
  std::unique_ptr<FakePeer> fake_;
  std::unique_ptr<RouterTestClient> peer_;
  std::unique_ptr<RouterTestClient> third_;
  std::shared_ptr<QoSyncdirCopyRelation> first_;
  std::shared_ptr<QoSyncdirCopyRelation> second_;
  std::shared_ptr<QoSyncdirCopyRelation> withThird_;
};

TEST_F(QoStatusCheckTest, PairingsThePeerNoLongerReportsAreRemoved) {
  NoticeLog<notice::SyncDeleteResponse> deleted;

  // Everything reported (and a pairing this device does not know): nothing changes.
  auto unknown = std::make_shared<QoSyncdirCopyRelation>();
  unknown->setFirstSyncdirCopy(makeCopy("/tmp/x", peer_->device(), "s"));
  unknown->setSecondSyncdirCopy(makeCopy("/tmp/y", peer_->device(), "s"));
  answerListing({first_, second_, unknown}, QoMessage::kLevelEncrypt);
  check();
  EXPECT_EQ(pairingKeys(), allPairings());
  EXPECT_TRUE(deleted.delivered().empty());

  answerListing({first_}, QoMessage::kLevelEncrypt);
  check();
  EXPECT_EQ(pairingKeys(), sorted({pairingKey(first_), pairingKey(withThird_)}));
  auto posted = deleted.delivered();
  ASSERT_EQ(posted.size(), 1U);
  ASSERT_EQ(posted[0].relations.size(), 1U);
  EXPECT_EQ(pairingKey(posted[0].relations[0]), pairingKey(second_));

  // Signed at level 1 is signed: an empty list removes the rest of the peer's pairings,
  // never the third device's.
  answerListing({}, QoMessage::kLevelAuth);
  check();
  EXPECT_EQ(pairingKeys(), std::vector<std::string>{pairingKey(withThird_)});
  EXPECT_EQ(deleted.delivered().size(), 2U);
}

TEST_F(QoStatusCheckTest, OnlyTheSignedListOfThePeerRemovesPairings) {
  NoticeLog<notice::SyncDeleteResponse> deleted;
  // Each of these would remove every pairing with the peer if it were believed.
  answerListing({}, QoMessage::kLevelNone);
  check();
  answerListing({}, QoMessage::kLevelEncrypt, third_.get());
  check();
  answerWith([this](const FakePeer::Frames&) {
    return peer_->seal(pb::MsgCodeStatusResponse, nullptr, QoMessage::kLevelEncrypt);
  });
  check();
  EXPECT_EQ(pairingKeys(), allPairings());
  EXPECT_TRUE(deleted.delivered().empty());
  EXPECT_EQ(fake_->heads().size(), 3U);
}

TEST_F(QoStatusCheckTest, ErrorRepliesNeverRemovePairings) {
  NoticeLog<notice::SyncDeleteResponse> deleted;
  NoticeLog<notice::DeviceAddResponse> changed;
  // An error reply without its body, unsigned and signed by the peer.
  answerWith([](const FakePeer::Frames&) {
    return framesOf(QoMessage::qoMessageWithMsgCode(pb::MsgCodeError, nullptr)->getSendZMQMessage());
  });
  check();
  answerWith(
      [this](const FakePeer::Frames&) { return peer_->seal(pb::MsgCodeError, nullptr, QoMessage::kLevelEncrypt); });
  check();
  // Unsigned refusals, as anyone on the path could send them.
  answerError(pb::ErrorCodeBadSyncdir);
  check();
  answerError(pb::ErrorCodeGeneral);
  check();
  EXPECT_EQ(fake_->heads().size(), 4U);
  EXPECT_EQ(pairingKeys(), allPairings());
  EXPECT_TRUE(deleted.delivered().empty());
  EXPECT_EQ(QoDevice::getDeviceWithUuid(peer_->device()->uuid())->status(), 1);
  EXPECT_TRUE(changed.delivered().empty());
}

// "Untrusted" comes as an error reply, which is unsigned: whoever holds the peer's address
// can send it. One alone changes nothing; the peer is asked again over time, and the trust
// ends when it refuses each time.
TEST_F(QoStatusCheckTest, APeerThatRefusesThisDeviceOverTimeIsNoLongerTrusted) {
  NoticeLog<notice::DeviceAddResponse> changed;
  NoticeLog<notice::DistrustResponse> distrusted;
  answerError(pb::ErrorCodeBadFormat);
  check();
  answerWith([this](const FakePeer::Frames&) {
    return peer_->seal(pb::MsgCodeScanResponse, nullptr, QoMessage::kLevelEncrypt);
  });
  check();
  EXPECT_EQ(QoDevice::getDeviceWithUuid(peer_->device()->uuid())->status(), 1);
  EXPECT_TRUE(changed.delivered().empty());

  QoPeerRecheck::setDistrustRecheckDelay(std::chrono::milliseconds(1000));
  answerError(pb::ErrorCodeUntrusted);
  check();
  ASSERT_NE(QoDevice::getDeviceWithUuid(peer_->device()->uuid()), nullptr);
  EXPECT_EQ(QoDevice::getDeviceWithUuid(peer_->device()->uuid())->status(), 1);
  EXPECT_EQ(pairingKeys(), allPairings());

  EXPECT_TRUE(eventually([&] { return QoDevice::getDeviceWithUuid(peer_->device()->uuid()) == nullptr; }, 60));
  EXPECT_EQ(distrusted.waitFor(1).size(), 1U);
  EXPECT_EQ(pairingKeys(), std::vector<std::string>{pairingKey(withThird_)});
}

// A signed answer is the same bytes whenever it is sent. One carrying another request's
// challenge was recorded and sent again: it removes nothing, and refuses no distrust.
TEST_F(QoStatusCheckTest, AnAnswerToAnotherRequestChangesNothing) {
  NoticeLog<notice::SyncDeleteResponse> deleted;
  answerListing({}, QoMessage::kLevelEncrypt, nullptr, Echo::kOther);
  check();
  EXPECT_EQ(fake_->heads().size(), 1U);
  EXPECT_EQ(pairingKeys(), allPairings());
  EXPECT_TRUE(deleted.delivered().empty());

  // Once the peer has carried a challenge back, an answer of it without one was recorded
  // before (or given to another asker): it is never taken as an earlier version's, however
  // long it is sent.
  QoPeerRecheck::setDistrustRecheckDelay(std::chrono::milliseconds(300));
  answerListing({first_, second_}, QoMessage::kLevelEncrypt);
  check();
  answerListing({first_}, QoMessage::kLevelEncrypt, nullptr, Echo::kNone);
  check();
  EXPECT_FALSE(eventually([&] { return pairingKeys().size() != 3; }, 4));
  EXPECT_EQ(fake_->heads().size(), 3U);
  EXPECT_TRUE(deleted.delivered().empty());
}

// A device of an earlier version carries no challenge back, and neither does an answer of it
// recorded and sent again: what it leaves out goes only when it is left out at every asking
// over time, as a refusal of trust ends the trust; one that names everything starts afresh.
TEST_F(QoStatusCheckTest, AnAnswerWithoutItsChallengeRemovesPairingsOnlyOverTime) {
  NoticeLog<notice::SyncDeleteResponse> deleted;
  QoPeerRecheck::setDistrustRecheckDelay(std::chrono::milliseconds(1000));
  answerListing({first_}, QoMessage::kLevelEncrypt, nullptr, Echo::kNone);
  check();
  EXPECT_EQ(pairingKeys(), allPairings());
  EXPECT_TRUE(eventually([&] { return pairingKeys().size() == 2; }, 60));
  EXPECT_EQ(pairingKeys(), sorted({pairingKey(first_), pairingKey(withThird_)}));
  EXPECT_GE(fake_->heads().size(), static_cast<size_t>(QoPeerRecheck::kDistrustConfirmations));
  EXPECT_EQ(deleted.waitFor(1).size(), 1U);
}

}  // namespace
}  // namespace velbor::test
