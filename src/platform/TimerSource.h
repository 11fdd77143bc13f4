#pragma once

#include <chrono>
#include <memory>

#include <asio.hpp>

#include "platform/DispatchSourceBase.h"

namespace velbor {

// Fires once at a deadline counted from its creation, and then every interval when the
// interval is non-zero. Fires that fall while suspended or while the handler still runs
// are merged into one delivery; missed periods are skipped, not caught up.
class TimerSource : public DispatchSourceBase {
 public:
  static std::shared_ptr<TimerSource> create(std::chrono::nanoseconds delay, std::chrono::nanoseconds interval,
                                             std::shared_ptr<DispatchQueue> queue);

  TimerSource(std::chrono::nanoseconds delay, std::chrono::nanoseconds interval,
              std::shared_ptr<DispatchQueue> queue);  // use create()
  TimerSource(const TimerSource&) = delete;
  TimerSource& operator=(const TimerSource&) = delete;

 protected:
  void rearmLocked() override;
  void disarmLocked() override;
  bool keepsEventsWhileSuspended() const override { return true; }

 private:
  void onFire(const asio::error_code& error);

  asio::steady_timer timer_;
  std::chrono::steady_clock::time_point deadline_;
  std::chrono::nanoseconds interval_;
  bool armed_ = false;
  bool done_ = false;
};

}  // namespace velbor
