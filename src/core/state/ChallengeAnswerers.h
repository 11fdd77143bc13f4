#pragma once

#include <mutex>
#include <set>
#include <string>

namespace velbor {

// The devices that have answered with our challenge (or named our offer's token) in a
// signed answer since this process started. An answer without one from such a device is no
// answer of an earlier version: it was recorded before the device was upgraded, or given to
// another asker, and is taken as an answer to another request.
class ChallengeAnswerers {
 public:
  // Never destroyed: answers may come until the process ends.
  static ChallengeAnswerers& shared();

  void add(const std::string& deviceUuid);
  bool contains(const std::string& deviceUuid) const;
  // Tests: a fresh start.
  void clear();

 private:
  ChallengeAnswerers() = default;

  mutable std::mutex mutex_;
  // At most one entry per device heard.
  std::set<std::string> devices_;
};

}  // namespace velbor
