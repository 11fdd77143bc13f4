#include "core/daemon/router/QoWorker.h"

#include <chrono>
#include <future>

#include <gtest/gtest.h>

#include "PairingFixture.h"
#include "RouterTestBase.h"
#include "core/state/DataSource.h"
#include "core/state/QoNotices.h"
#include "framework/errors/QoException.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/Dispatch.h"
#include "platform/Exception.h"
#include "platform/NotificationCenter.h"
#include "platform/Waiter.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

const std::string kBravoUuid = "0d5e8f0a-9b1c-4e52-8a3d-6f7e8d9c0b1a";

class WorkerHandlersTest : public RouterTestBase {
 protected:
  void SetUp() override {
    RouterTestBase::SetUp();
    token_ = QoNotices::observe<notice::DeviceOffLine>([this](const notice::DeviceOffLine& notice) {
      for (const auto& device : notice.devices) offline_.notify(device->uuid());
    });
  }
  void TearDown() override {
    NotificationCenter::defaultCenter().removeObserver(token_);
    RouterTestBase::TearDown();
  }

  // A PubExit naming `publisher`, signed by `sender` (by the device named when none is given).
  static QoRequest pubExit(const std::string& publisher, QoDevice::Ptr sender = nullptr) {
    auto body = std::make_shared<pb::MsgPubExit>();
    body->set_publisher(publisher);
    QoRequest request;
    request.body = body;
    request.level = 1;
    request.sender = sender ? sender : QoDevice::getDeviceWithUuid(publisher);
    return request;
  }
  // Every notice posted so far has been delivered.
  static void drainNotices() {
    QoNotify::notifyQueue()->sync([] {});
  }

  Waiter offline_;
  NotificationCenter::Token token_ = 0;
};

TEST_F(WorkerHandlersTest, PubExitOfThisDeviceAnUnknownOneOrFromAnotherSenderChangesNothing) {
  addDevice(kBravoUuid, "bravo", keysBravo().publicKey);
  QoDevice::Ptr charlie = addDevice("5b6c7d8e-1f2a-4b3c-9d4e-5f6a7b8c9d0e", "charlie", keysAlpha().publicKey);
  const bool localOnline = QoDevice::getDeviceLocal()->isOnline();
  QoRequest unsigned_ = pubExit(kBravoUuid);
  unsigned_.sender = nullptr;
  unsigned_.level = 0;

  EXPECT_EQ(QoWorker::handlePubExit(pubExit(QoConfig::sharedQoConfig().deviceUuid())), nullptr);
  EXPECT_EQ(QoWorker::handlePubExit(pubExit("7a0c1f7e-2f55-4d0a-a6a8-5b1f0e9d3c44")), nullptr);
  EXPECT_EQ(QoWorker::handlePubExit(QoRequest{}), nullptr);
  // A signature must be the named device's.
  EXPECT_EQ(QoWorker::handlePubExit(pubExit(kBravoUuid, charlie)), nullptr);
  drainNotices();

  EXPECT_EQ(offline_.count(), 0);
  EXPECT_EQ(QoDevice::getDeviceLocal()->isOnline(), localOnline);
  EXPECT_TRUE(QoDevice::getDeviceWithUuid(kBravoUuid)->isOnline());
  EXPECT_EQ(QoDevice::allObjects().size(), 3u);

  // From bravo itself: offline, told once.
  EXPECT_EQ(QoWorker::handlePubExit(pubExit(kBravoUuid)), nullptr);
  drainNotices();
  EXPECT_EQ(offline_.log(), std::vector<std::string>{kBravoUuid});
  EXPECT_FALSE(QoDevice::getDeviceWithUuid(kBravoUuid)->isOnline());

  // Unsigned, as exit notices are sent: offline at once as well (the device is asked
  // afterwards whether it is still there).
  QoDevice::Ptr bravo = QoDevice::getDeviceWithUuid(kBravoUuid);
  bravo->setIsOnline(true);
  bravo->save();
  EXPECT_EQ(QoWorker::handlePubExit(unsigned_), nullptr);
  drainNotices();
  EXPECT_EQ(offline_.log(), (std::vector<std::string>{kBravoUuid, kBravoUuid}));
  EXPECT_FALSE(QoDevice::getDeviceWithUuid(kBravoUuid)->isOnline());
}

// A status request with its challenge is signed afresh each time and reads as an exit notice
// with a field left over: relabelled, it must not pass for a fresh exit of its signer.
TEST_F(WorkerHandlersTest, ASignedExitWithFieldsLeftOverIsNoExit) {
  addDevice(kBravoUuid, "bravo", keysBravo().publicKey);
  pb::MsgStatusRequest status;
  status.set_device_uuid(kBravoUuid);
  status.set_challenge("fresh");
  auto body = std::make_shared<pb::MsgPubExit>();
  ASSERT_TRUE(body->ParseFromString(status.SerializeAsString()));
  QoRequest request = pubExit(kBravoUuid);
  request.body = body;
  request.sign = "a signature never seen";
  EXPECT_EQ(QoWorker::handlePubExit(request), nullptr);
  drainNotices();
  EXPECT_EQ(offline_.count(), 0);
  EXPECT_TRUE(QoDevice::getDeviceWithUuid(kBravoUuid)->isOnline());
}

TEST_F(WorkerHandlersTest, PubExitKeepsADeviceInTheMiddleOfATrustExchange) {
  // 2: this device waits for bravo's answer; 3: bravo's offer waits for the user here.
  for (int32_t status : {2, 3}) {
    QoDevice::Ptr bravo = addDevice(kBravoUuid, "bravo", keysBravo().publicKey, status);
    EXPECT_EQ(QoWorker::handlePubExit(pubExit(kBravoUuid, bravo)), nullptr);
    QoDevice::Ptr kept = QoDevice::getDeviceWithUuid(kBravoUuid);
    ASSERT_NE(kept, nullptr) << "status " << status;
    EXPECT_FALSE(kept->isOnline());
    EXPECT_EQ(kept->status(), status);
    kept->forceRemove();
  }
  // Outside an exchange an untrusted device goes, as when it times out.
  QoDevice::Ptr bravo = addDevice(kBravoUuid, "bravo", keysBravo().publicKey, 0);
  EXPECT_EQ(QoWorker::handlePubExit(pubExit(kBravoUuid, bravo)), nullptr);
  EXPECT_EQ(QoDevice::getDeviceWithUuid(kBravoUuid), nullptr);
}

// An exit notice writes the device's row back. Read beside a writer, before its change is
// committed, it would undo that change when written: the device removed with its copies would
// come back, trusted; a trust agreed meanwhile would be lost.
TEST_F(WorkerHandlersTest, PubExitUndoesNoChangeMadeMeanwhile) {
  QoDevice::Ptr bravo = addDevice(kBravoUuid, "bravo", keysBravo().publicKey);
  PairingFixture::pairWith(bravo, "bravo");
  std::future<QoMessage::Ptr> handled;
  {
    // As a device is removed: its copies taken off, then its row, in one transaction.
    WriteTransaction transaction;
    for (const auto& copy : QoDevice::getDeviceSyncdirCopys(bravo->pk())) copy->forceRemove();
    handled = std::async(std::launch::async, [] { return QoWorker::handlePubExit(pubExit(kBravoUuid)); });
    // Only gives a handler that does not wait the time to read the half-removed device.
    handled.wait_for(std::chrono::milliseconds(500));
    bravo->deleteObject();
    transaction.commit();
  }
  handled.get();
  EXPECT_EQ(QoDevice::getDeviceWithUuid(kBravoUuid), nullptr);
  EXPECT_TRUE(PairingFixture::pairingKeys().empty());

  // Waiting for bravo's answer to this device's offer when the notice comes; the agreement
  // is recorded meanwhile.
  addDevice(kBravoUuid, "bravo", keysBravo().publicKey, 2);
  {
    WriteTransaction transaction;
    handled = std::async(std::launch::async, [] { return QoWorker::handlePubExit(pubExit(kBravoUuid)); });
    handled.wait_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(QoDevice::changeStatus(kBravoUuid, {2}, 1));
    transaction.commit();
  }
  handled.get();
  const QoDevice::Ptr stored = QoDevice::getDeviceWithUuid(kBravoUuid);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->status(), 1);
  EXPECT_FALSE(stored->isOnline());
}

TEST_F(WorkerHandlersTest, DatabaseClearRunsOnlyForThisDevicesOwnRequests) {
  addDevice(kBravoUuid, "bravo", keysBravo().publicKey);
  DataSource::sharedDataSource().getAutoUsn();

  QoRequest fromPeer;
  fromPeer.level = 2;
  EXPECT_THROW(QoWorker::handleDatabaseClearRequest(fromPeer), QoException);
  QoRequest withBody;
  withBody.fromNetwork = false;
  withBody.body = std::make_shared<pb::MsgScanRequest>();
  EXPECT_THROW(QoWorker::handleDatabaseClearRequest(withBody), Exception);
  EXPECT_EQ(QoDevice::allObjects().size(), 2u);

  QoRequest local;
  local.fromNetwork = false;
  QoMessage::Ptr reply = QoWorker::handleDatabaseClearRequest(local);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->code(), pb::MsgCodeDatabaseClearResponse);
  EXPECT_EQ(reply->pbBody(), nullptr);
  ASSERT_EQ(QoDevice::allObjects().size(), 1u);
  EXPECT_NE(QoDevice::getDeviceLocal(), nullptr);
  EXPECT_EQ(DataSource::sharedDataSource().getCurrentUsn(), 0);
}

}  // namespace
}  // namespace velbor::test
