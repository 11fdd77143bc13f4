#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace velbor {

// Where one temporary download was created: its folder, held open from then on, and the
// file's identity. The folder may be moved away meanwhile, or its path taken by a link; the
// file is still removed from the folder it now stands in, by its name there, never through a
// link and never when another file has taken that name.
class TmpFilePlace {
 public:
  // Takes `folderFd`, closed when this goes; `name` is the file's name in that folder, `path`
  // its whole path and `file` the file's own status. The download journal keeps it as in
  // progress while this lives.
  TmpFilePlace(int folderFd, std::string name, const std::string& path, const struct stat& file);
  ~TmpFilePlace();
  TmpFilePlace(const TmpFilePlace&) = delete;
  TmpFilePlace& operator=(const TmpFilePlace&) = delete;

  // Removes the file when its name in the folder still is that file; answers whether it did.
  // A failure is logged.
  bool remove() const;
  // Whether the file still stands in its folder under its name.
  bool stands() const;
  // Whether the download journal took it (or keeps nothing): a download it could not note
  // (its disk is full) would be left behind for good by a kill.
  bool noted() const { return journalEntry_ != 0; }

 private:
  int folderFd_;
  std::string name_;
  dev_t device_;
  ino_t inode_;
  uint64_t journalEntry_;
};

}  // namespace velbor
