#pragma once

#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace velbor {

// Paths an install found changed on disk with nothing of the change recorded. The monitor
// records local changes as the file system's events tell of them; where none came (events
// lost, or a write made through another spelling of a folder on a FUSE disk that ignores case,
// which the watch of the listed spelling never hears of), the install would be refused at
// every pull for a change that is never recorded. It asks the monitor to look at the path
// instead: the monitor takes the paths asked at its next round. Bounded in number (asked again
// at the next refusal, a path dropped is not lost).
class LocalLooks {
 public:
  static constexpr size_t kMaxEntries = 4096;

  static LocalLooks& shared();

  void ask(const std::string& path);
  // The paths asked since the last call.
  std::vector<std::string> take();

 private:
  std::mutex mutex_;
  std::set<std::string> asked_;
};

}  // namespace velbor
