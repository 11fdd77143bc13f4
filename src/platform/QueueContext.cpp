#include "platform/QueueContext.h"

#include <exception>

#include "platform/Dispatch.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

// The raw pointer answers isCurrent() cheaply; the weak reference answers current().
thread_local const DispatchQueue* tQueue = nullptr;
thread_local std::weak_ptr<DispatchQueue> tQueueRef;

}  // namespace

void QueueContext::run(const DispatchQueue* queue, const std::weak_ptr<DispatchQueue>& ref, const std::string& label,
                       const std::function<void()>& job) {
  struct Restore {
    const DispatchQueue* queue = tQueue;
    std::weak_ptr<DispatchQueue> ref = tQueueRef;
    ~Restore() {
      tQueue = queue;
      tQueueRef = std::move(ref);
    }
  } restore;
  tQueue = queue;
  tQueueRef = ref;
  guard(label, job);
}

void QueueContext::guard(const std::string& what, const std::function<void()>& job) {
  try {
    if (job) job();
  } catch (const std::exception& e) {
    QoLog("{}: uncaught exception in job: {}", what, e.what());
  } catch (...) {
    QoLog("{}: uncaught exception in job", what);
  }
}

std::shared_ptr<DispatchQueue> QueueContext::current() { return tQueueRef.lock(); }

const DispatchQueue* QueueContext::currentRaw() { return tQueue; }

}  // namespace velbor
