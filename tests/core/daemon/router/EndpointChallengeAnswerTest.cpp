#include <string>
#include <vector>

#include "HandlerTestBase.h"
#include "core/daemon/router/EndpointChallengeAnswer.h"
#include "core/utils/QoUtils.h"

namespace velbor::test {
namespace {

TEST(EndpointChallengeAnswerTest, OwnEndpointsAreAnInterfaceAddressAtTheRouterPort) {
  const std::vector<std::string> addresses = {"127.0.0.1", "10.1.2.3"};
  EXPECT_TRUE(EndpointChallengeAnswer::isOwnEndpoint("tcp://10.1.2.3:9527", addresses, 9527));
  // Every host has loopback: a process on the challenger's host could pass a challenge for it on.
  EXPECT_FALSE(EndpointChallengeAnswer::isOwnEndpoint("tcp://127.0.0.1:9527", addresses, 9527));
  EXPECT_FALSE(EndpointChallengeAnswer::isOwnEndpoint("tcp://127.9.9.9:9527", {"127.9.9.9"}, 9527));
  for (const std::string endpoint :
       {"tcp://10.1.2.4:9527", "tcp://10.1.2.3:9528", "tcp://10.1.2.3:09527", "tcp://010.1.2.3:9527",
        "tcp://10.1.2.3:", "tcp://10.1.2.3", "tcp://:9527", "udp://10.1.2.3:9527", "tcp://10.1.2.3:9527/",
        "tcp://10.1.2.3:+9527", "tcp://10.1.2.3:4294976823", "tcp://10.1.2.3:9527 ", "tcp://10.1.2.3.:9527", ""}) {
    EXPECT_FALSE(EndpointChallengeAnswer::isOwnEndpoint(endpoint, addresses, 9527)) << endpoint;
  }
  EXPECT_FALSE(EndpointChallengeAnswer::isOwnEndpoint("tcp://10.1.2.3:9527", {}, 9527));
}

TEST(EndpointChallengeAnswerTest, TheAnswerDependsOnTheNumbersAndTheEndpoint) {
  pb::MsgGetRequest request;
  request.set_transfer(17);
  request.set_tree_uuid(QoUtils::generateUuid());
  request.set_path("/");
  request.mutable_part()->set_offset(-5);
  request.mutable_part()->set_length(99);
  EndpointChallengeAnswer::nameEndpoint(request, "tcp://10.1.2.3:9527", "tcp://10.1.2.3:9526");
  EXPECT_EQ(EndpointChallengeAnswer::endpointNamedBy(request), "tcp://10.1.2.3:9527");
  EXPECT_EQ(EndpointChallengeAnswer::publisherNamedBy(request), "tcp://10.1.2.3:9526");

  const auto key = [](const pb::MsgGetError& answer) { return answer.SerializeAsString(); };
  const std::string here = key(EndpointChallengeAnswer::answerFor(request, "tcp://10.1.2.3:9527"));
  EXPECT_EQ(here, key(EndpointChallengeAnswer::answerFor(request, "tcp://10.1.2.3:9527")));
  EXPECT_NE(here, key(EndpointChallengeAnswer::answerFor(request, "tcp://10.1.2.4:9527")));
  pb::MsgGetRequest other = request;
  other.mutable_part()->set_length(100);
  EXPECT_NE(here, key(EndpointChallengeAnswer::answerFor(other, "tcp://10.1.2.3:9527")));
  pb::MsgGetRequest otherPublisher = request;
  otherPublisher.set_uuids(1, "tcp://10.1.2.3:9525");
  EXPECT_NE(here, key(EndpointChallengeAnswer::answerFor(otherPublisher, "tcp://10.1.2.3:9527")));

  // A pull names copies, never an endpoint.
  pb::MsgGetRequest pull = request;
  pull.clear_uuids();
  pull.add_uuids(QoUtils::generateUuid());
  pull.add_vclock(1);
  EXPECT_FALSE(EndpointChallengeAnswer::endpointNamedBy(pull));
}

using EndpointChallengeRequestTest = HandlerTestBase;

// A device proves only endpoints of its own: a challenge a relay passes on names the relay's.
TEST_F(EndpointChallengeRequestTest, ADeviceAnswersOnlyForItsOwnEndpoints) {
  std::string address;
  for (const auto& own : EndpointChallengeAnswer::addressesOfThisHost()) {
    if (!EndpointChallengeAnswer::isLoopback(own)) address = own;
  }
  if (address.empty()) GTEST_SKIP() << "this host has no address but loopback";
  QoConfig::sharedQoConfig().setPortRouter(29001);
  QoConfig::sharedQoConfig().setPortPublisher(29000);
  const std::string route = "tcp://" + address + ":29001";
  const std::string publisher = "tcp://" + address + ":29000";
  auto challenge = [](const std::string& endpoint, const std::string& pub) {
    pb::MsgGetRequest request;
    request.set_transfer(12345);
    request.set_tree_uuid(QoUtils::generateUuid());
    request.set_path("/");
    request.mutable_part()->set_offset(678);
    request.mutable_part()->set_length(910);
    EndpointChallengeAnswer::nameEndpoint(request, endpoint, pub);
    return request;
  };

  const pb::MsgGetRequest own = challenge(route, publisher);
  const Answer proved = call(&QoWorker::handleGetRequest, body(own));
  ASSERT_EQ(proved.code(), pb::MsgCodeGetError) << proved.errstr;
  const auto error = proved.body<pb::MsgGetError>();
  ASSERT_TRUE(error);
  const pb::MsgGetError expected = EndpointChallengeAnswer::answerFor(own, route);
  EXPECT_EQ(error->transfer(), expected.transfer());
  EXPECT_EQ(error->part().offset(), expected.part().offset());
  EXPECT_EQ(error->part().length(), expected.part().length());
  EXPECT_NE(error->transfer(), own.transfer()) << "numbers echoed";

  // TEST-NET-1 is no interface of this host; loopback is every host's; the router and the
  // publisher listen at one port each.
  for (const auto& [endpoint, pub] :
       std::vector<std::pair<std::string, std::string>>{{"tcp://192.0.2.77:29001", "tcp://192.0.2.77:29000"},
                                                        {"tcp://127.0.0.1:29001", "tcp://127.0.0.1:29000"},
                                                        {"tcp://" + address + ":29002", publisher},
                                                        {route, "tcp://" + address + ":29003"},
                                                        {route, "tcp://127.0.0.1:29000"}}) {
    const Answer refused = call(&QoWorker::handleGetRequest, body(challenge(endpoint, pub)));
    EXPECT_EQ(refused.errcode, pb::ErrorCodePermissionDeny) << endpoint << " " << pub;
    EXPECT_NE(refused.errstr.find(endpoint), std::string::npos) << refused.errstr;
  }

  // A challenge that names no endpoint, as a device made before asks it, is refused as any
  // such request is: with its numbers.
  pb::MsgGetRequest plain = own;
  plain.clear_uuids();
  const Answer echoed = call(&QoWorker::handleGetRequest, body(plain));
  const auto echo = echoed.body<pb::MsgGetError>();
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->transfer(), plain.transfer());
  EXPECT_EQ(echo->part().SerializeAsString(), plain.part().SerializeAsString());
}

}  // namespace
}  // namespace velbor::test
