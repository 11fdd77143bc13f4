#pragma once

#include <mutex>

#include "platform/ThreadSafety.h"

namespace velbor {

// A plain (not re-entrant) lock known to the thread-safety analysis. Take it with LockerGuard.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

}  // namespace velbor
