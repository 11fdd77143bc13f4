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
  // Never destroyed: a pull on a worker still running at exit notes its installs later.
  static auto* instance = new OwnInstalls();
  return *instance;
}

void OwnInstalls::note(const std::string& path, const State& state, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  installed_.note(path, Installed{state, now});
  dropStale(now);
}

bool OwnInstalls::matches(const std::string& path, const State& state, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  dropStale(now);
  const Installed* installed = installed_.find(path);
  if (installed == nullptr) return false;
  const bool fresh = now - installed->noted < kLifetime;
  const bool same = installed->state == state;
  installed_.erase(path);
  return fresh && same;
}

void OwnInstalls::clear() {
  std::lock_guard lock(mutex_);
  installed_.clear();
}

size_t OwnInstalls::size() {
  std::lock_guard lock(mutex_);
  return installed_.size();
}

void OwnInstalls::dropStale(Clock::time_point now) {
  installed_.dropOldestWhile([now](const Installed& installed) { return now - installed.noted >= kLifetime; });
}

}  // namespace velbor
