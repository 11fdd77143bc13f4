#pragma once

#include <string>
#include <string_view>

namespace velbor {

// The hidden temporary download name of one transfer: "<dir>/.<name>.Velbor.Download" beside
// the file, or, while another transfer of this process holds that name (two pairings
// fetching one file at once), "<dir>/.<name>.<n>.Velbor.Download" with the first free n from
// 2. Two transfers therefore never write into, install or remove each other's file; a name
// left on disk by an earlier run is simply reused. A file name too long to take the dot and
// suffix is shortened to its first whole characters and a digest of the name. The name is
// held until the object goes.
class TmpFileName {
 public:
  explicit TmpFileName(const std::string& filePath);
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
