#pragma once

#include <cstddef>

namespace velbor::test {

// Makes the heap run out for one thread: while armed, every operator new on that thread
// throws std::bad_alloc, as it does when the system has no memory left. Every other thread
// allocates as usual. Linked only into a test program of its own, which it gives a
// replacement operator new.
class AllocationFailure {
 public:
  // From now on the calling thread gets no memory, until disarm() (which ends the one
  // failure below as well).
  static void armOnThisThread();
  static void disarm();
  // The next allocation of at least `minBytes` on the thread named `threadName` (as the
  // system shows it) fails, once; every other one is served.
  static void failOnceOnThreadNamed(const char* threadName, std::size_t minBytes);
  // Allocations refused since the program started.
  static int refusals();
};

}  // namespace velbor::test
