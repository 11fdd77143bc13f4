#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace velbor {

class DispatchQueue;
class DispatchSource;

// Runs a handler every `interval` on a thread of its own (a serial queue named `label`),
// until another thread stops it. Runs never overlap; a run that overlaps the next period
// makes that period's run wait, and missed periods are skipped.
class RepeatingTimer {
 public:
  using Handler = std::function<void()>;

  RepeatingTimer(std::string label, std::chrono::nanoseconds interval, Handler handler);
  // Stops the timer and ends its thread.
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  // The first run comes one interval from now. A second start() changes nothing.
  void start();
  // No run starts after this returns, and a run in progress has finished (unless stop() is
  // called by the handler itself). The timer cannot be started again.
  void stop();
  // Runs `job` on the timer's thread, between two runs of the handler, and waits for it.
  void sync(const std::function<void()>& job);

 private:
  std::mutex mutex_;
  std::chrono::nanoseconds interval_;
  Handler handler_;
  std::shared_ptr<DispatchQueue> queue_;
  std::shared_ptr<DispatchSource> timer_;
  bool stopped_ = false;
};

}  // namespace velbor
