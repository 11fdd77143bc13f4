#include "platform/TimerSource.h"

#include <algorithm>
#include <utility>

#include "platform/DispatchReactor.h"

namespace velbor {
namespace {

// Far enough to mean "never" without overflowing the clock's arithmetic.
constexpr std::chrono::nanoseconds kLongest = std::chrono::hours(24 * 365 * 100);

std::chrono::nanoseconds clampDuration(std::chrono::nanoseconds value) {
  return std::clamp(value, std::chrono::nanoseconds::zero(), kLongest);
}

}  // namespace

std::shared_ptr<TimerSource> TimerSource::create(std::chrono::nanoseconds delay, std::chrono::nanoseconds interval,
                                                 std::shared_ptr<DispatchQueue> queue) {
  return std::make_shared<TimerSource>(delay, interval, std::move(queue));
}

TimerSource::TimerSource(std::chrono::nanoseconds delay, std::chrono::nanoseconds interval,
                         std::shared_ptr<DispatchQueue> queue)
    : DispatchSourceBase(std::move(queue)),
      timer_(DispatchReactor::shared().context()),
      deadline_(std::chrono::steady_clock::now() + clampDuration(delay)),
      interval_(clampDuration(interval)) {}

void TimerSource::rearmLocked() {
  // Once started the timer keeps running through suspensions; fires are kept for resume().
  if (armed_ || done_ || cancelledLocked()) return;
  armed_ = true;
  timer_.expires_at(deadline_);
  auto weak = std::weak_ptr<TimerSource>(std::static_pointer_cast<TimerSource>(shared_from_this()));
  timer_.async_wait([weak](const asio::error_code& error) {
    if (auto self = weak.lock()) self->onFire(error);
  });
}

void TimerSource::disarmLocked() {
  done_ = true;
  timer_.cancel();
}

void TimerSource::onFire(const asio::error_code& error) {
  std::lock_guard lock(mutex_);
  armed_ = false;
  if (error || cancelledLocked()) return;
  if (interval_ == std::chrono::nanoseconds::zero()) {
    done_ = true;
  } else {
    auto now = std::chrono::steady_clock::now();
    deadline_ += interval_;
    if (deadline_ <= now) deadline_ += ((now - deadline_) / interval_ + 1) * interval_;
  }
  signalLocked();
  rearmLocked();
}

}  // namespace velbor
