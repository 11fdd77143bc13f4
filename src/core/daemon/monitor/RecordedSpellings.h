#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velbor {

// The spellings recorded present of a name gone from a copy on a disk that ignores letter case,
// for one batch of the monitor: a removal made through another spelling of a name is heard
// under that spelling only, and the spelling recorded must be looked at as well. Each folder's
// records are read once a batch, and none where the disk tells the spellings apart.
class RecordedSpellings {
 public:
  explicit RecordedSpellings(std::string root) : root_(std::move(root)) {}

  // The paths recorded present beside `path` whose names differ from its name in letter case
  // only.
  std::vector<std::string> of(const std::string& path);
  // Whether the copy's disk ignores letter case.
  bool ignoreCase();

 private:
  using ByFoldedName = std::unordered_map<std::string, std::vector<std::string>>;

  const std::string root_;
  std::optional<bool> ignoresCase_;
  std::unordered_map<std::string, ByFoldedName> folders_;
};

}  // namespace velbor
