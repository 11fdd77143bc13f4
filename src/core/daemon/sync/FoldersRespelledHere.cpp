#include "core/daemon/sync/FoldersRespelledHere.h"

namespace velbor {

FoldersRespelledHere& FoldersRespelledHere::shared() {
  // Never destroyed: pulls still running at exit note into it.
  static auto* instance = new FoldersRespelledHere();
  return *instance;
}

void FoldersRespelledHere::note(const std::map<std::string, std::string>& respelled) {
  std::lock_guard lock(mutex_);
  for (const auto& [oldPath, spelling] : respelled) {
    if (folders_.size() < kMostFolders) folders_.insert_or_assign(oldPath, spelling);
  }
}

std::map<std::string, std::string> FoldersRespelledHere::takeBelow(const std::string& root) {
  std::lock_guard lock(mutex_);
  std::map<std::string, std::string> taken;
  const std::string prefix = root + "/";
  for (auto it = folders_.lower_bound(prefix); it != folders_.end() && it->first.starts_with(prefix);) {
    taken.insert(*it);
    it = folders_.erase(it);
  }
  return taken;
}

}  // namespace velbor
