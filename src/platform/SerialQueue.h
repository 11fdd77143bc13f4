#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Dispatch.h"

namespace velbor {

// A queue that runs its jobs one at a time, in the order they were added, on a thread of
// its own. Destroying it runs the jobs already queued, then ends the thread.
class SerialQueue : public DispatchQueue {
 public:
  static std::shared_ptr<SerialQueue> create(const std::string& label);

  explicit SerialQueue(const std::string& label);  // use create()
  ~SerialQueue() override;
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const override { return state_->label; }
  bool isSerial() const override { return true; }
  bool isCurrent() const override;

  void async(Job job) override;
  void sync(const Job& job) override;

 private:
  // Everything the thread needs: it outlives the queue object when the last reference
  // goes away on the queue's own thread and the thread is detached.
  struct State {
    std::string label;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool stopping = false;
    const DispatchQueue* owner = nullptr;
    std::weak_ptr<DispatchQueue> ownerRef;
  };

  static void loop(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace velbor
