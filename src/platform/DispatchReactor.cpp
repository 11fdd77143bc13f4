#include "platform/DispatchReactor.h"

#include <exception>
#include <utility>

#include "platform/QoLog.h"

namespace velbor {

DispatchReactor& DispatchReactor::shared() {
  // Never deleted: sources and queues that outlive static destruction may still call in,
  // and their Asio objects must never outlive the io_context.
  static DispatchReactor* reactor = new DispatchReactor();
  static struct StopAtExit {
    DispatchReactor* reactor;
    ~StopAtExit() { reactor->shutdown(); }
  } stopAtExit{reactor};
  return *reactor;
}

DispatchReactor::DispatchReactor() : work_(asio::make_work_guard(context_)) {
  thread_ = std::thread([this] {
    for (;;) {
      try {
        context_.run();
        return;
      } catch (const std::exception& e) {
        QoLog("Dispatch reactor: uncaught exception in handler: {}", e.what());
      } catch (...) {
        QoLog("Dispatch reactor: uncaught exception in handler");
      }
    }
  });
}

void DispatchReactor::after(std::chrono::nanoseconds delay, std::function<void()> fire) {
  auto timer = std::make_shared<asio::steady_timer>(context_);
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;  // exiting: `fire` is released outside the lock
    timers_.insert(timer);
    timer->expires_after(std::chrono::duration_cast<asio::steady_timer::duration>(delay));
    timer->async_wait([this, timer, fire = std::move(fire)](const asio::error_code& error) {
      {
        std::lock_guard lock(mutex_);
        timers_.erase(timer);
      }
      if (!error) {
        try {
          fire();
        } catch (const std::exception& e) {
          QoLog("Dispatch reactor: delayed job failed: {}", e.what());
        } catch (...) {
          QoLog("Dispatch reactor: delayed job failed");
        }
      }
    });
  }
}

void DispatchReactor::shutdown() {
  std::set<std::shared_ptr<asio::steady_timer>> timers;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    timers.swap(timers_);
  }
  // The cancelled waits complete (and release their jobs) before the stop below runs.
  for (const auto& timer : timers) timer->cancel();
  asio::post(context_, [this] { context_.stop(); });
  work_.reset();
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

}  // namespace velbor
