#pragma once

#include <functional>
#include <memory>
#include <string>

namespace velbor {

class DispatchQueue;

// Which queue the calling thread is running a job of, and the boundary every job runs in.
class QueueContext {
 public:
  // Runs `job` on the calling thread as a job of `queue`: current() answers that queue
  // meanwhile (the previous answer comes back afterwards), and an exception escaping the
  // job is caught and logged with the queue's label.
  static void run(const DispatchQueue* queue, const std::weak_ptr<DispatchQueue>& ref, const std::string& label,
                  const std::function<void()>& job);
  // Calls `job`, catching and logging whatever escapes it; `what` names the caller in the log line.
  static void guard(const std::string& what, const std::function<void()>& job);

  static std::shared_ptr<DispatchQueue> current();
  static const DispatchQueue* currentRaw();
};

}  // namespace velbor
