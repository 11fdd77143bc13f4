#include "core/entity/OwnInstalls.h"

namespace velbor {
namespace {

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

OwnInstalls::State OwnInstalls::State::of(const struct stat& status) {
  return State{status.st_dev, status.st_ino, status.st_size, status.st_mode, status.st_mtim, status.st_ctim};
}

bool OwnInstalls::State::operator==(const State& other) const {
  return device == other.device && inode == other.inode && size == other.size && mode == other.mode &&
         sameTime(mtime, other.mtime) && sameTime(ctime, other.ctime);
}

OwnInstalls& OwnInstalls::shared() {
  static OwnInstalls instance;
  return instance;
}

void OwnInstalls::note(const std::string& path, const State& state, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const uint64_t serial = ++serial_;
  entries_[path] = Entry{state, now, serial};
  order_.emplace_back(path, serial);
  dropStale(now);
}

bool OwnInstalls::matches(const std::string& path, const State& state, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  dropStale(now);
  const auto found = entries_.find(path);
  if (found == entries_.end()) return false;
  const bool fresh = now - found->second.noted < kLifetime;
  const bool same = found->second.state == state;
  entries_.erase(found);
  return fresh && same;
}

void OwnInstalls::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  order_.clear();
}

size_t OwnInstalls::size() {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void OwnInstalls::dropStale(Clock::time_point now) {
  while (!order_.empty()) {
    const auto& [path, serial] = order_.front();
    const auto found = entries_.find(path);
    const bool current = found != entries_.end() && found->second.serial == serial;
    // Notes already used up, replaced, expired, or beyond the bound (which bounds the notes
    // used up and still listed as well).
    if (current && now - found->second.noted < kLifetime && order_.size() <= kMaxEntries) break;
    if (current) entries_.erase(found);
    order_.pop_front();
  }
}

}  // namespace velbor
