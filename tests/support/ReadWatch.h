#pragma once

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

namespace velbor::test {

// Watches one folder for its entries being read (inotify): tells which names were read and
// closed again without writing, so a test can see when, and how often, a file is hashed.
class ReadWatch {
 public:
  explicit ReadWatch(const std::string& folder) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0) inotify_add_watch(fd_, folder.c_str(), IN_ACCESS | IN_CLOSE_NOWRITE);
  }
  ~ReadWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  ReadWatch(const ReadWatch&) = delete;
  ReadWatch& operator=(const ReadWatch&) = delete;

  // Waits (bounded) until every one of `names` has been read and closed; false on time-out.
  bool waitUntilRead(const std::set<std::string>& names, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (true) {
      collect(50);
      bool all = true;
      for (const std::string& name : names) all = all && closedAfterRead_.count(name) != 0;
      if (all) return true;
      if (std::chrono::steady_clock::now() >= end) return false;
    }
  }

  // Names read since the last call (each read of a block counts), the events waiting now included.
  std::vector<std::string> takeReads() {
    collect(0);
    std::vector<std::string> taken;
    taken.swap(reads_);
    return taken;
  }

 private:
  void collect(int timeoutMs) {
    pollfd ready{fd_, POLLIN, 0};
    if (fd_ < 0 || ::poll(&ready, 1, timeoutMs) <= 0) return;
    alignas(inotify_event) char buffer[8192];
    ssize_t length = 0;
    while ((length = ::read(fd_, buffer, sizeof(buffer))) > 0) {
      for (char* at = buffer; at < buffer + length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        const std::string name = event->len > 0 ? event->name : "";
        if (!name.empty() && (event->mask & IN_ACCESS) != 0) {
          reads_.push_back(name);
          read_.insert(name);
        }
        if (!name.empty() && (event->mask & IN_CLOSE_NOWRITE) != 0 && read_.count(name) != 0) {
          closedAfterRead_.insert(name);
        }
        at += sizeof(inotify_event) + event->len;
      }
    }
  }

  int fd_;
  std::vector<std::string> reads_;
  std::set<std::string> read_;
  std::set<std::string> closedAfterRead_;
};

}  // namespace velbor::test
