#include "platform/GlobalQueue.h"

#include <utility>

#include "platform/QoLog.h"
#include "platform/QueueContext.h"

namespace velbor {

std::shared_ptr<GlobalQueue> GlobalQueue::shared() {
  // Never deleted, so a job or destructor running late during exit still finds it.
  static auto* queue = new std::shared_ptr<GlobalQueue>(std::make_shared<GlobalQueue>());
  static struct StopAtExit {
    GlobalQueue* queue;
    ~StopAtExit() { queue->shutdown(); }
  } stopAtExit{queue->get()};
  return *queue;
}

GlobalQueue::GlobalQueue() = default;

bool GlobalQueue::isCurrent() const { return QueueContext::currentRaw() == this; }

void GlobalQueue::async(Job job) {
  std::vector<std::thread> finished;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;  // exiting: the job is released outside the lock
    jobs_.push_back(std::move(job));
    finished = takeFinishedLocked();
    if (idle_ < jobs_.size() && workers_.size() < kMaxWorkers) {
      std::thread worker([this] { work(); });
      auto id = worker.get_id();
      workers_.emplace(id, std::move(worker));
    }
  }
  wake_.notify_one();
  for (auto& thread : finished) thread.join();
}

void GlobalQueue::sync(const Job& job) { QueueContext::run(this, weak_from_this(), label_, job); }

void GlobalQueue::work() {
  std::weak_ptr<DispatchQueue> self = weak_from_this();
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    bool ready = wake_.wait_for(lock, kIdleTimeout, [&] { return stopping_ || !jobs_.empty(); });
    --idle_;
    if (stopping_ || !ready) break;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    QueueContext::run(this, self, label_, job);
    job = nullptr;  // captures go before the lock is taken again
    lock.lock();
  }
  // Hand our own thread object over to be joined by someone else.
  auto it = workers_.find(std::this_thread::get_id());
  if (it != workers_.end()) {
    finished_.push_back(std::move(it->second));
    workers_.erase(it);
  }
  exited_.notify_all();
}

std::vector<std::thread> GlobalQueue::takeFinishedLocked() {
  std::vector<std::thread> finished;
  finished.swap(finished_);
  return finished;
}

void GlobalQueue::shutdown() {
  std::deque<Job> dropped;
  std::vector<std::thread> finished;
  std::vector<std::thread> stuck;
  {
    std::unique_lock lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    dropped.swap(jobs_);
    wake_.notify_all();
    exited_.wait_for(lock, kShutdownGrace, [&] { return workers_.empty(); });
    finished = takeFinishedLocked();
    for (auto& [id, thread] : workers_) stuck.push_back(std::move(thread));
    workers_.clear();
  }
  dropped.clear();
  for (auto& thread : finished) thread.join();
  if (!stuck.empty()) QoLog("Dispatch global queue: {} busy worker(s) left running at exit", stuck.size());
  // They hold no reference to anything but this never-deleted pool, and end after their job.
  for (auto& thread : stuck) thread.detach();
}

}  // namespace velbor
