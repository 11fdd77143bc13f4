#pragma once

#include <mutex>

#include "platform/ThreadSafety.h"

namespace velbor {

// A re-entrant lock known to the thread-safety analysis: one thread may take it again while
// it holds it, and releases it as often as it took it. Take it with LockerGuard.
class CAPABILITY("mutex") RecursiveLocker {
 public:
  RecursiveLocker() = default;
  RecursiveLocker(const RecursiveLocker&) = delete;
  RecursiveLocker& operator=(const RecursiveLocker&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

}  // namespace velbor
