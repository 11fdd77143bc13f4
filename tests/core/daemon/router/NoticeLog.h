#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "core/state/QoNotices.h"
#include "core/state/QoNotify.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"

namespace velbor::test {

// Records every notice of one type while it lives.
template <class Notice>
class NoticeLog {
 public:
  NoticeLog() {
    token_ = QoNotices::observe<Notice>([this](const Notice& notice) {
      std::lock_guard lock(mutex_);
      notices_.push_back(notice);
      changed_.notify_all();
    });
  }
  ~NoticeLog() { NotificationCenter::defaultCenter().removeObserver(token_); }
  NoticeLog(const NoticeLog&) = delete;
  NoticeLog& operator=(const NoticeLog&) = delete;

  // The notices delivered so far, after everything already posted has been delivered.
  std::vector<Notice> delivered() {
    QoNotify::notifyQueue()->sync([] {});
    std::lock_guard lock(mutex_);
    return notices_;
  }
  // Waits until `count` notices have come (a guard against a hung test, not a timing).
  std::vector<Notice> waitFor(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return notices_.size() >= count; });
    return notices_;
  }

 private:
  NotificationCenter::Token token_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Notice> notices_;
};

}  // namespace velbor::test
