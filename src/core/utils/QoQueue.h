#pragma once

#include <deque>
#include <optional>
#include <utility>

namespace velbor {

// A FIFO with the head at the front. Not locked: a queue belongs to one thread.
template <typename T>
class QoQueue {
 public:
  void enqueue(T object) { items_.push_back(std::move(object)); }

  // The head, removed; nothing when the queue is empty.
  std::optional<T> dequeue() {
    if (items_.empty()) return std::nullopt;
    std::optional<T> head(std::move(items_.front()));
    items_.pop_front();
    return head;
  }

  std::size_t count() const { return items_.size(); }
  bool empty() const { return items_.empty(); }

 private:
  std::deque<T> items_;
};

}  // namespace velbor
