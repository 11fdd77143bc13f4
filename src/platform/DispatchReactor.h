#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <asio.hpp>

namespace velbor {

// The one event loop thread behind dispatch sources and delayed jobs: Asio waits for
// descriptor readiness and timers there. Handlers only hand work over to queues.
// The loop lives for the whole process; its thread is stopped and joined at exit.
class DispatchReactor {
 public:
  static DispatchReactor& shared();

  asio::io_context& context() { return context_; }

  // Calls `fire` on the reactor thread once `delay` has passed (it should only hand a job
  // to a queue). After shutdown() nothing fires any more.
  void after(std::chrono::nanoseconds delay, std::function<void()> fire);

  // Drops the pending delayed jobs, stops the loop and joins its thread.
  void shutdown();

  DispatchReactor(const DispatchReactor&) = delete;
  DispatchReactor& operator=(const DispatchReactor&) = delete;

 private:
  DispatchReactor();

  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
  std::mutex mutex_;
  std::set<std::shared_ptr<asio::steady_timer>> timers_;
  bool stopped_ = false;
};

}  // namespace velbor
