#pragma once

#include <string>

namespace velbor {

// What kind of file system holds a folder, as far as a sync folder cares: the kernel's own
// views (processes, devices, control groups...) show files that are endless, huge or change
// on every read, and are never a place for one.
class FileSystemKind {
 public:
  FileSystemKind() = delete;

  // The name of the pseudo file system holding `path` (an absolute path without links):
  // "proc", "sysfs"...; empty for an ordinary one.
  static std::string pseudoName(const std::string& path);
  // Whether this process's user may create and remove entries in the folder `path`.
  static bool isWritableFolder(const std::string& path);
};

}  // namespace velbor
