#include "platform/LogRateLimiter.h"

#include "platform/QoLog.h"

namespace velbor {

LogRateLimiter::LogRateLimiter(std::string topic, size_t linesPerInterval, std::chrono::steady_clock::duration interval,
                               Clock clock, Sink sink)
    : topic_(std::move(topic)),
      linesPerInterval_(linesPerInterval),
      interval_(interval),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      sink_(sink ? std::move(sink) : Sink([](std::string_view line) { QoLogLine(line); })) {}

void LogRateLimiter::flush() {
  std::lock_guard lock(mutex_);
  summariseLocked();
}

void LogRateLimiter::restart() {
  std::lock_guard lock(mutex_);
  summariseLocked();
  started_ = false;
}

bool LogRateLimiter::admitLocked() {
  const auto now = clock_();
  if (!started_ || now - intervalStart_ >= interval_) {
    summariseLocked();
    started_ = true;
    intervalStart_ = now;
    written_ = 0;
  }
  if (written_ < linesPerInterval_) {
    ++written_;
    return true;
  }
  ++dropped_;
  return false;
}

void LogRateLimiter::summariseLocked() {
  if (dropped_ == 0) return;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(interval_).count();
  sink_(fmt::format("{}: {} more line(s) dropped, at most {} are logged per {} s", topic_, dropped_, linesPerInterval_,
                    seconds));
  dropped_ = 0;
}

}  // namespace velbor
