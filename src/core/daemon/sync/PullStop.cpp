#include "core/daemon/sync/PullStop.h"

#include <condition_variable>
#include <mutex>

#include "platform/EventSignal.h"

namespace velbor {
namespace {

struct State {
  std::mutex lock;
  std::condition_variable changed;
  bool stopping = false;
  int running = 0;
  EventSignal signal;
};

State& state() {
  // Never destroyed: jobs still running at exit use it.
  static State& instance = *new State();
  return instance;
}

}  // namespace

PullStop::Running::Running() {
  State& s = state();
  std::lock_guard lock(s.lock);
  ++s.running;
}

PullStop::Running::~Running() {
  State& s = state();
  {
    std::lock_guard lock(s.lock);
    --s.running;
  }
  s.changed.notify_all();
}

void PullStop::stopAll() {
  State& s = state();
  {
    std::lock_guard lock(s.lock);
    s.stopping = true;
    s.signal.raise();
  }
  s.changed.notify_all();
}

bool PullStop::waitForPullsToEnd(std::chrono::milliseconds timeout) {
  State& s = state();
  std::unique_lock lock(s.lock);
  return s.changed.wait_for(lock, timeout, [&s] { return s.running == 0; });
}

void PullStop::resume() {
  State& s = state();
  std::lock_guard lock(s.lock);
  s.stopping = false;
  s.signal.clear();
}

bool PullStop::isStopping() {
  State& s = state();
  std::lock_guard lock(s.lock);
  return s.stopping;
}

int PullStop::stopFd() { return state().signal.fd(); }

void PullStop::raiseIfStopped() {
  if (isStopping()) throw Stopped();
}

void PullStop::sleepFor(std::chrono::milliseconds duration) {
  State& s = state();
  std::unique_lock lock(s.lock);
  if (s.changed.wait_for(lock, duration, [&s] { return s.stopping; })) throw Stopped();
}

}  // namespace velbor
