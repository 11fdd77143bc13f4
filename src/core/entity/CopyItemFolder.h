#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

namespace velbor {

// The folder that holds one item of a local copy, opened from the copy's root one component
// at a time without following symbolic links. Every operation works on names inside this
// open folder, so nothing is written, moved or removed outside the copy or through a link,
// even if a folder on the way is swapped for a link meanwhile.
// Failures raise QoException; a path that is not strictly below the root, or that has an
// empty, "." or ".." component or a NUL, raises QoExceptionZeBadPath.
class CopyItemFolder {
 public:
  CopyItemFolder(const std::string& root, const std::string& path);
  ~CopyItemFolder();
  CopyItemFolder(const CopyItemFolder&) = delete;
  CopyItemFolder& operator=(const CopyItemFolder&) = delete;

  // The last component of the path given to the constructor.
  const std::string& name() const { return name_; }

  // The item's own status (a link is not followed); nothing when it is absent.
  std::optional<struct stat> status(const std::string& name) const;
  // Raises unless `name` is a regular file whose content has the SHA-1 text `sha1`; a file
  // still as `checked` (from checkedFile) is not read again.
  void verifyFile(const std::string& name, const std::string& sha1,
                  const std::optional<struct stat>& checked = std::nullopt) const;
  // The status of `name` when it is a regular file with the SHA-1 text `sha1` and did not
  // change while it was read; nothing otherwise (installFile then reads it again and raises).
  std::optional<struct stat> checkedFile(const std::string& name, const std::string& sha1) const;
  // Checks that `sourceName` in `source` is a regular file with the SHA-1 text `sha1`, gives
  // it the permissions and modification time (ms), flushes it and renames it onto
  // `targetName` here. With `replace` a file or link standing there is replaced; without it
  // any item there raises. A folder there always raises. A file still as `checked` (from
  // checkedFile: same file, size and times) is not read again.
  void installFile(const CopyItemFolder& source, const std::string& sourceName, const std::string& targetName,
                   const std::string& sha1, int32_t permissions, int64_t mtime, bool replace,
                   const std::optional<struct stat>& checked = std::nullopt) const;
  // Renames `from` to `to`; raises when `to` exists.
  void moveNoReplace(const std::string& from, const std::string& to) const;
  // Permissions and modification time (ms) of a file or folder (not a link).
  void setAttributes(const std::string& name, int32_t permissions, int64_t mtime) const;
  // Makes `name` a folder with these attributes; an existing folder keeps its content, any
  // other item there is removed first.
  void makeDirectory(const std::string& name, int32_t permissions, int64_t mtime) const;
  // Creates (or truncates) an empty regular file, never through a link.
  void writeEmptyFile(const std::string& name) const;
  // Removes the item, a folder with everything below it; an absent item is no error.
  void removeItem(const std::string& name) const;

 private:
  int fd_ = -1;
  std::string path_;
  std::string name_;
};

}  // namespace velbor
