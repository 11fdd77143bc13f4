#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>

namespace velbor {

// Paths, each noted with a value, kept in the order they were noted and bounded in number:
// the oldest go first. A path noted again keeps only its latest value. Not locked: its owner
// guards it.
template <class Value>
class NotedPaths {
 public:
  explicit NotedPaths(size_t maxEntries) : maxEntries_(maxEntries) {}

  void note(const std::string& path, Value value) {
    entries_[path] = Entry{std::move(value), ++serial_};
    order_.emplace_back(path, serial_);
    dropOldestWhile([](const Value&) { return false; });
  }
  // The value noted for `path`, or nullptr; valid until the next change.
  Value* find(const std::string& path) {
    const auto found = entries_.find(path);
    return found == entries_.end() ? nullptr : &found->second.value;
  }
  void erase(const std::string& path) { entries_.erase(path); }
  void clear() {
    entries_.clear();
    order_.clear();
  }
  size_t size() const { return entries_.size(); }

  // Drops the oldest notes while there are more than the bound, or while `stale` holds for
  // the oldest value.
  template <class Stale>
  void dropOldestWhile(Stale stale) {
    while (!order_.empty()) {
      const auto found = entries_.find(order_.front().first);
      const bool current = found != entries_.end() && found->second.serial == order_.front().second;
      if (current && entries_.size() <= maxEntries_ && !stale(found->second.value)) break;
      if (current) entries_.erase(found);
      order_.pop_front();
    }
    // Notes replaced or erased since stay listed until the list has grown to twice the bound.
    if (order_.size() > 2 * maxEntries_) {
      std::erase_if(order_, [this](const auto& listed) { return !isCurrent(listed); });
    }
  }

 private:
  struct Entry {
    Value value;
    uint64_t serial = 0;
  };

  bool isCurrent(const std::pair<std::string, uint64_t>& listed) const {
    const auto found = entries_.find(listed.first);
    return found != entries_.end() && found->second.serial == listed.second;
  }

  const size_t maxEntries_;
  std::unordered_map<std::string, Entry> entries_;
  // Paths in the order they were noted, with the serial of that note.
  std::deque<std::pair<std::string, uint64_t>> order_;
  uint64_t serial_ = 0;
};

}  // namespace velbor
