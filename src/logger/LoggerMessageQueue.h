#pragma once

#include <cstddef>
#include <deque>
#include <vector>

#include "logger/LoggerMessage.h"

namespace velbor {

// The ordered messages of a logger waiting to be sent, with the bytes they hold, so that what
// is kept in memory can be bounded. Guarded by the logger's queue lock.
class LoggerMessageQueue {
 public:
  using const_iterator = std::deque<LoggerMessageRef>::const_iterator;

  bool empty() const { return messages_.empty(); }
  size_t size() const { return messages_.size(); }
  size_t bytes() const { return bytes_; }
  const LoggerMessageRef& front() const { return messages_.front(); }
  const LoggerMessageRef& operator[](size_t index) const { return messages_[index]; }
  const_iterator begin() const { return messages_.begin(); }
  const_iterator end() const { return messages_.end(); }

  void insert(size_t index, LoggerMessageRef message);
  void insertFront(const std::vector<LoggerMessageRef>& messages);
  void pop_front();
  void clear();

 private:
  std::deque<LoggerMessageRef> messages_;
  size_t bytes_ = 0;
};

}  // namespace velbor
