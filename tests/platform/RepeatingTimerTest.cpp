#include "platform/RepeatingTimer.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Waiter.h"

namespace velbor::test {
namespace {

using namespace std::chrono_literals;

TEST(RepeatingTimerTest, RunsUntilStoppedAndNeverAfterStopReturns) {
  Waiter runs;
  std::atomic<bool> inside{false};
  std::atomic<bool> overlapped{false};
  RepeatingTimer timer("timer.test", 5ms, [&] {
    if (inside.exchange(true)) overlapped = true;
    std::this_thread::sleep_for(2ms);
    inside = false;
    runs.notify();
  });
  timer.start();
  ASSERT_TRUE(runs.waitFor(3));
  timer.stop();
  EXPECT_FALSE(inside);
  const int stoppedAt = runs.count();
  timer.sync([] {});  // a run already handed over would have come before this
  EXPECT_EQ(runs.count(), stoppedAt);
  EXPECT_FALSE(overlapped);
  timer.start();  // a stopped timer stays stopped
  timer.sync([] {});
  EXPECT_EQ(runs.count(), stoppedAt);
}

TEST(RepeatingTimerTest, TheHandlerMayStopItsOwnTimer) {
  Waiter runs;
  RepeatingTimer* self = nullptr;
  RepeatingTimer timer("timer.self", 1ms, [&] {
    self->stop();
    runs.notify();
  });
  self = &timer;
  timer.start();
  ASSERT_TRUE(runs.waitFor(1));
  timer.sync([] {});
  EXPECT_EQ(runs.count(), 1);
}

}  // namespace
}  // namespace velbor::test
