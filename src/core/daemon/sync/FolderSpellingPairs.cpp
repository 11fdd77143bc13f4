#include "core/daemon/sync/FolderSpellingPairs.h"

#include <algorithm>

#include "core/entity/NameSpelling.h"

namespace velbor {

void FolderSpellingPairs::note(const std::string& path, ByFolded& same, const ByFolded& other) {
  const std::string key = NameSpelling::folded(path);
  std::vector<std::string>& paths = same[key];
  if (std::find(paths.begin(), paths.end(), path) != paths.end()) return;
  paths.push_back(path);
  const auto found = other.find(key);
  if (found == other.end()) return;
  const bool isRemoval = &same == &removed_;
  for (const std::string& spelling : found->second) {
    if (spelling == path) continue;
    (isRemoval ? pairedRemoved_ : pairedMade_).insert(path);
    (isRemoval ? pairedMade_ : pairedRemoved_).insert(spelling);
  }
}

}  // namespace velbor
