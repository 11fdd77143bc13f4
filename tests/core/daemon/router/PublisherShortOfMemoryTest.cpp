// The publisher's broker runs out of memory in the middle of a notice: that notice is lost,
// and the broker goes on handing the next ones to its workers.
#include <string>

#include <gtest/gtest.h>

#include "AllocationFailure.h"
#include "core/daemon/publisher/PublisherTestBase.h"
#include "core/state/QoNotices.h"
#include "support/Eventually.h"

namespace velbor::test {
namespace {

constexpr size_t kLargeBlock = 32 * 1024;

class PublisherShortOfMemoryTest : public PublisherTestBase {
 protected:
  void TearDown() override {
    AllocationFailure::disarm();
    PublisherTestBase::TearDown();
  }
};

TEST_F(PublisherShortOfMemoryTest, ANoticeThatFindsNoMemoryIsLostAndTheBrokerGoesOn) {
  QoHandlerTable::ScopedOverride exits("PubExit", &recordExit);
  auto [peer, endpoint] = peerPublisher();
  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{{deviceAt(endpoint)}});
  ASSERT_TRUE(deliver(*peer, "before"));

  // A notice with a large body, within what a notice may be: receiving it takes one large
  // block.
  const std::string large(kLargeBlock + kLargeBlock / 4, 'p');
  const int before = AllocationFailure::refusals();
  AllocationFailure::failOnceOnThreadNamed("VelborPublish", kLargeBlock);
  ASSERT_TRUE(eventually([&] {
    plainExit(large).sendToSocket(*peer);
    return AllocationFailure::refusals() > before;
  }));
  EXPECT_TRUE(deliver(*peer, "after"));
  EXPECT_TRUE(deliver(*peer, large));
}

}  // namespace
}  // namespace velbor::test
