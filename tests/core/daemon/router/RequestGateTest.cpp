#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/daemon/router/ReplyLedger.h"
#include "core/daemon/router/RequestGate.h"
#include "framework/network/ZMQSendAccount.h"

namespace velbor::test {
namespace {

constexpr size_t kPart = 4096;

ZMQMessage requestOf(const std::string& client) {
  ZMQMessage request;
  request.addFrame(client);
  request.addEmptyFrame();
  request.addFrame("envelope");
  return request;
}

// A fetcher holding replies while it pauses is cut at the short stall limit only when room is
// short for everyone: a connection whose requests wait merely for their turn, while its own
// bound, its host's and the total all have room, is no shortage.
TEST(RequestGateTest, ARequestWaitingForItsTurnPutsNoFetcherInAHurry) {
  RequestGate::Limits limits;
  limits.peerReplyBytes = 4 * kPart;
  limits.hostReplyBytes = 4 * kPart;
  limits.totalReplyBytes = 24 * kPart;
  limits.stallLimit = std::chrono::hours(1);
  limits.stallLimitUnderPressure = std::chrono::milliseconds(300);
  RequestGate gate(limits, ReplyLedger::create());

  // The fetcher holds as much as its bound lets it, and pauses.
  ZMQMessage fetched = requestOf("fetcher");
  ASSERT_TRUE(gate.admit(fetched, -1, "10.0.0.2"));
  auto fetcherAccount = gate.accountFor("fetcher");
  fetcherAccount->handedOver(4 * kPart);

  // Another host's request waits behind its own bound; then its replies leave, and the
  // request waits only for the broker to take it.
  ZMQMessage first = requestOf("other");
  ASSERT_TRUE(gate.admit(first, -1, "10.0.0.3"));
  auto otherAccount = gate.accountFor("other");
  otherAccount->handedOver(4 * kPart);
  ZMQMessage second = requestOf("other");
  ASSERT_FALSE(gate.admit(second, -1, "10.0.0.3"));
  otherAccount->released(4 * kPart);
  ASSERT_EQ(gate.stats().waitingRequests, 1u);

  const auto start = RequestGate::Clock::now();
  gate.sweep(start);
  gate.sweep(start + std::chrono::seconds(2));

  // Not cut: its next request waits for room instead of being dropped.
  ZMQMessage more = requestOf("fetcher");
  EXPECT_FALSE(gate.admit(more, -1, "10.0.0.2"));
  EXPECT_EQ(gate.stats().droppedRequests, 0u);
  EXPECT_EQ(gate.stats().waitingRequests, 2u);
  fetcherAccount->released(4 * kPart);
}

}  // namespace
}  // namespace velbor::test
