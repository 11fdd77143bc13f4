#include "platform/OrderedWorkPool.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "Waiter.h"

namespace velbor::test {
namespace {

// Opened once; jobs that wait on it block until then (bounded, so a broken pool fails the
// test rather than hanging it).
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void pass() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(20), [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Whether the pool's ready descriptor is readable within `timeoutMs`.
bool readyWithin(const OrderedWorkPool<int>& pool, int timeoutMs) {
  pollfd item{pool.readyFd(), POLLIN, 0};
  return ::poll(&item, 1, timeoutMs) == 1;
}

// The next result in order, waiting for the ready descriptor as the pool's owner does:
// a raise announces every result finished before it, so all of them are looked for.
std::optional<int> nextResult(OrderedWorkPool<int>& pool) {
  for (int rounds = 0; rounds < 1000; ++rounds) {
    if (auto result = pool.takeNext()) return result;
    if (!readyWithin(pool, 20000)) return std::nullopt;
    pool.clearReady();
  }
  return std::nullopt;
}

TEST(OrderedWorkPoolTest, ResultsComeInSubmissionOrderWhateverOrderJobsFinishIn) {
  OrderedWorkPool<int> pool(4);
  Gate first;
  Waiter finished;
  pool.submit([&] {
    first.pass();
    return 0;
  });
  for (int value = 1; value < 8; ++value) {
    pool.submit([&finished, value] {
      finished.notify();
      return value;
    });
  }
  // Every later job is done while the first still runs: none of them may come out yet.
  ASSERT_TRUE(finished.waitFor(7));
  pool.clearReady();
  EXPECT_FALSE(pool.takeNext().has_value());
  EXPECT_EQ(pool.pending(), 8u);

  first.open();
  std::vector<int> order;
  while (auto value = nextResult(pool)) {
    order.push_back(*value);
    if (order.size() == 8) break;
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(pool.pending(), 0u);
  // Nothing left: a clear leaves the descriptor quiet.
  pool.clearReady();
  EXPECT_FALSE(readyWithin(pool, 0));
}

TEST(OrderedWorkPoolTest, ASlowJobHoldsBackOnlyItsOwnLaneAndLowLanesStartFirst) {
  OrderedWorkPool<int> pool(1, 3);
  Gate slow;
  std::vector<int> started;
  std::mutex startedMutex;
  auto job = [&](int value) {
    return [&, value] {
      std::lock_guard lock(startedMutex);
      started.push_back(value);
      return value;
    };
  };
  // The one thread is held by a job of lane 2 while the others are queued, highest lane first.
  pool.submit(
      [&] {
        slow.pass();
        return 20;
      },
      2);
  pool.submit(job(21), 2);
  pool.submit(job(10), 1);
  pool.submit(job(0), 0);
  pool.submit(job(11), 1);
  slow.open();

  std::vector<int> order;
  while (auto value = nextResult(pool)) {
    order.push_back(*value);
    if (order.size() == 5) break;
  }
  // Each lane in its own order; the queued jobs were started lane 0 first.
  std::vector<int> lanes[3];
  for (const int value : order) lanes[value / 10].push_back(value);
  EXPECT_EQ(lanes[0], (std::vector<int>{0}));
  EXPECT_EQ(lanes[1], (std::vector<int>{10, 11}));
  EXPECT_EQ(lanes[2], (std::vector<int>{20, 21}));
  EXPECT_EQ(started, (std::vector<int>{0, 10, 11, 21}));

  // A job that does not finish holds back its lane's later results, never another lane's.
  OrderedWorkPool<int> two(2, 2);
  Gate stuck;
  two.submit(
      [&] {
        stuck.pass();
        return 1;
      },
      1);
  two.submit([] { return 2; }, 1);
  two.submit([] { return 3; }, 0);
  EXPECT_EQ(nextResult(two), std::optional<int>(3));
  EXPECT_EQ(two.pending(), 2u);
  two.clearReady();
  EXPECT_FALSE(two.takeNext().has_value());
  stuck.open();
  EXPECT_EQ(nextResult(two), std::optional<int>(1));
  EXPECT_EQ(nextResult(two), std::optional<int>(2));
}

TEST(OrderedWorkPoolTest, AJobThatRaisesRaisesInItsPlaceAndTheOthersStillCome) {
  OrderedWorkPool<int> pool(2);
  pool.submit([] { return 1; });
  pool.submit([]() -> int { throw std::runtime_error("seal failed"); });
  pool.submit([] { return 3; });
  EXPECT_EQ(nextResult(pool), 1);
  try {
    nextResult(pool);
    FAIL() << "the job's exception did not come out";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "seal failed");
  }
  EXPECT_EQ(nextResult(pool), 3);
}

TEST(OrderedWorkPoolTest, DiscardedJobsNeverRunOrComeOutAndReleaseWhatTheyHold) {
  OrderedWorkPool<int> pool(1);
  Gate running;
  Waiter started;
  std::atomic<int> ran{0};
  auto held = std::make_shared<int>(7);
  pool.submit([&] {
    started.notify();
    running.pass();
    ++ran;
    return 1;
  });
  // Queued behind the running job on the only thread.
  pool.submit([&ran, held] {
    ++ran;
    return 2;
  });
  held.reset();
  ASSERT_TRUE(started.waitFor(1));
  pool.discardPending();
  EXPECT_EQ(pool.pending(), 0u);
  running.open();

  // The running job finished unseen; the queued one never ran; later work comes out alone.
  pool.submit([] { return 3; });
  EXPECT_EQ(nextResult(pool), 3);
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(pool.pending(), 0u);
}

TEST(OrderedWorkPoolTest, DestroyedWithJobsRunningAndQueuedItStopsAndFreesThemAll) {
  auto held = std::make_shared<int>(0);
  std::atomic<int> ran{0};
  Waiter started;
  {
    OrderedWorkPool<int> pool(2);
    for (int job = 0; job < 50; ++job) {
      pool.submit([&ran, &started, held] {
        started.notify();
        // Busy for a moment, without a sleep that would make the test slow.
        std::atomic<int> spin{0};
        while (spin.fetch_add(1, std::memory_order_relaxed) < 100000) {
        }
        return ++ran;
      });
    }
    ASSERT_TRUE(started.waitFor(1));
  }
  // Only the test holds the captured object now, whichever jobs ran.
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_GE(ran.load(), 1);
  EXPECT_LE(ran.load(), 50);
}

// A machine out of threads (many pulls at once, a low process limit) may refuse some of the
// pool's threads: the pool then raises, with the threads it did start ended, rather than
// taking the process down.
TEST(OrderedWorkPoolTest, ThreadsRefusedPartWayRaiseWithTheStartedOnesEnded) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the child as a user of its own";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A user no one else runs as: the child and its first two threads are all it may have.
    constexpr uid_t kLoneUser = 54321;
    const rlimit limit{3, 3};
    if (::setresgid(kLoneUser, kLoneUser, kLoneUser) != 0 || ::setresuid(kLoneUser, kLoneUser, kLoneUser) != 0 ||
        ::setrlimit(RLIMIT_NPROC, &limit) != 0) {
      ::_exit(2);
    }
    try {
      OrderedWorkPool<int> pool(8);
    } catch (const std::system_error&) {
      ::_exit(0);
    }
    ::_exit(3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace velbor::test
