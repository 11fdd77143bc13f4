#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace velbor {

// Runs the checks of peers on the global queue, at most `lanes` at a time; the rest wait in
// order without holding a worker. A check may wait seconds for a device that never answers,
// so checks of made-up devices must not take every worker of the global queue.
class PeerCheckLanes {
 public:
  using Job = std::function<void()>;

  explicit PeerCheckLanes(size_t lanes);
  PeerCheckLanes(const PeerCheckLanes&) = delete;
  PeerCheckLanes& operator=(const PeerCheckLanes&) = delete;

  // Queues the job; never raises from the job (it is logged).
  void run(Job job);
  // Queues the job once `delay` has passed.
  void runAfter(std::chrono::milliseconds delay, Job job);

 private:
  void drain();

  const size_t lanes_;
  std::mutex lock_;
  std::deque<Job> waiting_;
  size_t active_ = 0;
};

}  // namespace velbor
