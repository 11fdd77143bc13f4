#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace velbor::test {

// Counts and records events from other threads; waits are bounded so a failing test
// reports instead of hanging.
class Waiter {
 public:
  void notify(const std::string& what = {}) {
    std::lock_guard lock(mutex_);
    ++count_;
    if (!what.empty()) log_.push_back(what);
    cv_.notify_all();
  }

  bool waitFor(int count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return count_ >= count; });
  }

  int count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

  std::vector<std::string> log() {
    std::lock_guard lock(mutex_);
    return log_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_ = 0;
  std::vector<std::string> log_;
};

}  // namespace velbor::test
