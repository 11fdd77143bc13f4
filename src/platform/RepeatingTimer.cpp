#include "platform/RepeatingTimer.h"

#include <utility>

#include "platform/Dispatch.h"

namespace velbor {

RepeatingTimer::RepeatingTimer(std::string label, std::chrono::nanoseconds interval, Handler handler)
    : interval_(interval), handler_(std::move(handler)), queue_(DispatchQueue::createSerial(label)) {}

RepeatingTimer::~RepeatingTimer() { stop(); }

void RepeatingTimer::start() {
  std::lock_guard lock(mutex_);
  if (stopped_ || timer_) return;
  timer_ = DispatchSource::makeTimer(interval_, interval_, queue_);
  timer_->setEventHandler(handler_);
  timer_->resume();
}

void RepeatingTimer::stop() {
  std::shared_ptr<DispatchSource> timer;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    timer = std::move(timer_);
  }
  if (timer) timer->cancel();
  // A cancelled source never starts its handler again; one already running ends before
  // this empty job runs.
  if (!queue_->isCurrent()) queue_->sync([] {});
}

void RepeatingTimer::sync(const std::function<void()>& job) { queue_->sync(job); }

}  // namespace velbor
