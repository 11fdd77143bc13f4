#include "logger/LoggerMessageQueue.h"

namespace velbor {

void LoggerMessageQueue::insert(size_t index, LoggerMessageRef message) {
  bytes_ += message->size();
  messages_.insert(messages_.begin() + static_cast<std::ptrdiff_t>(index), std::move(message));
}

void LoggerMessageQueue::insertFront(const std::vector<LoggerMessageRef>& messages) {
  for (const auto& message : messages) bytes_ += message->size();
  messages_.insert(messages_.begin(), messages.begin(), messages.end());
}

void LoggerMessageQueue::pop_front() {
  bytes_ -= messages_.front()->size();
  messages_.pop_front();
}

void LoggerMessageQueue::clear() {
  messages_.clear();
  bytes_ = 0;
}

}  // namespace velbor
