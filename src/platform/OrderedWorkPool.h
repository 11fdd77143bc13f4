#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/EventSignal.h"

namespace velbor {

// Runs jobs on a few threads of its own and hands their results back to one owner thread
// in the order the jobs were submitted, whatever order they finish in. The owner waits for
// results by polling readyFd() beside its sockets, so heavy work (sealing and opening
// messages) spreads over the cores while every decision stays on the owner's thread.
//
// A job that raises hands its exception to the owner, raised again by takeNext() in the
// job's place. discardPending() forgets every job not yet taken: those not started never
// run, those running finish and their results are dropped. The destructor does the same
// and joins the threads. Only the owner thread calls submit, takeNext, pending and
// discardPending.
template <class R>
class OrderedWorkPool {
 public:
  using Job = std::function<R()>;

  // Never fewer than one thread. Raises std::system_error when the system refuses one, with
  // those already started ended.
  explicit OrderedWorkPool(size_t threadCount) {
    threadCount = std::max<size_t>(1, threadCount);
    threads_.reserve(threadCount);
    try {
      for (size_t i = 0; i < threadCount; ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
      stop();
      throw;
    }
  }

  ~OrderedWorkPool() { stop(); }

  OrderedWorkPool(const OrderedWorkPool&) = delete;
  OrderedWorkPool& operator=(const OrderedWorkPool&) = delete;

  // The cores of this machine, at least two.
  static size_t hardwareThreads() { return std::max(2U, std::thread::hardware_concurrency()); }

  void submit(Job job) {
    auto slot = std::make_shared<Slot>();
    slot->job = std::move(job);
    {
      std::lock_guard lock(mutex_);
      order_.push_back(slot);
      queue_.push_back(std::move(slot));
    }
    wake_.notify_one();
  }

  // The result of the oldest job not yet taken, once it has finished; nothing while it
  // still runs or when no job waits. Raises the job's exception in place of its result.
  std::optional<R> takeNext() {
    std::shared_ptr<Slot> slot;
    {
      std::lock_guard lock(mutex_);
      if (order_.empty() || !order_.front()->done) return std::nullopt;
      slot = std::move(order_.front());
      order_.pop_front();
    }
    if (slot->error) std::rethrow_exception(slot->error);
    return std::move(slot->result);
  }

  // Jobs submitted and not yet taken.
  size_t pending() const {
    std::lock_guard lock(mutex_);
    return order_.size();
  }

  void discardPending() {
    std::lock_guard lock(mutex_);
    queue_.clear();
    order_.clear();
  }

  // Readable when a job has finished since the last clearReady(); the owner clears it
  // before taking results, so that none finishing meanwhile goes unannounced.
  int readyFd() const { return ready_.fd(); }
  void clearReady() { ready_.clear(); }

 private:
  struct Slot {
    Job job;
    std::optional<R> result;
    std::exception_ptr error;
    bool done = false;
  };

  // Forgets every job and ends the threads.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      queue_.clear();
      order_.clear();
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
  }

  void work() {
    for (;;) {
      std::shared_ptr<Slot> slot;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        slot = std::move(queue_.front());
        queue_.pop_front();
      }
      std::optional<R> result;
      std::exception_ptr error;
      try {
        result.emplace(slot->job());
      } catch (...) {
        error = std::current_exception();
      }
      // What the job holds goes with the job, not with its result; released unlocked.
      Job finished = std::move(slot->job);
      {
        std::lock_guard lock(mutex_);
        slot->result = std::move(result);
        slot->error = error;
        slot->done = true;
      }
      ready_.raise();
    }
  }

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  // Not yet started, oldest first.
  std::deque<std::shared_ptr<Slot>> queue_;
  // Submitted and not yet taken, oldest first.
  std::deque<std::shared_ptr<Slot>> order_;
  bool stopping_ = false;
  EventSignal ready_;
  std::vector<std::thread> threads_;
};

}  // namespace velbor
