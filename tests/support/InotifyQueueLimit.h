#pragma once

#include <fstream>
#include <string>

// Header-only: the support library itself links none of the engine libraries.
namespace velbor::test {

// Lowers fs.inotify.max_queued_events while in scope (root only). An inotify instance made
// meanwhile keeps the low limit for its whole life, so the scope should hold nothing but the
// creation of that instance: the value is restored at once, whatever happens.
class InotifyQueueLimit {
 public:
  explicit InotifyQueueLimit(int limit) {
    std::ifstream in(kPath);
    if (!(in >> old_)) return;
    std::ofstream out(kPath);
    out << limit;
    out.flush();
    lowered_ = static_cast<bool>(out);
  }
  ~InotifyQueueLimit() {
    if (!lowered_) return;
    std::ofstream out(kPath);
    out << old_;
  }
  InotifyQueueLimit(const InotifyQueueLimit&) = delete;
  InotifyQueueLimit& operator=(const InotifyQueueLimit&) = delete;

  bool lowered() const { return lowered_; }

 private:
  static constexpr const char* kPath = "/proc/sys/fs/inotify/max_queued_events";
  std::string old_;
  bool lowered_ = false;
};

}  // namespace velbor::test
