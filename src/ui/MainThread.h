#pragma once

#include <atomic>
#include <functional>

namespace velbor {

// Views change only on the application's main thread. Engine notices arrive on the serial
// "notify" queue and button work runs on global queues: both hand their view changes over
// through these.
class MainThread {
 public:
  MainThread() = delete;

  static bool isMainThread();
  // Queues `work` on the main thread and returns at once (never blocks the caller's queue).
  static void async(std::function<void()> work);
  // Runs `work` on the main thread and waits for it; runs it directly when called there.
  // Only for work queued on global queues: the main thread never waits for those.
  // Gives up, without running it, once the main loop has ended.
  static void sync(const std::function<void()>& work);
  // The main loop has ended: waits in sync() return at once.
  static void setClosing();
  // Runs `work`, logging what it raises: work handed between threads must not end a loop.
  static void runLogged(const std::function<void()>& work);

 private:
  static std::atomic<bool> closing_;
};

}  // namespace velbor
