#pragma once

#include <string>
#include <string_view>

namespace velbor {

// The hidden temporary download name of one transfer: "<dir>/.<name>.Velbor.Download" beside
// the file, or, while another transfer of this process holds that name (two pairings
// fetching one file at once), "<dir>/.<name>.<n>.Velbor.Download" with the first free n from
// 2. Two transfers therefore never write into, install or remove each other's file. A name
// where something stands on disk is taken too (a file of the user's, or a download left by an
// earlier run that no journal knows of): it is never written into or removed. A file name
// too long to take the dot and
// suffix is shortened to its first whole characters and a digest of the name. The name is
// held until the object goes.
class TmpFileName {
 public:
  // `ownName`: the name is this process's own whatever stands there (a probe's, never a
  // download's), so a name taken on disk is not skipped.
  explicit TmpFileName(const std::string& filePath, bool ownName = false);
  ~TmpFileName();
  TmpFileName(const TmpFileName&) = delete;
  TmpFileName& operator=(const TmpFileName&) = delete;

  const std::string& path() const { return path_; }

  // Whether a file name (no folder) is one of these temporary names, ours to remove.
  static bool isTemporaryName(std::string_view name);

 private:
  std::string path_;
};

}  // namespace velbor
