#pragma once

#include <mutex>
#include <vector>

#include "core/state/QoNotices.h"

namespace velbor::test {

// Records every notice of one type posted while it lives.
template <class Notice>
class NoticeRecorder {
 public:
  NoticeRecorder()
      : token_(QoNotices::observe<Notice>([this](const Notice& notice) {
          std::lock_guard lock(mutex_);
          notices_.push_back(notice);
        })) {}
  ~NoticeRecorder() { NotificationCenter::defaultCenter().removeObserver(token_); }
  NoticeRecorder(const NoticeRecorder&) = delete;
  NoticeRecorder& operator=(const NoticeRecorder&) = delete;

  std::vector<Notice> notices() const {
    std::lock_guard lock(mutex_);
    return notices_;
  }
  size_t size() const { return notices().size(); }

 private:
  mutable std::mutex mutex_;
  std::vector<Notice> notices_;
  NotificationCenter::Token token_;
};

}  // namespace velbor::test
