#include "core/daemon/discovery/QoPeerRecheck.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/daemon/client/ClientTestBase.h"
#include "core/daemon/router/QoPeerChecks.h"
#include "core/daemon/router/QoWorker.h"
#include "core/state/QoNotify.h"
#include "core/utils/QoUtils.h"
#include "framework/persistence/WriteTransaction.h"
#include "proto/VelborProto.pb.h"
#include "support/Eventually.h"
#include "support/LoopbackListener.h"

namespace velbor::test {
namespace {

// A request endpoint that takes connections and never answers, counting them and the most
// open at once.
class CountingListener {
 public:
  CountingListener() {
    uint16_t port = 0;
    listener_ = listenOnLoopback(port);
    endpoint_ = "tcp://127.0.0.1:" + std::to_string(port);
    thread_ = std::thread([this] { serve(); });
  }
  ~CountingListener() {
    stop_ = true;
    thread_.join();
    for (const int fd : open_) ::close(fd);
    ::close(listener_);
  }
  CountingListener(const CountingListener&) = delete;
  CountingListener& operator=(const CountingListener&) = delete;

  const std::string& endpoint() const { return endpoint_; }
  int accepted() const { return accepted_; }
  int mostOpen() const { return mostOpen_; }
  int openNow() const { return openNow_; }

 private:
  void serve() {
    while (!stop_) {
      std::vector<pollfd> items{{listener_, POLLIN, 0}};
      for (const int fd : open_) items.push_back({fd, POLLIN, 0});
      if (::poll(items.data(), items.size(), 50) <= 0) continue;
      for (size_t i = 1; i < items.size(); ++i) {
        if ((items[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char buffer[512];
        if (::recv(items[i].fd, buffer, sizeof buffer, 0) > 0) continue;
        ::close(items[i].fd);
        open_.erase(std::find(open_.begin(), open_.end(), items[i].fd));
        openNow_ = static_cast<int>(open_.size());
      }
      if ((items[0].revents & POLLIN) != 0) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          open_.push_back(fd);
          ++accepted_;
          openNow_ = static_cast<int>(open_.size());
          mostOpen_ = std::max<int>(mostOpen_, openNow_);
        }
      }
    }
  }

  int listener_ = -1;
  std::string endpoint_;
  std::vector<int> open_;
  std::atomic<bool> stop_ = false;
  std::atomic<int> accepted_ = 0;
  std::atomic<int> mostOpen_ = 0;
  std::atomic<int> openNow_ = 0;
  std::thread thread_;
};

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
    QoPeerRecheck::setDistrustRecheckDelay(QoPeerRecheck::kDistrustRecheckDelay);
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

  // The check found the device answering: unsigned notices, as any host can send, are now
  // only checked, and a stream of them keeps it online, with no notice of going offline or
  // coming back and no pull.
  const size_t addedBefore = added.delivered().size();
  for (int i = 0; i < 10; ++i) {
    QoWorker::handlePubExit(exitNotice(false));
    EXPECT_TRUE(online());
  }
  ASSERT_TRUE(askedAtLeast(2));
  EXPECT_TRUE(online());
  QoNotify::notifyQueue()->sync([] {});
  EXPECT_EQ(offline.delivered().size(), 1U);
  EXPECT_EQ(added.delivered().size(), addedBefore);

  // One that no longer answers is gone: offline after the check, its trust and pairing kept.
  answerNothing();
  const int asked = scans();
  QoWorker::handlePubExit(exitNotice(false));
  ASSERT_TRUE(askedAtLeast(asked + 1));
  EXPECT_TRUE(eventually([&] { return !online(); }, 30));
  QoNotify::notifyQueue()->sync([] {});
  EXPECT_EQ(offline.delivered().size(), 2U);
  ASSERT_NE(stored(), nullptr);
  EXPECT_EQ(stored()->status(), 1);
  EXPECT_EQ(pairingKeys(), std::vector<std::string>{pairingKey(pairing_)});
}

// Before any check found the device answering, an unsigned notice takes it offline at once,
// as a device that quits is seen to go; the check brings it back.
TEST_F(QoPeerRecheckTest, AnUnsignedExitNoticeTakesAnUncheckedDeviceOfflineUntilItAnswers) {
  QoWorker::handlePubExit(exitNotice(false));
  EXPECT_FALSE(online());
  ASSERT_TRUE(askedAtLeast(1));
  EXPECT_TRUE(eventually([&] { return online(); }, 10));
}

// A notice that comes while the check of the device is running (the device may have quit
// after it answered) gets one more check after it.
TEST_F(QoPeerRecheckTest, ANoticeThatComesWhileACheckRunsIsCheckedAfterIt) {
  // The device answers the first scan slowly, and has gone after it.
  auto answered = std::make_shared<std::atomic<bool>>(false);
  answerWith([answered]() -> std::optional<FakePeer::Frames> {
    if (answered->exchange(true)) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    return framesOf(QoMessage::qoMessageErrorWithErrorCode(pb::ErrorCodeUntrusted, "refused")->getSendZMQMessage());
  });
  QoWorker::handlePubExit(exitNotice(false));
  ASSERT_TRUE(eventually([&] { return scans() >= 1; }, 30));
  QoWorker::handlePubExit(exitNotice(false));
  EXPECT_TRUE(eventually([&] { return scans() >= 2 && !online(); }, 30));
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

// A device found still there after its exit notice is written back online, its whole row.
// Read beside a writer removing it (its copies taken off, then its row, in one transaction),
// it would come back, trusted.
TEST_F(QoPeerRecheckTest, ADeviceRemovedWhileItsExitIsCheckedIsNotBroughtBack) {
  const std::string uuid = peer_->device()->uuid();
  QoWorker::handlePubExit(exitNotice(true));
  ASSERT_FALSE(online());
  {
    WriteTransaction transaction;
    for (const auto& copy : QoDevice::getDeviceSyncdirCopys(stored()->pk())) copy->forceRemove();
    // The device answers the check, which then brings it back online.
    ASSERT_TRUE(eventually([&] { return QoPeerChecks::answeredRecently(uuid); }, 30));
    // Only gives a check that does not wait the time to read the half-removed device.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stored()->deleteObject();
    transaction.commit();
  }
  ASSERT_TRUE(askedAtLeast(1));
  EXPECT_EQ(stored(), nullptr);
  EXPECT_TRUE(pairingKeys().empty());
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

  // A status answer not signed by the device refuses nothing.
  answerWith([this, listing] { return peer_->seal(pb::MsgCodeStatusResponse, listing, QoMessage::kLevelNone); });
  QoPeerRecheck::runDistrustCheck(peer_->device()->uuid());
  ASSERT_NE(stored(), nullptr);
  EXPECT_EQ(stored()->status(), 1);

  // "No such device" is an error reply, unsigned: one alone ends nothing. The device is
  // asked again over time, and the trust ends when it answers so each time.
  QoPeerRecheck::setDistrustRecheckDelay(std::chrono::milliseconds(1000));
  answerError(pb::ErrorCodeNoent);
  QoPeerRecheck::runDistrustCheck(peer_->device()->uuid());
  ASSERT_NE(stored(), nullptr);
  EXPECT_EQ(stored()->status(), 1);
  EXPECT_EQ(pairingKeys(), std::vector<std::string>{pairingKey(pairing_)});
  EXPECT_TRUE(eventually([&] { return stored() == nullptr; }, 60));
  EXPECT_TRUE(pairingKeys().empty());
  EXPECT_EQ(distrusted.waitFor(1).size(), 1U);
}

// Refusals that come in a few moments, as from a host that holds the device's address now
// and then while the device is away, are not refusals over the whole time: those of one
// moment count once, and a gap longer than the asking's rhythm starts the count anew.
TEST_F(QoPeerRecheckTest, RefusalsOfAFewMomentsDoNotEndTheTrust) {
  NoticeLog<notice::DistrustResponse> distrusted;
  QoPeerRecheck::setDistrustRecheckDelay(std::chrono::milliseconds(2000));
  // Between the moments the device answers something that confirms nothing, so that the
  // askings the check makes by itself add no refusal.
  answerError(pb::ErrorCodeBadFormat);
  auto refuse = [this] {
    answerError(pb::ErrorCodeUntrusted);
    QoPeerRecheck::runDistrustCheck(peer_->device()->uuid());
    answerError(pb::ErrorCodeBadFormat);
  };
  // Three refusals at once, then one in each of two later moments: five refusals over more
  // than three times the asking's rhythm, in three moments.
  refuse();
  refuse();
  refuse();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  refuse();
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  refuse();
  // Whatever the check still asks by itself is answered without a refusal.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  QoNotify::notifyQueue()->sync([] {});
  ASSERT_NE(stored(), nullptr);
  EXPECT_EQ(stored()->status(), 1);
  EXPECT_EQ(pairingKeys(), std::vector<std::string>{pairingKey(pairing_)});
  EXPECT_TRUE(distrusted.delivered().empty());
}

// A device whose trust here lapsed (a pairing offer that ran out) may still trust this one
// and hold its pairings: its distrust is checked too, and ends nothing while it answers so.
TEST_F(QoPeerRecheckTest, ADistrustOfADeviceNoLongerTrustedHereIsCheckedToo) {
  auto stale = stored();
  stale->setStatus(0);
  stale->save();
  auto listing = std::make_shared<pb::MsgStatusResponse>();
  answerWith([this, listing] { return peer_->seal(pb::MsgCodeStatusResponse, listing, 2); });
  QoPeerRecheck::runDistrustCheck(peer_->device()->uuid());
  EXPECT_EQ(fake_->heads().size(), 1U);
  ASSERT_NE(stored(), nullptr);
  EXPECT_EQ(pairingKeys(), std::vector<std::string>{pairingKey(pairing_)});

  // One that refuses again and again over time loses its pairings here.
  QoPeerRecheck::setDistrustRecheckDelay(std::chrono::milliseconds(1000));
  answerError(pb::ErrorCodeUntrusted);
  QoPeerRecheck::runDistrustCheck(peer_->device()->uuid());
  EXPECT_TRUE(eventually([&] { return stored() == nullptr; }, 60));
  EXPECT_TRUE(pairingKeys().empty());
}

// Checks of devices that never answer run a few at a time: each holds a connection for the
// client's whole reply wait, and a flood of them must not take every worker, nor hold up the
// check of a trusted device.
TEST_F(QoPeerRecheckTest, ChecksOfSilentDevicesRunAFewAtATime) {
  CountingListener silent;
  constexpr int kDevices = 10;
  for (int i = 0; i < kDevices; ++i) {
    auto device = std::make_shared<QoDevice>();
    device->setUuid(QoUtils::generateUuid());
    device->setName("made-up");
    device->setStatus(3);
    device->setPubKey(keysBravo().publicKey);
    device->setRouteUri(silent.endpoint());
    device->setIsOnline(true);
    device->setRegisterTime(QoUtils::timestampNow());
    device->save();
    QoPeerRecheck::checkExit(device->uuid());
  }
  QoPeerRecheck::checkExit(peer_->device()->uuid());
  ASSERT_TRUE(eventually([&] { return scans() >= 1; }, 60));
  EXPECT_LT(silent.accepted(), kDevices) << "the trusted device was checked after every made-up one";
  EXPECT_TRUE(eventually([&] { return silent.accepted() >= kDevices; }, 120));
  EXPECT_LE(silent.mostOpen(), 4);
  EXPECT_GE(silent.mostOpen(), 1);
  EXPECT_TRUE(eventually([&] { return silent.openNow() == 0; }, 60));
}

}  // namespace
}  // namespace velbor::test
