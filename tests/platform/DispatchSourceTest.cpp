#include "platform/Dispatch.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Exception.h"
#include "platform/Waiter.h"

namespace velbor {
namespace {

using namespace std::chrono_literals;
using test::Waiter;

// Sources report asynchronously; "nothing arrived" can only be checked by giving the
// reactor a moment. A slow machine can only make such a check pass, never fail.
void settle() { std::this_thread::sleep_for(50ms); }

class SocketPair {
 public:
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0); }
  ~SocketPair() {
    closeOurs();
    if (fds_[1] >= 0) ::close(fds_[1]);
  }
  int ours() const { return fds_[0]; }
  int peer() const { return fds_[1]; }
  void send(const std::string& bytes) {
    ASSERT_EQ(::write(fds_[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  void closeOurs() {
    if (fds_[0] >= 0) ::close(fds_[0]);
    fds_[0] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST(DispatchSourceTest, ReadSourceFiresWhileDataRemains) {
  SocketPair pair;
  auto queue = DispatchQueue::createSerial("read");
  auto source = DispatchSource::makeReadSource(pair.ours(), queue);
  Waiter events;
  std::string received;
  source->setEventHandler([&] {
    EXPECT_TRUE(queue->isCurrent());
    char c;
    // One byte per event: the rest must bring the handler back.
    if (::read(pair.ours(), &c, 1) == 1) received += c;
    events.notify();
  });
  source->resume();
  pair.send("hello");
  ASSERT_TRUE(events.waitFor(5));
  queue->sync([] {});
  EXPECT_EQ(received, "hello");
  // Watching leaves the owner's descriptor in blocking mode.
  EXPECT_EQ(::fcntl(pair.ours(), F_GETFL) & O_NONBLOCK, 0);
  source->cancel();
}

TEST(DispatchSourceTest, SuspendHoldsEventsBackAndResumeDeliversThem) {
  SocketPair pair;
  auto queue = DispatchQueue::createSerial("suspend");
  auto source = DispatchSource::makeReadSource(pair.ours(), queue);
  Waiter events;
  source->setEventHandler([&] {
    char buffer[64];
    if (::read(pair.ours(), buffer, sizeof buffer) > 0) events.notify();
  });
  pair.send("early");  // sources start suspended
  settle();
  EXPECT_EQ(events.count(), 0);
  source->resume();
  ASSERT_TRUE(events.waitFor(1));

  // Suspensions nest: two suspends need two resumes.
  queue->sync([&] {
    source->suspend();
    source->suspend();
  });
  pair.send("backlog");
  settle();
  source->resume();
  settle();
  EXPECT_EQ(events.count(), 1);
  source->resume();
  ASSERT_TRUE(events.waitFor(2));
  source->cancel();
}

TEST(DispatchSourceTest, CancelWaitsForTheRunningHandlerAndRunsOnce) {
  SocketPair pair;
  // On the concurrent queue the cancel handler could otherwise overtake a running event.
  auto queue = DispatchQueue::globalQueue();
  auto source = DispatchSource::makeReadSource(pair.ours(), queue);
  Waiter entered;
  Waiter gate;
  Waiter finished;
  auto token = std::make_shared<int>(0);
  std::atomic<int> events{0};
  source->setEventHandler([&, token] {
    ++events;
    entered.notify();
    gate.waitFor(1);
    finished.notify("event-end");
  });
  source->setCancelHandler([&] {
    finished.notify("cancel");
    pair.closeOurs();  // the owner closes the descriptor here
  });
  source->resume();
  pair.send("x");
  ASSERT_TRUE(entered.waitFor(1));
  source->cancel();
  source->cancel();
  EXPECT_TRUE(source->isCancelled());
  settle();
  gate.notify();
  ASSERT_TRUE(finished.waitFor(2));
  settle();
  EXPECT_EQ(finished.log(), (std::vector<std::string>{"event-end", "cancel"}));
  EXPECT_EQ(events.load(), 1);
  // The handlers are let go of after cancellation (they often capture their owner).
  EXPECT_EQ(token.use_count(), 1);
}

TEST(DispatchSourceTest, CancelledOrDroppedSourcesStopWatching) {
  SocketPair pair;
  auto queue = DispatchQueue::createSerial("cancel");
  Waiter cancelled;
  Waiter stray;
  {
    // Cancelling a source that was never resumed still runs its cancel handler.
    auto source = DispatchSource::makeReadSource(pair.ours(), queue);
    source->setEventHandler([&] { stray.notify(); });
    source->setCancelHandler([&] { cancelled.notify(); });
    source->cancel();
    source->resume();
    ASSERT_TRUE(cancelled.waitFor(1));
  }
  {
    // Dropped while watching, without cancel: it simply goes away.
    auto source = DispatchSource::makeReadSource(pair.ours(), queue);
    source->setEventHandler([&] { stray.notify(); });
    source->resume();
  }
  // A read and a write source on one descriptor at the same time.
  Waiter readable;
  Waiter writable;
  auto reader = DispatchSource::makeReadSource(pair.ours(), queue);
  auto writer = DispatchSource::makeWriteSource(pair.ours(), queue);
  reader->setEventHandler([&] {
    char buffer[16];
    if (::read(pair.ours(), buffer, sizeof buffer) > 0) readable.notify();
  });
  writer->setEventHandler([&] {
    writable.notify();
    writer->cancel();
  });
  reader->resume();
  writer->resume();
  pair.send("data");
  EXPECT_TRUE(readable.waitFor(1));
  EXPECT_TRUE(writable.waitFor(1));
  reader->cancel();
  settle();
  EXPECT_EQ(stray.count(), 0);

  EXPECT_THROW(DispatchSource::makeReadSource(-1, queue), Exception);
  int closed = ::dup(pair.peer());
  ::close(closed);
  EXPECT_THROW(DispatchSource::makeWriteSource(closed, queue), Exception);
}

TEST(DispatchSourceTest, TimersFireOnceOrRepeatUntilCancelled) {
  auto queue = DispatchQueue::createSerial("timers");
  Waiter once;
  auto oneShot = DispatchSource::makeTimer(10ms, 0ns, queue);
  oneShot->setEventHandler([&] { once.notify(); });
  oneShot->resume();
  ASSERT_TRUE(once.waitFor(1));

  Waiter ticks;
  Waiter cancelled;
  auto repeating = DispatchSource::makeTimer(1ms, 5ms, queue);
  repeating->setEventHandler([&] { ticks.notify(); });
  repeating->setCancelHandler([&] { cancelled.notify(); });
  repeating->resume();
  ASSERT_TRUE(ticks.waitFor(3));
  repeating->cancel();
  ASSERT_TRUE(cancelled.waitFor(1));
  const int afterCancel = ticks.count();

  // A timer that came due while suspended fires once on resume.
  Waiter late;
  auto held = DispatchSource::makeTimer(0ns, 0ns, queue);
  held->setEventHandler([&] { late.notify(); });
  settle();
  EXPECT_EQ(late.count(), 0);
  held->resume();
  ASSERT_TRUE(late.waitFor(1));

  // "Never" as a delay is fine, and cancelling it still reports.
  Waiter neverCancelled;
  auto never = DispatchSource::makeTimer(std::chrono::nanoseconds::max(), std::chrono::nanoseconds::max(), queue);
  never->setEventHandler([&] { late.notify(); });
  never->setCancelHandler([&] { neverCancelled.notify(); });
  never->resume();
  never->cancel();
  ASSERT_TRUE(neverCancelled.waitFor(1));

  settle();
  EXPECT_EQ(once.count(), 1);
  EXPECT_EQ(ticks.count(), afterCancel);
  EXPECT_EQ(late.count(), 1);
  oneShot->cancel();
  held->cancel();
}

}  // namespace
}  // namespace velbor
