#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "platform/LogRateLimiter.h"

namespace velbor {

// What a service loop (a broker, a worker) does when one of its rounds fails: the failure is
// logged, a few lines a minute, and the loop goes on with its next round. While rounds keep
// failing one after another, each failure is followed by a pause that doubles up to
// kLongestPause, so that a failure that repeats does not spin a core; the first round that
// succeeds ends the pauses. One object per loop, used by the loop's thread only.
class LoopRoundFailures {
 public:
  static constexpr std::chrono::milliseconds kFirstPause{10};
  static constexpr std::chrono::milliseconds kLongestPause{1000};

  // `loop` names the loop in the log line ("*** Router round failed, ...").
  explicit LoopRoundFailures(std::string loop);
  LoopRoundFailures(const LoopRoundFailures&) = delete;
  LoopRoundFailures& operator=(const LoopRoundFailures&) = delete;

  // Logs the failure of the round and pauses when the round before failed too. Never
  // raises: it may be called short of memory.
  void failed(std::string_view reason) noexcept;
  void succeeded() noexcept { consecutive_ = 0; }
  // Rounds that failed since the loop began.
  unsigned long total() const { return total_; }

 private:
  const std::string loop_;
  LogRateLimiter log_;
  unsigned consecutive_ = 0;
  unsigned long total_ = 0;
};

}  // namespace velbor
