#include "platform/NotificationCenter.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <utility>

#include "platform/QoLog.h"

namespace velbor {

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never deleted: observers may be removed by destructors that run late during exit.
  static NotificationCenter* center = new NotificationCenter();
  return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, Observer observer,
                                                          const void* sender) {
  auto shared = std::make_shared<Observer>(std::move(observer));
  std::lock_guard lock(mutex_);
  Token token = nextToken_++;
  entries_.push_back(Entry{token, name, sender, std::move(shared)});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::shared_ptr<Observer> removed;  // released after the lock: it may own anything
  std::lock_guard lock(mutex_);
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.token == token; });
  if (it == entries_.end()) return;
  removed = std::move(it->observer);
  entries_.erase(it);
}

void NotificationCenter::post(const Notification& notification) {
  std::vector<Entry> matching;
  {
    std::lock_guard lock(mutex_);
    for (const Entry& e : entries_) {
      if (!e.name.empty() && e.name != notification.name) continue;
      if (e.sender != nullptr && e.sender != notification.sender) continue;
      matching.push_back(e);
    }
  }
  // Called without the lock, so an observer may add or remove observers, or post.
  for (const Entry& e : matching) {
    {
      // One removed by an earlier observer of this post is not called any more.
      std::lock_guard lock(mutex_);
      bool present = std::any_of(entries_.begin(), entries_.end(), [&](const Entry& x) { return x.token == e.token; });
      if (!present) continue;
    }
    try {
      (*e.observer)(notification);
    } catch (const std::exception& ex) {
      QoLog("NotificationCenter: observer of {} failed: {}", notification.name, ex.what());
    } catch (...) {
      QoLog("NotificationCenter: observer of {} failed", notification.name);
    }
  }
}

void NotificationCenter::post(const std::string& name, std::any object, const void* sender) {
  post(Notification{name, std::move(object), sender});
}

}  // namespace velbor
