#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace velbor {

// Which folder each inotify watch stands for, both ways. Paths compare byte-wise; a folder
// is below another when the other's path followed by "/" begins it.
class InotifyWatchTable {
 public:
  // Records the watch of `path`; a watch the table knew under another path moves to this one.
  void add(int wd, const std::string& path);
  std::optional<std::string> pathOf(int wd) const;
  bool isWatched(const std::string& path) const { return byPath_.count(path) != 0; }
  // Forgets a watch the kernel dropped.
  void erase(int wd);
  // A folder was renamed: its watch and every watch below it take the new path.
  void rename(const std::string& from, const std::string& to);
  // Forgets the watches of `path` and below it and returns them.
  std::vector<int> takeAtOrBelow(const std::string& path);
  size_t size() const { return byWd_.size(); }

 private:
  std::unordered_map<int, std::string> byWd_;
  std::map<std::string, int> byPath_;
};

}  // namespace velbor
