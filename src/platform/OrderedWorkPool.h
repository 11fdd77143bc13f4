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
// Jobs go into lanes, each with an order of its own: a slow job holds back the results of
// its own lane only. Idle threads start the jobs of the lowest lane first.
//
// A job that raises hands its exception to the owner, raised again by takeNext() in the
// job's place. discardPending() forgets every job not yet taken: those not started never
// run, those running finish and their results are dropped. The destructor does the same
// and joins the threads. The owner's calls to submit, takeNext, pending and discardPending
// are made one at a time: from one thread, or under a lock of the owner's.
template <class R>
class OrderedWorkPool {
 public:
  using Job = std::function<R()>;

  // Never fewer than one thread. Raises std::system_error when the system refuses one, with
  // those already started ended.
  explicit OrderedWorkPool(size_t threadCount, size_t laneCount = 1)
      : queue_(std::max<size_t>(1, laneCount)), order_(std::max<size_t>(1, laneCount)) {
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

  // `lane` must be below the lane count.
  void submit(Job job, size_t lane = 0) {
    auto slot = std::make_shared<Slot>();
    slot->job = std::move(job);
    {
      std::lock_guard lock(mutex_);
      order_.at(lane).push_back(slot);
      queue_[lane].push_back(std::move(slot));
    }
    wake_.notify_one();
  }

  // The result of the oldest job not yet taken of the lowest lane whose oldest job has
  // finished; nothing while each lane's oldest still runs, or when no job waits. Raises the
  // job's exception in place of its result.
  std::optional<R> takeNext() {
    std::shared_ptr<Slot> slot;
    {
      std::lock_guard lock(mutex_);
      for (auto& lane : order_) {
        if (lane.empty() || !lane.front()->done) continue;
        slot = std::move(lane.front());
        lane.pop_front();
        break;
      }
      if (!slot) return std::nullopt;
    }
    if (slot->error) std::rethrow_exception(slot->error);
    return std::move(slot->result);
  }

  // Jobs submitted and not yet taken.
  size_t pending() const {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const auto& lane : order_) count += lane.size();
    return count;
  }

  void discardPending() {
    std::lock_guard lock(mutex_);
    clearLanes();
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

  using Lane = std::deque<std::shared_ptr<Slot>>;

  // The lowest lane with a job not yet started; under the mutex.
  Lane* nextQueued() {
    for (auto& lane : queue_) {
      if (!lane.empty()) return &lane;
    }
    return nullptr;
  }

  // Under the mutex.
  void clearLanes() {
    for (auto& lane : queue_) lane.clear();
    for (auto& lane : order_) lane.clear();
  }

  // Forgets every job and ends the threads.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      clearLanes();
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
  }

  void work() {
    for (;;) {
      std::shared_ptr<Slot> slot;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || nextQueued() != nullptr; });
        if (stopping_) return;
        auto* lane = nextQueued();
        slot = std::move(lane->front());
        lane->pop_front();
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
  // Per lane: not yet started, oldest first.
  std::vector<Lane> queue_;
  // Per lane: submitted and not yet taken, oldest first.
  std::vector<Lane> order_;
  bool stopping_ = false;
  EventSignal ready_;
  std::vector<std::thread> threads_;
};

}  // namespace velbor
