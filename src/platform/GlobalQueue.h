#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"

namespace velbor {

// The concurrent queue: a pool of worker threads that grows whenever a job arrives and no
// worker is idle (jobs may block for seconds on the network), up to a limit; a worker
// that found nothing to do for a while retires.
class GlobalQueue : public DispatchQueue {
 public:
  static std::shared_ptr<GlobalQueue> shared();

  GlobalQueue();  // use shared()
  GlobalQueue(const GlobalQueue&) = delete;
  GlobalQueue& operator=(const GlobalQueue&) = delete;

  const std::string& label() const override { return label_; }
  bool isSerial() const override { return false; }
  bool isCurrent() const override;

  void async(Job job) override;
  // Runs the job on the calling thread, as the global queue would run it anyway.
  void sync(const Job& job) override;

  // Jobs not yet started are dropped; workers finish their current job and end. Workers
  // still busy after a grace period are detached rather than holding up the exit.
  void shutdown();

  static constexpr std::size_t kMaxWorkers = 128;
  static constexpr std::chrono::seconds kIdleTimeout{20};
  static constexpr std::chrono::seconds kShutdownGrace{3};

 private:
  void work();
  std::vector<std::thread> takeFinishedLocked();

  const std::string label_ = "global";
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable exited_;
  std::deque<Job> jobs_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
  std::map<std::thread::id, std::thread> workers_;
  // Workers that retired; joined by whoever next takes the lock to start one.
  std::vector<std::thread> finished_;
};

}  // namespace velbor
