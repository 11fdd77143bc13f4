#include "platform/SerialQueue.h"

#include <utility>

#include "platform/QueueContext.h"

namespace velbor {

std::shared_ptr<SerialQueue> SerialQueue::create(const std::string& label) {
  auto queue = std::make_shared<SerialQueue>(label);
  {
    std::lock_guard lock(queue->state_->mutex);
    queue->state_->owner = queue.get();
    queue->state_->ownerRef = queue;
  }
  queue->thread_ = std::thread([state = queue->state_] { loop(state); });
  return queue;
}

SerialQueue::SerialQueue(const std::string& label) : state_(std::make_shared<State>()) { state_->label = label; }

SerialQueue::~SerialQueue() {
  const bool onOwnThread = std::this_thread::get_id() == thread_.get_id();
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    if (onOwnThread) {
      // The jobs still queued run after this object is gone: they must not see it as current.
      state_->owner = nullptr;
      state_->ownerRef.reset();
    }
  }
  state_->wake.notify_all();
  if (!thread_.joinable()) return;
  if (onOwnThread) {
    // The last reference went away inside one of our own jobs: the thread cannot join
    // itself. It owns the state, drains what is queued and ends by itself.
    thread_.detach();
  } else {
    thread_.join();
  }
}

void SerialQueue::loop(const std::shared_ptr<State>& state) {
  for (;;) {
    Job job;
    const DispatchQueue* owner = nullptr;
    std::weak_ptr<DispatchQueue> ownerRef;
    {
      std::unique_lock lock(state->mutex);
      state->wake.wait(lock, [&] { return state->stopping || !state->jobs.empty(); });
      if (state->jobs.empty()) return;
      job = std::move(state->jobs.front());
      state->jobs.pop_front();
      owner = state->owner;
      ownerRef = state->ownerRef;
    }
    QueueContext::run(owner, ownerRef, state->label, job);
    // The job's captures are released here, outside the lock: they may hold the last
    // reference to this very queue.
  }
}

bool SerialQueue::isCurrent() const { return QueueContext::currentRaw() == this; }

void SerialQueue::async(Job job) {
  {
    std::lock_guard lock(state_->mutex);
    state_->jobs.push_back(std::move(job));
  }
  state_->wake.notify_one();
}

void SerialQueue::sync(const Job& job) {
  if (std::this_thread::get_id() == thread_.get_id()) {
    // Already on this queue (maybe inside another queue's inline sync): waiting for our
    // own thread would never end, so run it here.
    QueueContext::run(this, weak_from_this(), state_->label, job);
    return;
  }
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  async([&job, done] {
    struct Signal {
      std::shared_ptr<Done> done;
      ~Signal() {
        std::lock_guard lock(done->mutex);
        done->done = true;
        done->cv.notify_all();
      }
    } signal{done};
    job();
  });
  std::unique_lock lock(done->mutex);
  done->cv.wait(lock, [&] { return done->done; });
}

}  // namespace velbor
