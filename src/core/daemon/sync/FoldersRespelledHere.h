#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace velbor {

// Folders a pull found renamed here in letter case only, a moment before, while it made their
// old spelling again for a peer's items (see QoWorkerSync::respelledHere), each with the
// spelling the disk holds: kept until the pull's page ends and merges them back
// (QoWorkerSync::mergeIntoRespelling). Thread-safe; bounded in number (the last go).
class FoldersRespelledHere {
 public:
  static constexpr size_t kMostFolders = 4096;

  static FoldersRespelledHere& shared();

  void note(const std::map<std::string, std::string>& respelled);
  // Those below the folder `root`, forgotten here.
  std::map<std::string, std::string> takeBelow(const std::string& root);

 private:
  std::mutex mutex_;
  std::map<std::string, std::string> folders_;
};

}  // namespace velbor
