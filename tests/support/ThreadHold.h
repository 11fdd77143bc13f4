#pragma once

#include <sys/types.h>
#include <string>

namespace velbor::test {

// Holds one thread of this process, found by its name, in a signal handler until released:
// whatever the thread waits for piles up meanwhile, and it finds all of it at once when it
// goes on. A blocking call the signal interrupts fails with EINTR. One hold at a time.
class ThreadHold {
 public:
  // The thread named `name` (as the system shows it); none found leaves nothing to hold.
  explicit ThreadHold(const std::string& name);
  // Releases the thread when held.
  ~ThreadHold();
  ThreadHold(const ThreadHold&) = delete;
  ThreadHold& operator=(const ThreadHold&) = delete;

  bool found() const { return tid_ > 0; }
  // Stops the thread in the handler; true once it is there (within a guard time).
  bool hold();
  void release();

 private:
  pid_t tid_ = -1;
  bool held_ = false;
};

}  // namespace velbor::test
