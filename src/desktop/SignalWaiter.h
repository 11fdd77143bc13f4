#pragma once

#include <chrono>
#include <optional>

namespace velbor {

// SIGINT and SIGTERM taken as requests to shut down: blocked in every thread, so none is
// interrupted by them, and collected where the program chooses to wait.
class SignalWaiter {
 public:
  SignalWaiter() = delete;

  // Blocks both signals in the calling thread and in every thread it starts later; call it
  // before the first thread is started.
  static void blockTerminationSignals();
  // Waits for one of them and answers its number.
  static int waitForTerminationSignal();
  // The signal pending now, if any; waits at most `timeout`.
  static std::optional<int> pendingTerminationSignal(std::chrono::milliseconds timeout);
};

}  // namespace velbor
