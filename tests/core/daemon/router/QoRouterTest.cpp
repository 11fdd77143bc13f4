#include "core/daemon/router/QoRouter.h"

#include <cerrno>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "RouterTestBase.h"
#include "core/daemon/router/TrustedHosts.h"
#include "core/state/DataSource.h"
#include "core/state/QoNotices.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQException.h"
#include "framework/network/ZMQSocket.h"
#include "platform/NotificationCenter.h"
#include "platform/Waiter.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

const std::string kLevelNoneRefused = "QoExceptionZePermissionDeny: Encrypt Level None is not allowed!";
const std::string kClearRefused = "QoExceptionZePermissionDeny: DatabaseClear request is not allowed from the network";

std::string portOf(const std::string& endpoint) { return endpoint.substr(endpoint.rfind(':') + 1); }

using RouterTest = RouterTestBase;

TEST_F(RouterTest, RepliesCarryTheCodeErrorAndLevelThePolicyGives) {
  auto client = startRouter();
  auto response = [] { return std::make_shared<pb::MsgFindResponse>(); };
  expectReplies(
      *client,
      {
          {"scan at level 1", pb::MsgCodeScanRequest, nullptr, 1, 2, pb::MsgCodeScanResponse, 1, {}, {}, false},
          {"scan at level 2", pb::MsgCodeScanRequest, nullptr, 2, 2, pb::MsgCodeScanResponse, 2, {}, {}, false},
          {"scan at 2, setting 1", pb::MsgCodeScanRequest, nullptr, 2, 1, pb::MsgCodeScanResponse, 1, {}, {}, false},
          {"scan at 2, setting 0", pb::MsgCodeScanRequest, nullptr, 2, 0, pb::MsgCodeScanResponse, 0, {}, {}, false},
          {"scan at level 0", pb::MsgCodeScanRequest, nullptr, 0, 2, pb::MsgCodeError, 0, 20, kLevelNoneRefused},
          {"find at level 0", pb::MsgCodeFindRequest, [] { return findRequest(); }, 0, 2, pb::MsgCodeError, 0, 20,
           kLevelNoneRefused},
          {"no handler, level 1", pb::MsgCodeFindResponse, response, 1, 2, pb::MsgCodeError, 0, 4, "bad format"},
          {"no handler, level 2", pb::MsgCodeFindResponse, response, 2, 2, pb::MsgCodeError, 0, 4, "bad format"},
          {"no handler, level 0", pb::MsgCodeFindResponse, response, 0, 2, pb::MsgCodeError, 0, 20, kLevelNoneRefused},
          {"clear from the network", pb::MsgCodeDatabaseClearRequest, nullptr, 2, 2, pb::MsgCodeError, 0, 20,
           kClearRefused},
      });
}

TEST_F(RouterTest, LevelZeroIsRefusedBeforeTheBodyIsParsed) {
  auto client = startRouter();
  std::vector<std::string> frames = client->seal(pb::MsgCodeFindRequest, findRequest(), 0);
  ASSERT_EQ(frames.size(), 2u);
  // Parsing this body would fail as "bad format"; the refusal comes first.
  frames[1] = std::string(4096, '\xff');
  const auto error = errorFor(*client, frames);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->errcode(), 20);
  EXPECT_EQ(error->errstr(), kLevelNoneRefused);
}

TEST_F(RouterTest, ReplayedSignedBodilessRequestRelabelledAsDatabaseClearChangesNothing) {
  auto client = startRouter();
  addDevice("0d5e8f0a-9b1c-4e52-8a3d-6f7e8d9c0b1a", "bravo", keysBravo().publicKey);
  const int64_t usn = DataSource::sharedDataSource().getAutoUsn();
  const size_t devices = QoDevice::allObjects().size();

  // A signed ScanRequest as a peer sent it; its signature covers only the empty body.
  std::vector<std::string> frames = client->seal(pb::MsgCodeScanRequest, nullptr, 1);
  pb::MsgHead head;
  ASSERT_TRUE(head.ParseFromString(frames[0]));
  head.set_code(pb::MsgCodeDatabaseClearRequest);
  frames[0] = head.SerializeAsString();

  const auto error = errorFor(*client, frames);
  ASSERT_NE(error, nullptr);
  // The envelope held: it is the handler that refuses.
  EXPECT_EQ(error->errstr(), kClearRefused);
  EXPECT_EQ(QoDevice::allObjects().size(), devices);
  EXPECT_EQ(DataSource::sharedDataSource().getCurrentUsn(), usn);
}

TEST_F(RouterTest, RequestWithoutReplyLeavesTheWorkerServing) {
  auto client = startRouter(1);
  // The exit notice of the device that signs it.
  QoDevice::Ptr bravo = client->device();
  Waiter offline;
  auto token = QoNotices::observe<notice::DeviceOffLine>([&](const notice::DeviceOffLine& notice) {
    for (const auto& device : notice.devices) offline.notify(device->uuid());
  });

  auto exit = std::make_shared<pb::MsgPubExit>();
  exit->set_publisher(bravo->uuid());
  client->post(client->seal(pb::MsgCodePubExit, exit, 1));
  ASSERT_TRUE(offline.waitFor(1));
  NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(offline.log(), std::vector<std::string>{bravo->uuid()});
  EXPECT_FALSE(QoDevice::getDeviceWithUuid(bravo->uuid())->isOnline());

  // The one worker gave no reply and is free again.
  expectServes(*client);
}

TEST_F(RouterTest, MessagesBeyondTheInputBoundsAreDroppedAndTheRouterServesOn) {
  auto client = startRouter(1);
  const std::vector<std::string> request = client->seal(pb::MsgCodeScanRequest, nullptr, 1);
  // Too many frames, then too many bytes over frames each within the per-frame bound.
  std::vector<std::string> manyFrames = request;
  manyFrames.resize(ZMQSocket::kMaxMessageFrames + 4, "x");
  const size_t half = static_cast<size_t>(ZMQSocket::kMaxNetworkMessageSize / 2) + 1;
  std::vector<std::string> manyBytes = request;
  manyBytes.push_back(std::string(half, 'a'));
  manyBytes.push_back(std::string(half, 'b'));
  for (const auto* frames : {&manyFrames, &manyBytes}) {
    client->post(*frames);
    // A request after each: it is answered only if the broker survived the one before.
    SCOPED_TRACE(testing::Message() << frames->size() << " frames");
    expectServes(*client);
  }
}

// Any host may send malformed requests as fast as it likes: each is answered, few are logged.
TEST_F(RouterTest, MalformedRequestsAreAnsweredWithBoundedLogLines) {
  auto client = startRouter();
  testing::internal::CaptureStderr();
  for (int i = 0; i < 40; ++i) EXPECT_NE(errorFor(*client, {std::string()}), nullptr) << i;
  const std::string log = testing::internal::GetCapturedStderr();
  size_t lines = 0;
  for (size_t at = log.find("*** unparsed"); at != std::string::npos; at = log.find("*** unparsed", at + 1)) ++lines;
  EXPECT_LE(lines, 10u);
}

// The guards' trusted hosts follow the device records as they are written: a trusted device
// that moved keeps every address it was recorded at, and one no longer trusted keeps none.
TEST_F(RouterTest, TrustedHostsAreEveryAddressOfATrustedDeviceAsSoonAsWritten) {
  auto hosts = TrustedHosts::create();
  QoDevice::Ptr bravo = addDevice("0d5e8f0a-9b1c-4e52-8a3d-6f7e8d9c0b1a", "bravo", keysBravo().publicKey);
  struct Step {
    const char* routeUri;
    int32_t status;
    std::vector<std::string> trusted, not_trusted;
  };
  const std::vector<Step> steps = {
      {"tcp://10.0.0.5:9527", 1, {"10.0.0.5", "127.0.0.1"}, {"10.0.0.6"}},
      {"tcp://10.0.0.6:9527", 1, {"10.0.0.5", "10.0.0.6"}, {}},
      {"tcp://[fd00::7]:9527", 1, {"10.0.0.5", "10.0.0.6", "fd00::7"}, {}},
      {"tcp://10.0.0.6:9527", 0, {"127.0.0.1"}, {"10.0.0.5", "10.0.0.6", "fd00::7"}},
  };
  for (const Step& step : steps) {
    bravo->setRouteUri(step.routeUri);
    bravo->setStatus(step.status);
    bravo->save();
    for (const std::string& host : step.trusted) EXPECT_TRUE(hosts->contains(host)) << step.routeUri << " " << host;
    for (const std::string& host : step.not_trusted)
      EXPECT_FALSE(hosts->contains(host)) << step.routeUri << " " << host;
  }
}

TEST_F(RouterTest, PortInUseIsLoggedAndRaisedWithNothingLeftRunning) {
  auto holderContext = std::make_shared<ZMQContext>(1);
  auto holder = holderContext->socketWithType(ZMQ_ROUTER);
  holder->bindToEndpoint("tcp://*:0");
  const std::string port = portOf(holder->dataForOption(ZMQ_LAST_ENDPOINT).value().c_str());
  QoConfig::sharedQoConfig().setPortRouter(std::stoi(port));

  testing::internal::CaptureStderr();
  int error = 0;
  try {
    router_.start();
  } catch (const ZMQException& e) {
    error = e.getErrorCode();
  }
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(error, EADDRINUSE);
  EXPECT_THAT(log, testing::HasSubstr("Router run failed, ZMQException: Address already in use"));
  expectStopped();

  // Once the port is free the same router starts on it and serves.
  holderContext->terminate();
  router_.start();
  EXPECT_EQ(portOf(router_.frontendEndpoint()), port);
  RouterTestClient client(router_.frontendEndpoint(), keysAlpha());
  expectServes(client);
}

TEST_F(RouterTest, StopEndsEverythingAndFreesTheConfiguredPort) {
  auto client = startRouter();
  ASSERT_NE(client->request(pb::MsgCodeScanRequest, nullptr, 1), nullptr);
  const std::string port = portOf(router_.frontendEndpoint());
  client.reset();

  router_.stop();
  expectStopped();
  router_.stop();

  // Binding the very port again works only if the first run closed its socket.
  QoConfig::sharedQoConfig().setPortRouter(std::stoi(port));
  client = startRouter();
  EXPECT_EQ(portOf(router_.frontendEndpoint()), port);
  expectServes(*client, 2, 2);
}

}  // namespace
}  // namespace velbor::test
