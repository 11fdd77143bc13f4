#pragma once

#include "platform/ThreadSafety.h"

namespace velbor {

// Holds a RecursiveLocker or Mutex from construction to the end of the scope, as the
// thread-safety analysis sees it (std::lock_guard is not annotated).
//
//   LockerGuard lock(Lockers::monitor());
template <class Locker>
class SCOPED_CAPABILITY LockerGuard {
 public:
  explicit LockerGuard(Locker& locker) ACQUIRE(locker) : locker_(locker) { locker_.lock(); }
  ~LockerGuard() RELEASE() { locker_.unlock(); }
  LockerGuard(const LockerGuard&) = delete;
  LockerGuard& operator=(const LockerGuard&) = delete;

 private:
  Locker& locker_;
};

}  // namespace velbor
