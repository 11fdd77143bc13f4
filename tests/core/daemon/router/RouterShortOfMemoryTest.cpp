// The router's broker and workers run out of memory in the middle of a request: that request
// is lost, and the router serves on.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AllocationFailure.h"
#include "RouterTestBase.h"
#include "proto/VelborProto.pb.h"
#include "support/Eventually.h"

namespace velbor::test {
namespace {

constexpr size_t kLargeBlock = 100 * 1024;

class RouterShortOfMemoryTest : public RouterTestBase {
 protected:
  void TearDown() override {
    AllocationFailure::disarm();
    RouterTestBase::TearDown();
  }

  // A part request for a path long enough that receiving it takes one large block.
  static std::shared_ptr<pb::MsgGetRequest> largeRequest() {
    auto request = std::make_shared<pb::MsgGetRequest>();
    request->set_transfer(1);
    request->set_tree_uuid("tree");
    request->set_path("/" + std::string(2 * kLargeBlock, 'p'));
    request->mutable_part()->set_offset(0);
    request->mutable_part()->set_length(1);
    return request;
  }
};

TEST_F(RouterShortOfMemoryTest, ARequestThatFindsNoMemoryIsLostAndTheBrokerAndItsWorkerServeOn) {
  // One worker: a worker that ended would leave nobody to serve.
  auto client = startRouter(1);
  expectServes(*client);
  const std::vector<std::string> large = client->seal(pb::MsgCodeGetRequest, largeRequest(), 1);

  for (const char* thread : {"VelborRouter", "VelborWorker"}) {
    const int before = AllocationFailure::refusals();
    AllocationFailure::failOnceOnThreadNamed(thread, kLargeBlock);
    client->post(large);
    ASSERT_TRUE(eventually([&] { return AllocationFailure::refusals() > before; })) << thread;

    expectServes(*client);
    // The same request, with memory to take it, is answered.
    auto reply = client->exchange(large);
    ASSERT_TRUE(reply.has_value()) << thread;
    EXPECT_EQ(client->open(*reply)->code(), pb::MsgCodeGetError) << thread;
  }
}

}  // namespace
}  // namespace velbor::test
