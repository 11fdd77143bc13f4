#pragma once

#include <chrono>
#include <exception>

namespace velbor {

// Ends the pulls under way when the daemon stops, whatever they are doing, and keeps new
// ones from starting until the next start. A pull waits for its peer with stopFd() among
// the items it polls, and checks at its other steps; one that meets the stop raises Stopped,
// which removes its temporary downloads on the way out and stores no usn mark, so that the
// next pull fetches again everything not completely installed.
class PullStop {
 public:
  // Raised inside a pull that meets the stop. Not a QoException: nothing on the way may take
  // it for a failure of one file or one batch and go on with the next.
  class Stopped : public std::exception {
   public:
    const char* what() const noexcept override { return "Pull stopped: the daemon stops"; }
  };

  // Counts one pull as under way while it lives.
  class Running {
   public:
    Running();
    ~Running();
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
  };

  PullStop() = delete;

  // From now on every pull ends at its next step, and none starts. Returns at once.
  static void stopAll();
  // Waits until no pull is under way, at most `timeout`; true when none is.
  static bool waitForPullsToEnd(std::chrono::milliseconds timeout);
  // Pulls may run again (the daemon starts).
  static void resume();

  static bool isStopping();
  // Readable while stopping: polled beside a pull's sockets, it ends the wait at once.
  static int stopFd();
  // Raises Stopped while stopping.
  static void raiseIfStopped();
  // Sleeps for `duration`, or less when the stop comes meanwhile; raises Stopped then.
  static void sleepFor(std::chrono::milliseconds duration);
};

}  // namespace velbor
