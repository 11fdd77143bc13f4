#include "core/daemon/router/QoWorker.h"

#include <gtest/gtest.h>

#include "RouterTestBase.h"
#include "core/daemon/DataSource.h"
#include "core/daemon/QoNotices.h"
#include "core/utils/QoException.h"
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

  static QoRequest pubExit(const std::string& publisher) {
    auto body = std::make_shared<pb::MsgPubExit>();
    body->set_publisher(publisher);
    QoRequest request;
    request.body = body;
    request.level = 1;
    return request;
  }
  // Every notice posted so far has been delivered.
  static void drainNotices() { QoNotify::notifyQueue()->sync([] {}); }

  Waiter offline_;
  NotificationCenter::Token token_ = 0;
};

TEST_F(WorkerHandlersTest, PubExitOfThisDeviceOrAnUnknownOneChangesNothing) {
  QoDevice::Ptr bravo = addDevice(kBravoUuid, "bravo", keysBravo().publicKey);
  const bool localOnline = QoDevice::getDeviceLocal()->isOnline();

  EXPECT_EQ(QoWorker::handlePubExit(pubExit(QoConfig::sharedQoConfig().deviceUuid())), nullptr);
  EXPECT_EQ(QoWorker::handlePubExit(pubExit("7a0c1f7e-2f55-4d0a-a6a8-5b1f0e9d3c44")), nullptr);
  QoRequest noBody;
  EXPECT_EQ(QoWorker::handlePubExit(noBody), nullptr);
  drainNotices();

  EXPECT_EQ(offline_.count(), 0);
  EXPECT_EQ(QoDevice::getDeviceLocal()->isOnline(), localOnline);
  EXPECT_TRUE(QoDevice::getDeviceWithUuid(kBravoUuid)->isOnline());
  EXPECT_EQ(QoDevice::allObjects().size(), 2u);
}

TEST_F(WorkerHandlersTest, PubExitOfAPeerTakesItOfflineAndTellsOnce) {
  addDevice(kBravoUuid, "bravo", keysBravo().publicKey);
  EXPECT_EQ(QoWorker::handlePubExit(pubExit(kBravoUuid)), nullptr);
  drainNotices();
  EXPECT_EQ(offline_.log(), std::vector<std::string>{kBravoUuid});
  EXPECT_FALSE(QoDevice::getDeviceWithUuid(kBravoUuid)->isOnline());
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
