#pragma once

#include <memory>
#include <mutex>

#include "platform/Dispatch.h"

namespace velbor {

// What every source shares: the suspend count, handing events to the queue one at a time,
// and cancellation. A subclass watches something and calls signalLocked() when it happened.
class DispatchSourceBase : public DispatchSource {
 public:
  explicit DispatchSourceBase(std::shared_ptr<DispatchQueue> queue);

  void setEventHandler(Handler handler) override;
  void setCancelHandler(Handler handler) override;
  void resume() override;
  void suspend() override;
  void cancel() override;
  bool isCancelled() const override;

 protected:
  // Start watching again if active and nothing is under way (mutex_ held).
  virtual void rearmLocked() = 0;
  // Stop watching for good; called once, by cancel() (mutex_ held). Afterwards the
  // watched resource is never touched again.
  virtual void disarmLocked() = 0;
  // Whether an event that happens while suspended is kept for the resume (timers) or
  // dropped because the resume looks again (descriptor readiness).
  virtual bool keepsEventsWhileSuspended() const = 0;

  // The watched thing happened (mutex_ held).
  void signalLocked();
  bool activeLocked() const { return !cancelled_ && suspendCount_ == 0; }
  bool cancelledLocked() const { return cancelled_; }
  bool deliveringLocked() const { return inFlight_; }

  mutable std::mutex mutex_;

 private:
  void postIfReadyLocked();
  void deliver();
  void finishCancelIfIdleLocked();
  void runCancelHandler();

  std::shared_ptr<DispatchQueue> queue_;
  Handler eventHandler_;
  Handler cancelHandler_;
  int suspendCount_ = 1;
  bool cancelled_ = false;
  // An event waits to be handed to the queue.
  bool pending_ = false;
  // A delivery has been handed to the queue and has not finished yet.
  bool inFlight_ = false;
  bool cancelPosted_ = false;
  bool cancelRan_ = false;
};

}  // namespace velbor
