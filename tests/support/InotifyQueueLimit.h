#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace velbor::test {

inline constexpr const char* kInotifyLimitLockPath = "/tmp/velbor-inotify-limit.lock";

// Header-only: the support library itself links none of the engine libraries.
// Lowers fs.inotify.max_queued_events while in scope (root only). An inotify instance made
// meanwhile keeps the low limit for its whole life, so the scope should hold nothing but the
// creation of that instance: the value is restored at once, whatever happens.
// The setting is one for the whole machine: test processes that lower it at the same time
// would restore each other's values in the wrong order (leaving it low for good, or high
// under a test that needs it low), so each holds a lock file for its scope.
class InotifyQueueLimit {
 public:
  explicit InotifyQueueLimit(int limit) {
    lock_ = ::open(kInotifyLimitLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_ >= 0) ::flock(lock_, LOCK_EX);
    std::ifstream in(kPath);
    if (!(in >> old_)) return;
    std::ofstream out(kPath);
    out << limit;
    out.flush();
    lowered_ = static_cast<bool>(out);
  }
  ~InotifyQueueLimit() {
    if (lowered_) {
      std::ofstream out(kPath);
      out << old_;
    }
    if (lock_ >= 0) ::close(lock_);
  }
  InotifyQueueLimit(const InotifyQueueLimit&) = delete;
  InotifyQueueLimit& operator=(const InotifyQueueLimit&) = delete;

  bool lowered() const { return lowered_; }

 private:
  static constexpr const char* kPath = "/proc/sys/fs/inotify/max_queued_events";
  std::string old_;
  bool lowered_ = false;
  int lock_ = -1;
};

// Held while an inotify instance is made that must have the machine's usual limit: no test
// process lowers it meanwhile (an instance made while another test lowered it keeps the low
// limit and loses events).
class InotifyQueueKept {
 public:
  InotifyQueueKept() {
    lock_ = ::open(kInotifyLimitLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_ >= 0) ::flock(lock_, LOCK_SH);
  }
  ~InotifyQueueKept() {
    if (lock_ >= 0) ::close(lock_);
  }
  InotifyQueueKept(const InotifyQueueKept&) = delete;
  InotifyQueueKept& operator=(const InotifyQueueKept&) = delete;

 private:
  int lock_ = -1;
};

}  // namespace velbor::test
