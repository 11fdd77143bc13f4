#include <QApplication>
#include <QThread>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "ui/MainThread.h"

namespace velbor {
namespace {

// Spins the main loop until `done` holds (bounded).
template <class Done>
void spinUntil(Done done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done() && std::chrono::steady_clock::now() < end) {
    QApplication::processEvents(QEventLoop::AllEvents, 50);
  }
}

TEST(MainThreadTest, WorkFromOtherThreadsRunsOnTheMainThreadAndSyncWaitsForIt) {
  std::atomic<bool> ranOnMain = false;
  std::atomic<bool> asyncRan = false;
  std::atomic<bool> syncReturned = false;
  int value = 0;
  std::thread worker([&] {
    MainThread::async([&] { asyncRan = MainThread::isMainThread(); });
    // A throwing piece of work is logged, not fatal, and the wait still ends.
    MainThread::sync([] { throw std::runtime_error("boom"); });
    MainThread::sync([&] {
      ranOnMain = MainThread::isMainThread();
      value = 42;
    });
    EXPECT_EQ(value, 42);
    syncReturned = true;
  });
  spinUntil([&] { return syncReturned.load(); });
  worker.join();
  EXPECT_TRUE(asyncRan);
  EXPECT_TRUE(ranOnMain);
  EXPECT_TRUE(MainThread::isMainThread());
}

TEST(MainThreadTest, SyncGivesUpOnceTheMainLoopHasEnded) {
  MainThread::setClosing();
  bool ran = false;
  // Nobody spins the main loop here: without the closing flag this would wait forever.
  std::thread worker([&] { MainThread::sync([&] { ran = true; }); });
  worker.join();
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace velbor
