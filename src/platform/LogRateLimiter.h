#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace velbor {

// Bounds how many lines of one kind reach the log: at most `linesPerInterval` per
// interval; the rest are counted, and the first line of a later interval (or flush())
// writes one summary with the count dropped first. For lines a peer can
// cause at will, so that it cannot fill the disk. Thread-safe.
class LogRateLimiter {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Sink = std::function<void(std::string_view line)>;

  // `topic` names the kind of line in the summary. Without a clock the steady clock is
  // used; without a sink lines go to QoLog.
  LogRateLimiter(std::string topic, size_t linesPerInterval, std::chrono::steady_clock::duration interval,
                 Clock clock = nullptr, Sink sink = nullptr);
  LogRateLimiter(const LogRateLimiter&) = delete;
  LogRateLimiter& operator=(const LogRateLimiter&) = delete;

  // Formats and writes the line when the budget allows; a dropped line is not even formatted.
  template <typename... Args>
  void log(fmt::format_string<Args...> format, Args&&... args) {
    std::lock_guard lock(mutex_);
    if (admitLocked()) sink_(fmt::format(format, std::forward<Args>(args)...));
  }
  // Writes the summary of the lines dropped so far, if any.
  void flush();
  // Flushes, then starts afresh with a full budget (tests that start from a fresh state).
  void restart();

 private:
  bool admitLocked();
  void summariseLocked();

  const std::string topic_;
  const size_t linesPerInterval_;
  const std::chrono::steady_clock::duration interval_;
  const Clock clock_;
  const Sink sink_;
  std::mutex mutex_;
  bool started_ = false;
  std::chrono::steady_clock::time_point intervalStart_{};
  size_t written_ = 0;
  size_t dropped_ = 0;
};

}  // namespace velbor
