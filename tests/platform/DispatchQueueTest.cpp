#include "platform/Dispatch.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Waiter.h"

namespace velbor {
namespace {

using namespace std::chrono_literals;
using test::Waiter;

TEST(DispatchQueueTest, SerialQueueRunsJobsOneAtATimeInOrder) {
  auto queue = DispatchQueue::createSerial("fifo");
  EXPECT_TRUE(queue->isSerial());
  EXPECT_EQ(queue->label(), "fifo");
  constexpr int kThreads = 8;
  constexpr int kJobs = 200;
  std::map<int, std::vector<int>> seen;  // touched only on the queue
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kJobs; ++i) {
        queue->async([&, t, i] {
          if (running.fetch_add(1) != 0) overlapped = true;
          seen[t].push_back(i);
          running.fetch_sub(1);
        });
      }
    });
  }
  for (auto& producer : producers) producer.join();
  size_t total = 0;
  bool ordered = true;
  queue->sync([&] {
    for (auto& [t, jobs] : seen) {
      total += jobs.size();
      for (size_t i = 0; i < jobs.size(); ++i) ordered = ordered && jobs[i] == static_cast<int>(i);
    }
  });
  EXPECT_EQ(total, static_cast<size_t>(kThreads * kJobs));
  EXPECT_TRUE(ordered);
  EXPECT_FALSE(overlapped);
}

TEST(DispatchQueueTest, SyncWaitsFromOutsideAndRunsInlineInside) {
  auto queue = DispatchQueue::createSerial("sync");
  auto other = DispatchQueue::createSerial("other");
  EXPECT_FALSE(queue->isCurrent());
  EXPECT_EQ(DispatchQueue::current(), nullptr);

  int counter = 0;  // touched only on the queue
  for (int i = 0; i < 100; ++i) queue->async([&] { ++counter; });
  int seen = -1;
  queue->sync([&] { seen = counter; });
  EXPECT_EQ(seen, 100);  // earlier jobs first, and sync waited for its own

  Waiter done;
  queue->async([&] {
    bool inlineRan = false;
    EXPECT_TRUE(queue->isCurrent());
    EXPECT_EQ(DispatchQueue::current(), queue);
    queue->sync([&] { inlineRan = true; });
    EXPECT_TRUE(inlineRan);
    // Through another queue and back: still no deadlock, and current() follows along.
    other->sync([&] {
      EXPECT_TRUE(other->isCurrent());
      EXPECT_FALSE(queue->isCurrent());
    });
    DispatchQueue::globalQueue()->sync([&] { queue->sync([&] { inlineRan = false; }); });
    EXPECT_FALSE(inlineRan);
    EXPECT_EQ(DispatchQueue::current(), queue);
    done.notify();
  });
  ASSERT_TRUE(done.waitFor(1));

  // An exception stays inside the job; the queue carries on.
  EXPECT_NO_THROW(queue->sync([] { throw std::runtime_error("job failed"); }));
  queue->async([] { throw 42; });
  bool after = false;
  queue->sync([&] { after = true; });
  EXPECT_TRUE(after);
}

TEST(DispatchQueueTest, AfterRunsOnTheQueueInDeadlineOrder) {
  auto queue = DispatchQueue::createSerial("after");
  Waiter fired;
  queue->after(200ms, [&] { fired.notify(queue->isCurrent() ? "late" : "late-wrong-queue"); });
  queue->after(10ms, [&] { fired.notify(queue->isCurrent() ? "early" : "early-wrong-queue"); });
  queue->after(-5ms, [&] { fired.notify("now"); });
  ASSERT_TRUE(fired.waitFor(3));
  EXPECT_EQ(fired.log(), (std::vector<std::string>{"now", "early", "late"}));

  // A pending delayed job keeps its queue alive.
  Waiter kept;
  auto transient = DispatchQueue::createSerial("transient");
  transient->after(20ms, [&] { kept.notify(); });
  transient.reset();
  EXPECT_TRUE(kept.waitFor(1));

  Waiter global;
  DispatchQueue::globalQueue()->after(5ms, [&] { global.notify(); });
  EXPECT_TRUE(global.waitFor(1));
}

TEST(DispatchQueueTest, GlobalQueueGrowsWhileEveryWorkerIsBlocked) {
  auto global = DispatchQueue::globalQueue();
  EXPECT_FALSE(global->isSerial());
  EXPECT_EQ(global, DispatchQueue::globalQueue());
  constexpr int kJobs = 16;
  std::mutex mutex;
  std::condition_variable cv;
  int arrived = 0;
  Waiter released;
  for (int i = 0; i < kJobs; ++i) {
    global->async([&] {
      std::unique_lock lock(mutex);
      ++arrived;
      cv.notify_all();
      // Only when every job runs at the same time do they all get past this.
      if (cv.wait_for(lock, 20s, [&] { return arrived == kJobs; })) {
        lock.unlock();
        released.notify(global->isCurrent() ? "" : "not-current");
      }
    });
  }
  ASSERT_TRUE(released.waitFor(kJobs));
  EXPECT_TRUE(released.log().empty());

  // sync on the global queue runs on the caller's thread and reports the global queue.
  std::thread::id ranOn;
  global->sync([&] {
    ranOn = std::this_thread::get_id();
    EXPECT_TRUE(global->isCurrent());
  });
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_FALSE(global->isCurrent());
}

TEST(DispatchQueueTest, DestroyingAQueueRunsWhatIsQueued) {
  std::atomic<int> ran{0};
  auto queue = DispatchQueue::createSerial("drain");
  for (int i = 0; i < 100; ++i) {
    queue->async([&] {
      std::this_thread::yield();
      ++ran;
    });
  }
  queue.reset();  // joins after the queued jobs
  EXPECT_EQ(ran.load(), 100);

  // The last reference goes away inside the queue's own job: the jobs behind it still run.
  auto self = DispatchQueue::createSerial("self-release");
  auto holder = std::make_shared<std::shared_ptr<DispatchQueue>>(self);
  Waiter gate;
  Waiter done;
  self->async([holder, &gate] {
    gate.waitFor(1);
    holder->reset();
  });
  self->async([&done] { done.notify(DispatchQueue::current() == nullptr ? "orphan" : "still-current"); });
  self.reset();
  gate.notify();
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(done.log(), (std::vector<std::string>{"orphan"}));
}

}  // namespace
}  // namespace velbor
