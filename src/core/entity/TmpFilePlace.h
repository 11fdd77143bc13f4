#pragma once

#include <sys/stat.h>

#include <string>

namespace velbor {

// Where one temporary download was created: its folder, held open from then on, and the
// file's identity. The folder may be moved away meanwhile, or its path taken by a link; the
// file is still removed from the folder it now stands in, by its name there, never through a
// link and never when another file has taken that name.
class TmpFilePlace {
 public:
  // Takes `folderFd`, closed when this goes; `name` is the file's name in that folder and
  // `file` the file's own status.
  TmpFilePlace(int folderFd, std::string name, const struct stat& file);
  ~TmpFilePlace();
  TmpFilePlace(const TmpFilePlace&) = delete;
  TmpFilePlace& operator=(const TmpFilePlace&) = delete;

  // Removes the file when its name in the folder still is that file; answers whether it did.
  // A failure is logged.
  bool remove() const;

 private:
  int folderFd_;
  std::string name_;
  dev_t device_;
  ino_t inode_;
};

}  // namespace velbor
