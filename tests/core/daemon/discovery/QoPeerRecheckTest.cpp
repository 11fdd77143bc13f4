#include "core/daemon/discovery/QoPeerRecheck.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/daemon/client/ClientTestBase.h"
#include "core/daemon/router/QoPeerChecks.h"
#include "core/daemon/router/QoWorker.h"
#include "core/state/QoNotify.h"
#include "proto/VelborProto.pb.h"
#include "support/Eventually.h"

namespace velbor::test {
namespace {

// A trusted, online peer with a pairing, whose request endpoint answers as each test says:
// a notice of its exit or a repeated distrust is checked with it.
class QoPeerRecheckTest : public ClientTestBase {
 protected:
  using Reply = std::function<std::optional<FakePeer::Frames>()>;

  void SetUp() override {
    ClientTestBase::SetUp();
    fake_ = std::make_unique<FakePeer>([this](const FakePeer::Frames&) -> std::optional<FakePeer::Frames> {
      std::lock_guard lock(replyLock_);
      return reply_();
    });
    peer_ = peerAt(fake_->endpoint(), keysAlpha());
    pairing_ = pairWith(peer_->device(), "first");
    answerError(pb::ErrorCodeUntrusted);
    QoPeerRecheck::install();
  }
  void TearDown() override {
    QoPeerChecks::uninstall();
    ClientTestBase::TearDown();
  }

  void answerWith(Reply reply) {
    std::lock_guard lock(replyLock_);
    reply_ = std::move(reply);
  }
  void answerError(int32_t errcode) {
    answerWith([errcode] {
      return framesOf(QoMessage::qoMessageErrorWithErrorCode(errcode, "refused")->getSendZMQMessage());
    });
  }
  void answerNothing() {
    answerWith([]() -> std::optional<FakePeer::Frames> { return std::nullopt; });
  }

  // A PubExit naming the peer; signed by it, or unsigned as any host can send it.
  QoRequest exitNotice(bool signedByPeer) const {
    auto body = std::make_shared<pb::MsgPubExit>();
    body->set_publisher(peer_->device()->uuid());
    QoRequest request;
    request.body = body;
    if (signedByPeer) {
      request.level = 1;
      request.sender = QoDevice::getDeviceWithUuid(peer_->device()->uuid());
      request.sign = std::string(256, 's');
    }
    return request;
  }
  QoDevice::Ptr stored() const { return QoDevice::getDeviceWithUuid(peer_->device()->uuid()); }
  bool online() const {
    auto device = stored();
    return device && device->isOnline();
  }
  // Whether the device was asked if it is there, by a scan.
  int scans() const {
    int count = 0;
    for (const auto& head : fake_->heads()) count += head.code() == pb::MsgCodeScanRequest ? 1 : 0;
    return count;
  }
  // The device has been asked `count` times and every check's effect has been posted.
  bool askedAtLeast(int count) {
    if (!eventually([&] { return scans() >= count; }, 30)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    QoNotify::notifyQueue()->sync([] {});
    return true;
  }

  std::mutex replyLock_;
  Reply reply_;
  std::unique_ptr<FakePeer> fake_;
  std::unique_ptr<RouterTestClient> peer_;
  std::shared_ptr<QoSyncdirCopyRelation> pairing_;
};

TEST_F(QoPeerRecheckTest, AnExitNoticeHoldsOnlyWhileTheDeviceDoesNotAnswer) {
  NoticeLog<notice::DeviceAddResponse> added;
  NoticeLog<notice::DeviceOffLine> offline;

  // A signed notice takes the device offline at once; the device still answers (the
  // notice was an old one replayed), so it is back online and subscribed to again.
  QoWorker::handlePubExit(exitNotice(true));
  EXPECT_FALSE(online());
  ASSERT_TRUE(askedAtLeast(1));
  EXPECT_TRUE(eventually([&] { return online(); }, 10));
  QoNotify::notifyQueue()->sync([] {});
  ASSERT_EQ(offline.delivered().size(), 1U);
  ASSERT_FALSE(added.delivered().empty());
  EXPECT_EQ(added.delivered().back().devices.at(0)->uuid(), peer_->device()->uuid());

  // An unsigned notice, as anyone can send, too: offline at once, back once it answers.
  const size_t addedBefore = added.delivered().size();
  QoWorker::handlePubExit(exitNotice(false));
  EXPECT_FALSE(online());
  ASSERT_TRUE(askedAtLeast(2));
  EXPECT_TRUE(eventually([&] { return online(); }, 10));
  QoNotify::notifyQueue()->sync([] {});
  EXPECT_EQ(offline.delivered().size(), 2U);
  EXPECT_GT(added.delivered().size(), addedBefore);

  // One that no longer answers is gone: offline, its trust and pairing kept.
  answerNothing();
  QoWorker::handlePubExit(exitNotice(false));
  EXPECT_FALSE(online());
  ASSERT_TRUE(askedAtLeast(3));
  EXPECT_FALSE(online());
  QoNotify::notifyQueue()->sync([] {});
  EXPECT_EQ(offline.delivered().size(), 3U);
  ASSERT_NE(stored(), nullptr);
  EXPECT_EQ(stored()->status(), 1);
  EXPECT_EQ(pairingKeys(), std::vector<std::string>{pairingKey(pairing_)});
}

// A device that announces its exit twice (the offline button, then quitting) while the check
// of the first is still to run: that check may find it still there, but the second notice
// is checked all the same, and finds it gone. So is a genuine exit that comes while the
// check of a forged one waits.
TEST_F(QoPeerRecheckTest, ANoticeThatComesWhileACheckWaitsIsCheckedAfterIt) {
  // The device answers one scan, the first check's, and has gone after it.
  auto answered = std::make_shared<std::atomic<bool>>(false);
  answerWith([answered]() -> std::optional<FakePeer::Frames> {
    if (answered->exchange(true)) return std::nullopt;
    return framesOf(QoMessage::qoMessageErrorWithErrorCode(pb::ErrorCodeUntrusted, "refused")->getSendZMQMessage());
  });
  QoWorker::handlePubExit(exitNotice(false));
  QoWorker::handlePubExit(exitNotice(false));
  ASSERT_TRUE(askedAtLeast(1));
  EXPECT_TRUE(eventually([&] { return !online(); }, 30));
  EXPECT_EQ(scans(), 2);
}

// A signed exit notice is the same bytes at every exit: once seen, one sent again is only
// checked, so replaying it does not take the device offline, and pull from it, over and over.
TEST_F(QoPeerRecheckTest, ASignedExitNoticeSeenBeforeIsOnlyChecked) {
  NoticeLog<notice::DeviceOffLine> offline;
  QoWorker::handlePubExit(exitNotice(true));
  EXPECT_FALSE(online());
  ASSERT_TRUE(askedAtLeast(1));
  EXPECT_TRUE(eventually([&] { return online(); }, 10));

  QoWorker::handlePubExit(exitNotice(true));
  EXPECT_TRUE(online());
  ASSERT_TRUE(askedAtLeast(2));
  EXPECT_TRUE(online());
  QoNotify::notifyQueue()->sync([] {});
  EXPECT_EQ(offline.delivered().size(), 1U);

  // Seen before, and the device has gone: offline all the same.
  answerNothing();
  QoWorker::handlePubExit(exitNotice(true));
  EXPECT_TRUE(eventually([&] { return !online(); }, 30));
}

TEST_F(QoPeerRecheckTest, ARepeatedDistrustEndsTheTrustOnlyWhenTheDeviceNoLongerTrusts) {
  NoticeLog<notice::DistrustResponse> distrusted;

  // The device answers the status request: it still trusts this device.
  auto listing = std::make_shared<pb::MsgStatusResponse>();
  answerWith([this, listing] { return peer_->seal(pb::MsgCodeStatusResponse, listing, 2); });
  QoPeerRecheck::runDistrustCheck(peer_->device()->uuid());
  ASSERT_NE(stored(), nullptr);
  EXPECT_EQ(stored()->status(), 1);
  EXPECT_EQ(pairingKeys(), std::vector<std::string>{pairingKey(pairing_)});

  // No answer: nothing is known, nothing changes.
  answerNothing();
  QoPeerRecheck::runDistrustCheck(peer_->device()->uuid());
  ASSERT_NE(stored(), nullptr);
  EXPECT_EQ(stored()->status(), 1);

  // It does not know or trust this device any more: the trust ends here as well.
  answerError(pb::ErrorCodeNoent);
  QoPeerRecheck::runDistrustCheck(peer_->device()->uuid());
  EXPECT_EQ(stored(), nullptr);
  EXPECT_TRUE(pairingKeys().empty());
  QoNotify::notifyQueue()->sync([] {});
  ASSERT_EQ(distrusted.delivered().size(), 1U);
}

}  // namespace
}  // namespace velbor::test
