#pragma once

#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace velbor {

// The folders a peer removed and made over the pages of one run, paired where a made one is
// another spelling of a removed one (the peer renamed it in letter case only). Each folder is
// folded once, as it comes: the pairs are looked for among what came before, not by going over
// every folder of the run again at each page.
class FolderSpellingPairs {
 public:
  void removed(const std::string& path) { note(path, removed_, made_); }
  void made(const std::string& path) { note(path, made_, removed_); }
  // The removed folders that a made one respells, and those made ones.
  const std::set<std::string>& oldSpellings() const { return pairedRemoved_; }
  const std::set<std::string>& newSpellings() const { return pairedMade_; }

 private:
  using ByFolded = std::unordered_map<std::string, std::vector<std::string>>;

  void note(const std::string& path, ByFolded& same, const ByFolded& other);

  ByFolded removed_;
  ByFolded made_;
  std::set<std::string> pairedRemoved_;
  std::set<std::string> pairedMade_;
};

}  // namespace velbor
