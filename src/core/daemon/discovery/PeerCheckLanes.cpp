#include "core/daemon/discovery/PeerCheckLanes.h"

#include <exception>
#include <utility>

#include "platform/Dispatch.h"
#include "platform/QoLog.h"

namespace velbor {

PeerCheckLanes::PeerCheckLanes(size_t lanes) : lanes_(lanes == 0 ? 1 : lanes) {}

void PeerCheckLanes::run(Job job) {
  {
    std::lock_guard guard(lock_);
    waiting_.push_back(std::move(job));
    if (active_ >= lanes_) return;
    ++active_;
  }
  try {
    DispatchQueue::globalQueue()->async([this] { drain(); });
  } catch (const std::exception& e) {
    QoLog("*** peer check not started, {}", e.what());
    std::lock_guard guard(lock_);
    --active_;
  }
}

void PeerCheckLanes::runAfter(std::chrono::milliseconds delay, Job job) {
  if (delay.count() <= 0) {
    run(std::move(job));
    return;
  }
  DispatchQueue::globalQueue()->after(delay, [this, job = std::move(job)]() mutable { run(std::move(job)); });
}

// One lane: runs waiting jobs until none is left.
void PeerCheckLanes::drain() {
  for (;;) {
    Job job;
    {
      std::lock_guard guard(lock_);
      if (waiting_.empty()) {
        --active_;
        return;
      }
      job = std::move(waiting_.front());
      waiting_.pop_front();
    }
    try {
      job();
    } catch (const std::exception& e) {
      QoLog("*** peer check failed, {}", e.what());
    }
  }
}

}  // namespace velbor
