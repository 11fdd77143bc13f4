#pragma once

#include <functional>

namespace velbor {

// Long work that the main thread must wait for without freezing the windows: it runs on a
// thread of its own while the main thread goes on handling its events (drawing, input,
// view changes queued by the engine), and the call returns once it is done.
class ResponsiveWait {
 public:
  ResponsiveWait() = delete;

  // Runs `work` elsewhere and handles events here until it has returned; an exception it
  // raises is logged. Without an application object it runs `work` directly.
  static void run(const std::function<void()>& work);
};

}  // namespace velbor
