#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "UdpTestSupport.h"

namespace velbor {
namespace {

using test::Kind, test::UdpTestDelegate;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "send time-out scenario: %s\n", what);
  std::exit(1);
}

size_t outcomes(const std::vector<UdpTestDelegate::Event>& events) {
  size_t count = 0;
  for (const auto& event : events) count += event.kind == Kind::sent || event.kind == Kind::notSent;
  return count;
}

// Runs in a child process with a network namespace of its own, whose loopback sends at a
// crawl: datagrams pile up in the interface queue until the sender's buffer is full and
// the descriptor stops taking more.
void sendTimeoutScenario() {
  if (::unshare(CLONE_NEWNET) != 0) fail(std::strerror(errno));
  if (std::system("ip link set lo up && tc qdisc add dev lo root tbf rate 1kbit burst 100kb limit 50mb") != 0) {
    fail("cannot slow down the loopback interface");
  }
  {
    test::UdpFixture fixture;
    auto receiver = fixture.makeReceiver();
    auto destination = test::ipv4Address("127.0.0.1", receiver->localPort());
    auto sender = fixture.makeSocket();
    std::string payload(60000, 'p');

    int64_t tag = 0;
    while (true) {
      if (++tag > 200) fail("the descriptor never filled up");
      sender->sendDataToAddress(payload, destination, 0.5, tag);
      if (!fixture.delegate->waitUntil([&](const auto& events) { return outcomes(events) >= size_t(tag); })) {
        fail("a datagram with a time-out got no outcome");
      }
      auto failures = fixture.delegate->eventsOf(Kind::notSent);
      if (failures.empty()) continue;
      const auto& error = *failures.front().error;
      if (failures.front().tag != tag || error.domain() != DispatchUdpSocketErrorDomain ||
          error.code() != DispatchUdpSocketSendTimeoutError ||
          error.localizedDescription() != "Send operation timed out") {
        fail(error.description().c_str());
      }
      break;
    }

    // Without a time-out the datagram waits for room, however long that takes.
    sender->sendDataToAddress(payload, destination, -1, 1000);
    fixture.flush(sender);
    if (outcomes(fixture.delegate->events()) != size_t(tag)) fail("a datagram without a time-out was given up");
    if (std::system("tc qdisc del dev lo root") != 0) fail("cannot restore the loopback interface");
    if (!fixture.delegate->waitUntil([](const auto& events) {
          return !events.empty() && events.back().kind == Kind::sent && events.back().tag == 1000;
        })) {
      fail("the waiting datagram did not go out once there was room");
    }
    if (!fixture.delegate->eventsOf(Kind::closed).empty()) fail("the socket closed");
  }
  std::exit(0);
}

TEST(DispatchUdpSocketTimeoutDeathTest, SendTimeOutBoundsTheWaitForTheDescriptor) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  // Some hosts lack the rate-limiting queue discipline; the scenario cannot run there.
  if (std::system("unshare -n sh -c 'ip link set lo up && tc qdisc add dev lo root tbf rate 1kbit burst 100kb "
                  "limit 50mb' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no network namespace with a rate-limited loopback here";
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(sendTimeoutScenario(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace velbor
