#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "NoticeLog.h"
#include "PairingFixture.h"
#include "RouterTestBase.h"
#include "core/daemon/router/QoPeerChecks.h"
#include "core/daemon/router/QoSeenSignatures.h"
#include "core/daemon/router/QoWorker.h"
#include "core/state/DataSource.h"
#include "core/state/Lockers.h"
#include "core/state/TrustInfo.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoException.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/LockerGuard.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

constexpr int32_t kUntrusted = 0;
constexpr int32_t kTrusted = 1;
constexpr int32_t kWaiting = 2;

// What the peer checks were handed, one line each, while installed.
class HandedToChecks {
 public:
  ~HandedToChecks() { QoPeerChecks::uninstall(); }
  std::vector<std::string> lines() const {
    std::lock_guard lock(lock_);
    return lines_;
  }

 protected:
  void add(std::string line) {
    std::lock_guard lock(lock_);
    lines_.push_back(std::move(line));
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> lines_;
};

// The devices whose distrust was handed to the device itself for a check.
class RepeatedDistrusts : public HandedToChecks {
 public:
  RepeatedDistrusts() {
    QoPeerChecks::install(nullptr, [this](const std::string& uuid) { add(uuid); });
  }
  std::vector<std::string> uuids() const { return lines(); }
};

// The offers of trusted devices handed over to be answered with an agreement.
class OfferAnswers : public HandedToChecks {
 public:
  OfferAnswers() {
    QoPeerChecks::installOfferAnswer(
        [this](const std::string& uuid, const std::string& token) { add(uuid + " " + token); });
  }
  std::vector<std::string> offers() const { return lines(); }
};

// A peer talking to this device's router about trust. The peer's device is registered here;
// this device may have made it an offer (a send context) or received one from it.
class TrustRequestTest : public RouterTestBase, public PairingFixture {
 protected:
  void SetUp() override {
    RouterTestBase::SetUp();
    // Trust messages must go at level 2 whatever the setting.
    QoConfig::sharedQoConfig().setEncryptLevel(0);
    peer_ = startRouter();
    uuid_ = peer_->device()->uuid();
  }

  // This device offered trust to the peer with `token` and the peer's status is `status`.
  void offered(const std::string& token, int32_t status = kWaiting) {
    setStatus(status);
    DataSource::sharedDataSource().setSendTrustContext(uuid_, std::make_shared<TrustInfo>(TrustInfo{uuid_, token, 10}));
  }
  void setStatus(int32_t status) {
    auto device = QoDevice::getDeviceWithUuid(uuid_);
    device->setStatus(status);
    device->save();
  }
  int32_t status() const { return QoDevice::getDeviceWithUuid(uuid_)->status(); }

  template <class M>
  QoMessage::Ptr send(int32_t code, const std::string& token, int level = QoMessage::kLevelEncrypt) {
    auto body = std::make_shared<M>();
    body->set_token(token);
    return peer_->request(code, std::move(body), level);
  }
  QoMessage::Ptr publish(const std::string& token, int32_t timeout, int level = QoMessage::kLevelEncrypt) {
    auto body = std::make_shared<pb::MsgTrustPublishRequest>();
    body->set_token(token);
    body->set_timeout(timeout);
    return peer_->request(pb::MsgCodeTrustPublishRequest, std::move(body), level);
  }
  QoMessage::Ptr distrust(const std::string& uuid) {
    auto body = std::make_shared<pb::MsgDistrustRequest>();
    body->set_device_uuid(uuid);
    return peer_->request(pb::MsgCodeDistrustRequest, std::move(body), QoMessage::kLevelEncrypt);
  }

  // The trust replies go at level 2; others at the setting's level (0 here).
  static void expectReply(const QoMessage::Ptr& reply, int32_t code, int level = QoMessage::kLevelEncrypt) {
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->code(), code);
    EXPECT_EQ(reply->level(), level);
  }
  static void expectError(const QoMessage::Ptr& reply, int32_t errcode, const std::string& errstr) {
    ASSERT_NE(reply, nullptr);
    ASSERT_EQ(reply->code(), pb::MsgCodeError);
    auto error = reply->pbBodyAs<pb::MsgError>();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->errcode(), errcode);
    EXPECT_EQ(error->errstr(), errstr);
  }
  static int32_t trustResult(const QoMessage::Ptr& reply) {
    auto body = reply ? reply->pbBodyAs<pb::MsgTrustResponse>() : nullptr;
    return body ? body->trust_result() : -1;
  }

  std::unique_ptr<RouterTestClient> peer_;
  std::string uuid_;
};

TEST_F(TrustRequestTest, AnOfferIsKeptUntilTheNextOneReplacesIt) {
  setStatus(kUntrusted);
  NoticeLog<notice::TrustPublishResponse> offers;
  expectReply(publish("offer-1", 7), pb::MsgCodeTrustPublishResponse);
  expectReply(publish("offer-2", 30), pb::MsgCodeTrustPublishResponse);

  auto kept = DataSource::sharedDataSource().getRecvTrustContext(uuid_);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->token, "offer-2");
  EXPECT_EQ(kept->timeout, 30);
  const auto posted = offers.delivered();
  ASSERT_EQ(posted.size(), 2U);
  EXPECT_EQ(posted[0].info->token, "offer-1");
  EXPECT_EQ(posted[0].info->timeout, 7);
  EXPECT_EQ(posted[1].info->deviceUuid, uuid_);
  // An offer does not change the status: the device window does.
  EXPECT_EQ(status(), kUntrusted);

  // Unsigned, an offer names no sender it could be kept for.
  expectError(publish("offer-3", 7, QoMessage::kLevelNone), pb::ErrorCodeBadFormat, "bad format");
  EXPECT_EQ(DataSource::sharedDataSource().getRecvTrustContext(uuid_)->token, "offer-2");
  EXPECT_EQ(offers.delivered().size(), 2U);
}

// Anyone who saw an offer of a trusted device can send it again, and a part request of that
// device reads as an offer with fields left over: neither may put the trust in question.
TEST_F(TrustRequestTest, AnOfferOfATrustedDeviceAndAPartRequestPassedOffAsOneChangeNothing) {
  NoticeLog<notice::TrustPublishResponse> offers;
  OfferAnswers answers;
  expectReply(publish("offer-1", 30), pb::MsgCodeTrustPublishResponse);
  EXPECT_EQ(DataSource::sharedDataSource().getRecvTrustContext(uuid_), nullptr);
  EXPECT_EQ(status(), kTrusted);
  // It is answered with an agreement carrying its token: a device that lost its trust in
  // this one and offers anew is paired again at once, and a replayed offer matches no offer
  // open on the device.
  EXPECT_EQ(answers.offers(), std::vector<std::string>{uuid_ + " offer-1"});

  auto part = std::make_shared<pb::MsgGetRequest>();
  part->set_transfer(30);
  part->set_tree_uuid("token");
  part->set_path("/f.txt");
  part->mutable_part()->set_offset(0);
  part->mutable_part()->set_length(7);
  for (const int32_t asked : {kTrusted, kUntrusted}) {
    setStatus(asked);
    expectError(peer_->request(pb::MsgCodeTrustPublishRequest, part, QoMessage::kLevelEncrypt),
                pb::ErrorCodePermissionDeny,
                "QoExceptionZePermissionDeny: TrustPublish request of device(" + uuid_ +
                    ") carries more than its timeout and token");
  }
  EXPECT_EQ(DataSource::sharedDataSource().getRecvTrustContext(uuid_), nullptr);
  EXPECT_TRUE(offers.delivered().empty());
  EXPECT_EQ(answers.offers().size(), 1U);

  // A device not trusted here gets its offer shown, and no agreement.
  setStatus(kUntrusted);
  expectReply(publish("offer-2", 30), pb::MsgCodeTrustPublishResponse);
  EXPECT_EQ(offers.delivered().size(), 1U);
  EXPECT_EQ(answers.offers().size(), 1U);
}

TEST_F(TrustRequestTest, AgreementWithTheOffersTokenTrustsOnce) {
  NoticeLog<notice::TrustResponse> agreed;
  offered("token-a");

  QoMessage::Ptr reply = send<pb::MsgTrustRequest>(pb::MsgCodeTrustRequest, "token-b");
  expectReply(reply, pb::MsgCodeTrustResponse);
  EXPECT_EQ(trustResult(reply), pb::TrustResultRejected);
  EXPECT_EQ(status(), kWaiting);
  EXPECT_TRUE(agreed.delivered().empty());

  reply = send<pb::MsgTrustRequest>(pb::MsgCodeTrustRequest, "token-a");
  expectReply(reply, pb::MsgCodeTrustResponse);
  EXPECT_EQ(trustResult(reply), pb::TrustResultAccepted);
  // The answer names the agreement's token: it cannot pass for the answer to another.
  ASSERT_NE(reply->pbBodyAs<pb::MsgTrustResponse>(), nullptr);
  EXPECT_EQ(reply->pbBodyAs<pb::MsgTrustResponse>()->token(), "token-a");
  EXPECT_EQ(status(), kTrusted);
  EXPECT_EQ(DataSource::sharedDataSource().getSendTrustContext(uuid_), nullptr);
  const auto posted = agreed.delivered();
  ASSERT_EQ(posted.size(), 1U);
  EXPECT_EQ(posted[0].info->deviceUuid, uuid_);
  EXPECT_EQ(posted[0].info->token, "token-a");

  expectError(send<pb::MsgTrustRequest>(pb::MsgCodeTrustRequest, "token-a"), pb::ErrorCodeGeneral,
              "QoException: Maybe timeout(missing token in memory)");
  EXPECT_EQ(agreed.delivered().size(), 1U);
}

// The agreement is written as the status alone: the device's row read before it is written,
// beside another writer, may be stale or not yet committed, and written back whole it would
// undo that writer's change. A device removed meanwhile (its copies taken off, then its row,
// in one transaction) does not come back, trusted.
TEST_F(TrustRequestTest, AnAgreementBringsBackNoDeviceRemovedMeanwhile) {
  offered("token-a");
  pairWith(QoDevice::getDeviceWithUuid(uuid_), "peer");
  std::future<QoMessage::Ptr> reply;
  {
    WriteTransaction transaction;
    const auto device = QoDevice::getDeviceWithUuid(uuid_);
    for (const auto& copy : QoDevice::getDeviceSyncdirCopys(device->pk())) copy->forceRemove();
    reply = std::async(std::launch::async,
                       [this] { return send<pb::MsgTrustRequest>(pb::MsgCodeTrustRequest, "token-a"); });
    // Only gives an answer that does not wait the time to read the half-removed device.
    reply.wait_for(std::chrono::milliseconds(500));
    device->deleteObject();
    transaction.commit();
  }
  reply.get();
  EXPECT_EQ(QoDevice::getDeviceWithUuid(uuid_), nullptr);
  EXPECT_TRUE(pairingKeys().empty());
}

TEST_F(TrustRequestTest, RefusedAndTimedOutOffers) {
  NoticeLog<notice::TrustDenyResponse> refused;
  NoticeLog<notice::TrustResponse> agreed;
  offered("token-a");

  expectReply(send<pb::MsgTrustDenyRequest>(pb::MsgCodeTrustDenyRequest, "token-b"), pb::MsgCodeTrustDenyResponse);
  EXPECT_EQ(status(), kWaiting);
  EXPECT_TRUE(refused.delivered().empty());

  QoMessage::Ptr reply = send<pb::MsgTrustDenyRequest>(pb::MsgCodeTrustDenyRequest, "token-a");
  expectReply(reply, pb::MsgCodeTrustDenyResponse);
  EXPECT_EQ(reply->pbBody(), nullptr);
  EXPECT_EQ(status(), kUntrusted);
  EXPECT_EQ(DataSource::sharedDataSource().getSendTrustContext(uuid_), nullptr);
  ASSERT_EQ(refused.delivered().size(), 1U);

  // The window's wait ran out and put the device back to untrusted: a late agreement finds
  // nobody waiting for it.
  offered("token-c", kUntrusted);
  expectError(send<pb::MsgTrustRequest>(pb::MsgCodeTrustRequest, "token-c"), pb::ErrorCodeGeneral,
              "QoException: Maybe timeout(device status is not waiting for auth");
  EXPECT_EQ(status(), kUntrusted);
  EXPECT_TRUE(agreed.delivered().empty());
}

TEST_F(TrustRequestTest, AWithdrawalMustCarryTheOffersToken) {
  setStatus(kUntrusted);
  NoticeLog<notice::TrustCancelResponse> withdrawn;
  expectReply(publish("offer-1", 10), pb::MsgCodeTrustPublishResponse);

  expectReply(send<pb::MsgTrustCancelRequest>(pb::MsgCodeTrustCancelRequest, "offer-0"),
              pb::MsgCodeTrustCancelResponse);
  EXPECT_TRUE(withdrawn.delivered().empty());
  ASSERT_NE(DataSource::sharedDataSource().getRecvTrustContext(uuid_), nullptr);

  expectReply(send<pb::MsgTrustCancelRequest>(pb::MsgCodeTrustCancelRequest, "offer-1"),
              pb::MsgCodeTrustCancelResponse);
  const auto posted = withdrawn.delivered();
  ASSERT_EQ(posted.size(), 1U);
  EXPECT_EQ(posted[0].info->token, "offer-1");
  EXPECT_EQ(DataSource::sharedDataSource().getRecvTrustContext(uuid_), nullptr);

  // Withdrawn once, the offer is gone: a repeat changes nothing more.
  expectReply(send<pb::MsgTrustCancelRequest>(pb::MsgCodeTrustCancelRequest, "offer-1"),
              pb::MsgCodeTrustCancelResponse);
  EXPECT_EQ(withdrawn.delivered().size(), 1U);
}

TEST_F(TrustRequestTest, AnAnswerChecksTheStatusUnderTheDevicesTrustLocker) {
  NoticeLog<notice::TrustResponse> agreed;
  offered("token-a");
  std::future<QoMessage::Ptr> answer;
  {
    // The device window's wait runs out while the agreement is on its way; it resets the
    // status under the same locker.
    LockerGuard lock(Lockers::trust(uuid_));
    answer = std::async(std::launch::async,
                        [this] { return send<pb::MsgTrustRequest>(pb::MsgCodeTrustRequest, "token-a"); });
    // Time for the agreement to reach its handler; with the locker held it must wait there.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    setStatus(kUntrusted);
  }
  expectError(answer.get(), pb::ErrorCodeGeneral, "QoException: Maybe timeout(device status is not waiting for auth");
  EXPECT_EQ(status(), kUntrusted);
  EXPECT_TRUE(agreed.delivered().empty());
}

TEST_F(TrustRequestTest, ADeviceEndsOnlyItsOwnTrust) {
  QoDevice::Ptr third = addDevice("5f0c2d8e-6a1b-4c3d-9e8f-7a6b5c4d3e2f", "third", keysBravo().publicKey);
  const auto thirdPairing = pairWith(third, "third");
  const auto peerPairing = pairWith(peer_->device(), "peer");
  const std::string localUuid = QoConfig::sharedQoConfig().deviceUuid();

  std::mutex orderLock;
  std::vector<std::string> order;
  NoticeLog<notice::SyncDeleteResponse> deleted;
  NoticeLog<notice::DistrustResponse> distrusted;
  auto t1 = QoNotices::observe<notice::SyncDeleteResponse>([&](const notice::SyncDeleteResponse& n) {
    std::lock_guard lock(orderLock);
    order.push_back("SyncDeleteResponse" + std::to_string(n.relations.size()));
  });
  auto t2 = QoNotices::observe<notice::DistrustResponse>([&](const notice::DistrustResponse&) {
    std::lock_guard lock(orderLock);
    order.push_back("DistrustResponse");
  });

  // A peer naming another device, or this one, is refused: only its signature counts.
  expectError(
      distrust(third->uuid()), pb::ErrorCodePermissionDeny,
      "QoExceptionZePermissionDeny: Device(" + uuid_ + ") can not end the trust of device(" + third->uuid() + ")");
  expectError(distrust(localUuid), pb::ErrorCodePermissionDeny,
              "QoExceptionZePermissionDeny: Device(" + uuid_ + ") can not end the trust of device(" + localUuid + ")");
  ASSERT_NE(QoDevice::getDeviceWithUuid(third->uuid()), nullptr);
  EXPECT_EQ(QoDevice::getDeviceWithUuid(third->uuid())->status(), kTrusted);
  ASSERT_NE(QoDevice::getDeviceLocal(), nullptr);
  EXPECT_EQ(pairingKeys(), sorted({pairingKey(thirdPairing), pairingKey(peerPairing)}));
  EXPECT_TRUE(deleted.delivered().empty());

  // Its own distrust is answered and handed to the device itself to confirm; the trust
  // ends when the check finds the device refusing.
  RepeatedDistrusts checked;
  QoMessage::Ptr reply = distrust(uuid_);
  expectReply(reply, pb::MsgCodeDistrustResponse, QoMessage::kLevelNone);
  EXPECT_EQ(checked.uuids(), std::vector<std::string>{uuid_});
  ASSERT_NE(QoDevice::getDeviceWithUuid(uuid_), nullptr);
  EXPECT_EQ(status(), kTrusted);
  EXPECT_EQ(pairingKeys(), sorted({pairingKey(thirdPairing), pairingKey(peerPairing)}));
  EXPECT_TRUE(deleted.delivered().empty());
  ASSERT_NE(QoWorker::endTrustOf(uuid_), nullptr);
  EXPECT_EQ(QoDevice::getDeviceWithUuid(uuid_), nullptr);
  EXPECT_TRUE(QoDevice::getDeviceSyncdirCopys(peer_->device()->pk()).empty());
  EXPECT_EQ(pairingKeys(), std::vector<std::string>{pairingKey(thirdPairing)});
  ASSERT_EQ(deleted.delivered().size(), 1U);
  EXPECT_TRUE(deleted.delivered()[0].relations.empty());
  ASSERT_EQ(distrusted.delivered().size(), 1U);
  EXPECT_EQ(distrusted.delivered()[0].device->uuid(), uuid_);
  {
    std::lock_guard lock(orderLock);
    EXPECT_EQ(order, (std::vector<std::string>{"SyncDeleteResponse0", "DistrustResponse"}));
  }
  NotificationCenter::defaultCenter().removeObserver(t1);
  NotificationCenter::defaultCenter().removeObserver(t2);
}

TEST_F(TrustRequestTest, TrustMessagesNeedASignedSender) {
  offered("token-a");
  // The router refuses unsigned answers before their handler.
  expectError(send<pb::MsgTrustRequest>(pb::MsgCodeTrustRequest, "token-a", QoMessage::kLevelNone),
              pb::ErrorCodePermissionDeny, "QoExceptionZePermissionDeny: Encrypt Level None is not allowed!");
  EXPECT_EQ(status(), kWaiting);

  // Called without a sender (this device's own client), each handler refuses.
  auto request = [](QoMessage::Body body) {
    QoRequest r;
    r.body = std::move(body);
    r.fromNetwork = false;
    return r;
  };
  auto agree = std::make_shared<pb::MsgTrustRequest>();
  agree->set_token("token-a");
  EXPECT_THROW(QoWorker::handleTrustRequest(request(agree)), Exception);
  auto cancel = std::make_shared<pb::MsgTrustCancelRequest>();
  cancel->set_token("token-a");
  EXPECT_THROW(QoWorker::handleTrustCancelRequest(request(cancel)), Exception);
  auto end = std::make_shared<pb::MsgDistrustRequest>();
  end->set_device_uuid(uuid_);
  EXPECT_THROW(QoWorker::handleDistrustRequest(request(end)), QoException);
  EXPECT_EQ(status(), kWaiting);
  ASSERT_NE(QoDevice::getDeviceWithUuid(uuid_), nullptr);
}

}  // namespace
}  // namespace velbor::test

namespace velbor::test {
namespace {

class TrustReplayTest : public TrustRequestTest {
 protected:
  // Trusted anew, as after a new pairing: the same device, with the same key.
  void pairedAgain() {
    ASSERT_EQ(QoDevice::getDeviceWithUuid(uuid_), nullptr);
    auto device = std::make_shared<QoDevice>();
    device->setUuid(uuid_);
    device->setName(peer_->device()->name());
    device->setPubKey(peer_->device()->pubKey());
    device->setStatus(kTrusted);
    device->setIsOnline(true);
    device->save();
    pairWith(QoDevice::getDeviceWithUuid(uuid_), "again");
  }
  std::vector<std::string> seal(int32_t code, QoMessage::Body body, int level = QoMessage::kLevelAuth) {
    return peer_->seal(code, std::move(body), level);
  }
  QoMessage::Ptr replay(const std::vector<std::string>& frames) {
    auto reply = peer_->exchange(frames);
    return reply ? peer_->open(*reply) : nullptr;
  }
  std::shared_ptr<pb::MsgDistrustRequest> distrustBody() const {
    auto body = std::make_shared<pb::MsgDistrustRequest>();
    body->set_device_uuid(uuid_);
    return body;
  }
  bool stillTrusted() const {
    auto device = QoDevice::getDeviceWithUuid(uuid_);
    return device && device->status() == kTrusted && !QoDevice::getDeviceSyncdirCopys(device->pk()).empty();
  }
};

TEST_F(TrustReplayTest, ADistrustReplayedAfterANewPairingIsCheckedWithTheDeviceInstead) {
  RepeatedDistrusts repeated;
  pairWith(peer_->device(), "first");
  const std::vector<std::string> captured = seal(pb::MsgCodeDistrustRequest, distrustBody(), QoMessage::kLevelEncrypt);

  // The genuine distrust is checked with the device, which ends the trust.
  expectReply(replay(captured), pb::MsgCodeDistrustResponse, QoMessage::kLevelNone);
  EXPECT_TRUE(stillTrusted());
  EXPECT_EQ(repeated.uuids(), std::vector<std::string>{uuid_});
  ASSERT_NE(QoWorker::endTrustOf(uuid_), nullptr);
  EXPECT_EQ(QoDevice::getDeviceWithUuid(uuid_), nullptr);

  // Captured and sent again after the two paired anew, also at another level: the new
  // trust stays, and the device is asked instead.
  ASSERT_NO_FATAL_FAILURE(pairedAgain());
  expectReply(replay(captured), pb::MsgCodeDistrustResponse, QoMessage::kLevelNone);
  expectReply(replay(seal(pb::MsgCodeDistrustRequest, distrustBody())), pb::MsgCodeDistrustResponse,
              QoMessage::kLevelNone);
  EXPECT_TRUE(stillTrusted());
  EXPECT_EQ(repeated.uuids(), (std::vector<std::string>{uuid_, uuid_, uuid_}));
}

// A distrust the device once sent to another device, which forwards it here right after a
// pairing (before this device has seen any signed message of the device): the same bytes as
// a fresh one, so it ends nothing at once either, and the device is asked.
TEST_F(TrustReplayTest, ADistrustForwardedByAnotherDeviceEndsNothingBeforeTheDeviceIsAsked) {
  RepeatedDistrusts asked;
  pairWith(peer_->device(), "first");
  for (const int level : {QoMessage::kLevelAuth, QoMessage::kLevelEncrypt}) {
    expectReply(replay(seal(pb::MsgCodeDistrustRequest, distrustBody(), level)), pb::MsgCodeDistrustResponse,
                QoMessage::kLevelNone);
    EXPECT_TRUE(stillTrusted()) << level;
  }
  EXPECT_EQ(asked.uuids(), (std::vector<std::string>{uuid_, uuid_}));
}

TEST_F(TrustReplayTest, OtherSignedMessagesOfTheDeviceDoNotPassForItsDistrust) {
  RepeatedDistrusts repeated;
  pairWith(peer_->device(), "first");

  // A change notice's body starts with its publisher's uuid: relabelled, it would read as
  // that device's distrust with the rest left over.
  auto change = std::make_shared<pb::MsgPubFileChange>();
  change->set_publisher(uuid_);
  change->set_sync_uuid(QoUtils::generateUuid());
  change->set_tree_uuid(QoUtils::generateUuid());
  change->set_usn(7);
  expectError(replay(seal(pb::MsgCodeDistrustRequest, change)), pb::ErrorCodePermissionDeny,
              "QoExceptionZePermissionDeny: Distrust request of device(" + uuid_ + ") carries more than its uuid");
  EXPECT_TRUE(stillTrusted());

  // A signed exit notice and a status request are the distrust's very bytes: once seen,
  // they are no fresh distrust.
  auto exit = std::make_shared<pb::MsgPubExit>();
  exit->set_publisher(uuid_);
  const std::vector<std::string> exitFrames = seal(pb::MsgCodePubExit, exit);
  peer_->exchange(exitFrames, 500);
  auto status = std::make_shared<pb::MsgStatusRequest>();
  status->set_device_uuid(uuid_);
  expectReply(replay(seal(pb::MsgCodeStatusRequest, status)), pb::MsgCodeStatusResponse, QoMessage::kLevelNone);
  ASSERT_FALSE(exitFrames.empty());
  std::vector<std::string> relabelled = seal(pb::MsgCodeDistrustRequest, exit);
  expectReply(replay(relabelled), pb::MsgCodeDistrustResponse, QoMessage::kLevelNone);
  EXPECT_TRUE(stillTrusted());
  EXPECT_EQ(repeated.uuids(), std::vector<std::string>{uuid_});
}

// A device whose card asks for trust was trusted a moment ago: its status request, seen then,
// is still no fresh distrust.
TEST_F(TrustReplayTest, ASeenDistrustIsCheckedWithTheDeviceWhateverItsStatus) {
  RepeatedDistrusts repeated;
  pairWith(peer_->device(), "first");
  auto asked = std::make_shared<pb::MsgStatusRequest>();
  asked->set_device_uuid(uuid_);
  expectReply(replay(seal(pb::MsgCodeStatusRequest, asked)), pb::MsgCodeStatusResponse, QoMessage::kLevelNone);

  for (const int32_t standing : {3, kWaiting, kUntrusted}) {
    setStatus(standing);
    expectReply(replay(seal(pb::MsgCodeDistrustRequest, distrustBody())), pb::MsgCodeDistrustResponse,
                QoMessage::kLevelNone);
    ASSERT_NE(QoDevice::getDeviceWithUuid(uuid_), nullptr) << standing;
    EXPECT_EQ(status(), standing);
  }
  EXPECT_EQ(repeated.uuids(), (std::vector<std::string>{uuid_, uuid_, uuid_}));
}

// Any host with the token can have devices of its own making stored by discovery, each with
// a key, and have each send a signed distrust. None of them may push out what was seen of a
// trusted device, or a captured distrust of that device would pass for a fresh one.
TEST_F(TrustReplayTest, DistrustsOfUntrustedDevicesDoNotPushOutATrustedDevicesSignatures) {
  RepeatedDistrusts repeated;
  pairWith(peer_->device(), "first");
  const std::vector<std::string> captured = seal(pb::MsgCodeDistrustRequest, distrustBody());
  auto status = std::make_shared<pb::MsgStatusRequest>();
  status->set_device_uuid(uuid_);
  expectReply(replay(seal(pb::MsgCodeStatusRequest, status)), pb::MsgCodeStatusResponse, QoMessage::kLevelNone);

  for (size_t i = 0; i < QoSeenSignatures::kMaxDevices + 1; ++i) {
    auto stranger = std::make_shared<QoDevice>();
    // Uuids of its choosing: these sort after any other.
    stranger->setUuid(fmt::format("ffffffff-ffff-ffff-ffff-{:012x}", i));
    stranger->setName("stranger");
    stranger->setPubKey(peer_->device()->pubKey());
    stranger->setStatus(kUntrusted);
    stranger->save();
    auto body = std::make_shared<pb::MsgDistrustRequest>();
    body->set_device_uuid(stranger->uuid());
    QoRequest request;
    request.body = body;
    request.sender = QoDevice::getDeviceWithUuid(stranger->uuid());
    request.level = QoMessage::kLevelAuth;
    request.sign = "signature " + std::to_string(i);
    ASSERT_NE(QoWorker::handleDistrustRequest(request), nullptr);
  }

  expectReply(replay(captured), pb::MsgCodeDistrustResponse, QoMessage::kLevelNone);
  EXPECT_TRUE(stillTrusted());
  // Every distrust is handed to the check, the strangers' too; the trusted device's
  // signature is still known, for its exit notices.
  const auto handed = repeated.uuids();
  ASSERT_EQ(handed.size(), QoSeenSignatures::kMaxDevices + 2);
  EXPECT_EQ(handed.back(), uuid_);
  EXPECT_TRUE(QoSeenSignatures::seen(uuid_, peer_->open(captured)->sign().value_or("")));
}

}  // namespace
}  // namespace velbor::test
