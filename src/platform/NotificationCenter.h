#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velbor {

struct Notification {
  std::string name;
  // The notification's object, usually a std::shared_ptr of an entity or a message.
  std::any object;
  // Identity of the poster, for observers that only listen to one sender.
  const void* sender = nullptr;
};

// Observers by name (and optionally by sender); posting is synchronous on the caller's
// thread and calls the matching observers in the order they were added.
class NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;
  using Token = std::uint64_t;

  static NotificationCenter& defaultCenter();

  // An empty name observes every notification; a null sender accepts every sender.
  Token addObserver(const std::string& name, Observer observer, const void* sender = nullptr);
  // After this returns the observer is not called by posts that start later.
  void removeObserver(Token token);
  void post(const Notification& notification);
  void post(const std::string& name, std::any object = {}, const void* sender = nullptr);

 private:
  struct Entry {
    Token token;
    std::string name;
    const void* sender;
    std::shared_ptr<Observer> observer;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  Token nextToken_ = 1;
};

}  // namespace velbor
