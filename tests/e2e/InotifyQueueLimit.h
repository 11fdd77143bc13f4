#pragma once

#include <string>

namespace velbor::test {

// Lowers fs.inotify.max_queued_events for as long as the object lives and puts the old
// value back in the destructor, whatever the test did. An inotify instance made meanwhile
// keeps the low limit, so its queue overflows easily. Keep the scope short: other
// processes on the machine get the low limit too.
class InotifyQueueLimit {
 public:
  explicit InotifyQueueLimit(int events);
  ~InotifyQueueLimit();
  InotifyQueueLimit(const InotifyQueueLimit&) = delete;
  InotifyQueueLimit& operator=(const InotifyQueueLimit&) = delete;

  bool lowered() const { return !previous_.empty(); }

 private:
  std::string previous_;
};

}  // namespace velbor::test
