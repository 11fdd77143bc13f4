#include "platform/DispatchSourceBase.h"

#include <utility>

#include "platform/QoLog.h"
#include "platform/QueueContext.h"

namespace velbor {

DispatchSourceBase::DispatchSourceBase(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {
  if (!queue_) queue_ = DispatchQueue::globalQueue();
}

void DispatchSourceBase::setEventHandler(Handler handler) {
  std::unique_lock lock(mutex_);
  if (cancelled_) return;  // `handler` is released after the lock
  std::swap(eventHandler_, handler);
}

void DispatchSourceBase::setCancelHandler(Handler handler) {
  std::unique_lock lock(mutex_);
  if (cancelRan_) return;  // would never run, and could keep its captures alive for good
  std::swap(cancelHandler_, handler);
}

void DispatchSourceBase::resume() {
  std::lock_guard lock(mutex_);
  if (suspendCount_ == 0) {
    QoLog("DispatchSource: resume() without a matching suspend() ignored");
    return;
  }
  if (--suspendCount_ > 0 || cancelled_) return;
  rearmLocked();
  postIfReadyLocked();
}

void DispatchSourceBase::suspend() {
  std::lock_guard lock(mutex_);
  ++suspendCount_;
}

void DispatchSourceBase::cancel() {
  std::lock_guard lock(mutex_);
  if (cancelled_) return;
  cancelled_ = true;
  pending_ = false;
  disarmLocked();
  finishCancelIfIdleLocked();
}

bool DispatchSourceBase::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

void DispatchSourceBase::signalLocked() {
  if (cancelled_) return;
  pending_ = true;
  postIfReadyLocked();
}

void DispatchSourceBase::postIfReadyLocked() {
  if (!pending_ || inFlight_ || !activeLocked()) return;
  pending_ = false;
  inFlight_ = true;
  queue_->async([self = std::static_pointer_cast<DispatchSourceBase>(shared_from_this())] { self->deliver(); });
}

void DispatchSourceBase::deliver() {
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    if (!activeLocked()) {
      inFlight_ = false;
      if (cancelled_) {
        finishCancelIfIdleLocked();
      } else if (keepsEventsWhileSuspended()) {
        pending_ = true;
      }
      return;
    }
    handler = eventHandler_;
  }
  QueueContext::guard("DispatchSource event handler", handler);
  handler = nullptr;
  std::lock_guard lock(mutex_);
  inFlight_ = false;
  if (cancelled_) {
    finishCancelIfIdleLocked();
    return;
  }
  if (suspendCount_ > 0) return;
  rearmLocked();
  postIfReadyLocked();
}

void DispatchSourceBase::finishCancelIfIdleLocked() {
  // A running event handler finishes first; its delivery then lands here again.
  if (inFlight_ || cancelPosted_) return;
  cancelPosted_ = true;
  queue_->async(
      [self = std::static_pointer_cast<DispatchSourceBase>(shared_from_this())] { self->runCancelHandler(); });
}

void DispatchSourceBase::runCancelHandler() {
  Handler cancelHandler;
  Handler eventHandler;
  {
    std::lock_guard lock(mutex_);
    cancelRan_ = true;
    std::swap(cancelHandler, cancelHandler_);
    // Handlers often capture their owner, who holds the source: let go of both.
    std::swap(eventHandler, eventHandler_);
  }
  QueueContext::guard("DispatchSource cancel handler", cancelHandler);
}

}  // namespace velbor
