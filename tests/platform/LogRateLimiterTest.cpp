#include "platform/LogRateLimiter.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace velbor {
namespace {

using namespace std::chrono_literals;

// A limiter on a clock the test moves by hand, writing into a list.
struct LimiterFixture {
  std::chrono::steady_clock::time_point now{};
  std::vector<std::string> lines;
  LogRateLimiter limiter{"Open failures", 3, 60s, [this] { return now; },
                         [this](std::string_view line) { lines.emplace_back(line); }};
};

TEST(LogRateLimiterTest, WritesTheBudgetThenOneSummaryPerInterval) {
  LimiterFixture f;
  for (int i = 0; i < 10; ++i) f.limiter.log("line {}", i);
  EXPECT_EQ(f.lines, (std::vector<std::string>{"line 0", "line 1", "line 2"}));

  // Still inside the interval: nothing more, not even the summary.
  f.now += 59s;
  f.limiter.log("line {}", 10);
  EXPECT_EQ(f.lines.size(), 3u);

  // The next interval opens with the count of what the last one dropped.
  f.now += 1s;
  f.limiter.log("line {}", 11);
  ASSERT_EQ(f.lines.size(), 5u);
  EXPECT_EQ(f.lines[3], "Open failures: 8 more line(s) dropped, at most 3 are logged per 60 s");
  EXPECT_EQ(f.lines[4], "line 11");

  // An interval that dropped nothing adds no summary; a quiet gap starts afresh.
  f.now += 10min;
  for (int i = 0; i < 3; ++i) f.limiter.log("calm {}", i);
  EXPECT_EQ(f.lines.size(), 8u);
  EXPECT_EQ(f.lines.back(), "calm 2");
}

TEST(LogRateLimiterTest, FlushWritesTheCountOnce) {
  LimiterFixture f;
  f.limiter.flush();
  EXPECT_TRUE(f.lines.empty());
  for (int i = 0; i < 5; ++i) f.limiter.log("line {}", i);
  f.limiter.flush();
  f.limiter.flush();
  ASSERT_EQ(f.lines.size(), 4u);
  EXPECT_EQ(f.lines.back(), "Open failures: 2 more line(s) dropped, at most 3 are logged per 60 s");
  // The budget of the interval stays spent.
  f.limiter.log("line {}", 5);
  EXPECT_EQ(f.lines.size(), 4u);
}

TEST(LogRateLimiterTest, ThreadsShareOneBudget) {
  LimiterFixture f;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) f.limiter.log("busy");
    });
  }
  for (auto& thread : threads) thread.join();
  f.limiter.flush();
  ASSERT_EQ(f.lines.size(), 4u);
  EXPECT_EQ(f.lines.back(), "Open failures: 397 more line(s) dropped, at most 3 are logged per 60 s");
}

}  // namespace
}  // namespace velbor
