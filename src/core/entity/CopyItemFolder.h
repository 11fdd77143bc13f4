#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velbor {

// The folder that holds one item of a local copy, opened from the copy's root one component
// at a time without following symbolic links. Every operation works on names inside this
// open folder, so nothing is written, moved or removed outside the copy or through a link,
// even if a folder on the way is swapped for a link meanwhile.
// Failures raise QoException; a path that is not strictly below the root, or that has an
// empty, "." or ".." component or a NUL, raises QoExceptionZeBadPath.
class CopyItemFolder {
 public:
  // Whether an entry stays when the folder holding it is removed: (its path, its name).
  using KeepFilter = std::function<bool(const std::string& path, const std::string& name)>;
  // Whether the item `name` of `folder`, just moved aside from where a file is installed, may go.
  using ReplaceCheck = std::function<bool(const CopyItemFolder& folder, const std::string& name)>;
  // The state each item had when it was judged free to go, by its path.
  using Judged = std::map<std::string, struct stat>;
  // How installFile put the file in place, told to a caller that may have to put it back:
  // nothing stood at the target; what stood there now stands at the source's name (the two
  // were exchanged) and is the caller's to remove; the target was the source file itself
  // under another name; what stood there is replaced for good (no exchange on this disk).
  enum class Placement { kNew, kExchanged, kSameItem, kReplacedForGood };
  // With the state the file was placed in: read before the rename (which keeps it), so a write
  // made right after is not taken for the install's.
  using Placed = std::function<void(Placement, const struct stat& placed)>;

  CopyItemFolder(const std::string& root, const std::string& path);
  ~CopyItemFolder();
  // Whether a folder on the way from `root` to `path` is absent (or no folder), the root
  // itself being there: nothing can then stand at `path`. False whenever it cannot be told
  // (the root cannot be opened, a bad path, another error): the constructor then raises.
  static bool folderOnTheWayMissing(const std::string& root, const std::string& path);
  CopyItemFolder(const CopyItemFolder&) = delete;
  CopyItemFolder& operator=(const CopyItemFolder&) = delete;

  // The last component of the path given to the constructor.
  const std::string& name() const { return name_; }

  // The item's own status (a link is not followed); nothing when it is absent, also when the
  // folder lists it only under another spelling (a disk that ignores letter case): such a name
  // is not there. The folders on the way must be listed under their spellings as well, or the
  // constructor raises as for a missing one.
  std::optional<struct stat> status(const std::string& name) const;
  // The name under which the folder lists the item that `name` reaches when that is another
  // spelling (empty when it cannot be told which); nothing when `name` is listed or absent.
  // Nothing is made under such a name: it would replace the item listed.
  std::optional<std::string> otherSpelling(const std::string& name) const;
  // Opens the regular file `name` for reading (never through a link) and hands the
  // descriptor to the caller, who closes it. Raises when it cannot be opened or is no
  // regular file.
  int openFileForReading(const std::string& name) const;
  // Raises unless `name` is a regular file whose content has the SHA-1 text `sha1`; a file
  // still as `checked` (from checkedFile) is not read again.
  void verifyFile(const std::string& name, const std::string& sha1,
                  const std::optional<struct stat>& checked = std::nullopt) const;
  // The status of `name` when it is a regular file with the SHA-1 text `sha1` and did not
  // change while it was read; nothing otherwise (installFile then reads it again and raises).
  std::optional<struct stat> checkedFile(const std::string& name, const std::string& sha1) const;
  // The same for an open regular file, read from its current offset.
  static std::optional<struct stat> checkedDescriptor(int fd, const std::string& sha1);
  // Checks that `sourceName` in `source` is a regular file with the SHA-1 text `sha1`, gives
  // it the permissions and modification time (ms), flushes it and renames it onto
  // `targetName` here. With `replace` a file or link standing there is replaced; without it
  // any item there raises. A folder there always raises. A file still as `checked` (from
  // checkedFile: same file, size and times) is not read again; one still as `synced` (from
  // DownloadSync, already flushed) with these permissions and time is not flushed again.
  // With `mayReplace`, an item standing at the target is replaced only when the check, made
  // after the flush on the item once moved aside, lets it go; otherwise it is put back and
  // this raises. A target that is the source file itself under another name is only renamed;
  // a target that the disk lists as another item in another spelling raises.
  // With `onPlaced`, it is told how the file was placed, and an item exchanged out of the target
  // stays at the source's name for it to remove.
  // Answers the status of the installed file right after the rename when it still has the
  // permissions, time and size the disk kept of those given (which a file system may round,
  // or show as one fixed mode); nothing when it was changed already, or cannot be read.
  std::optional<struct stat> installFile(const CopyItemFolder& source, const std::string& sourceName,
                                         const std::string& targetName, const std::string& sha1, int32_t permissions,
                                         int64_t mtime, bool replace,
                                         const std::optional<struct stat>& checked = std::nullopt,
                                         const std::optional<struct stat>& synced = std::nullopt,
                                         const ReplaceCheck& mayReplace = nullptr,
                                         const Placed& onPlaced = nullptr) const;
  // Renames `from` to `to`; raises when `to` exists.
  void moveNoReplace(const std::string& from, const std::string& to) const;
  // Renames `from` here to `to` in `target`; raises when `to` exists there.
  void moveNoReplace(const std::string& from, const CopyItemFolder& target, const std::string& to) const;
  // Gives the item `from` the name `to`, another spelling of it that a disk ignoring letter
  // case answers for already; raises when `to` is another item.
  void renameInLetterCase(const std::string& from, const std::string& to) const;
  // Renames `from` here onto `to` in `target` in one step, replacing a file or link there.
  void moveReplacing(const std::string& from, const CopyItemFolder& target, const std::string& to) const;
  // Permissions and modification time (ms) of a file or folder (not a link); with `judged`,
  // only while the item is still in that state (raises otherwise). Answers its state right
  // after: what a record of it may take, never a state read later, after someone's write.
  struct stat setAttributes(const std::string& name, int32_t permissions, int64_t mtime,
                            const std::optional<struct stat>& judged = std::nullopt) const;
  void setPermissions(const std::string& name, int32_t permissions) const;
  // Makes `name` a folder with the modification time (ms) and the permissions, or the default
  // mode without them; an existing folder keeps its content, any other item there is removed
  // first (callers check that it may go).
  void makeDirectory(const std::string& name, std::optional<int32_t> permissions, int64_t mtime) const;
  // Creates a new empty regular file; raises when anything stands at the name.
  void writeEmptyFile(const std::string& name) const;
  // The same, opened for reading and writing; the caller owns the descriptor.
  int openEmptyFile(const std::string& name) const;
  // A new descriptor of the open folder, which the caller closes; -1 when none can be had.
  int duplicateFolderDescriptor() const;
  // Removes the item, a folder with everything below it; an absent item is no error.
  void removeItem(const std::string& name) const;
  // The same, except that entries `keep` names stay, with the folders that hold them.
  // Answers whether the item is gone. With `judged`, an item not in the state it was judged
  // in (or not judged at all) stays, and this raises once the rest is removed.
  bool removeItemKeeping(const std::string& name, const KeepFilter& keep, const Judged* judged = nullptr) const;

  // Every path below `path`, which is `root` itself or a folder below it, in no set order.
  // Links are listed, never entered; names that are not UTF-8 are skipped with a log line
  // (they never leave the disk).
  static std::vector<std::string> listTree(const std::string& root, const std::string& path);

 private:
  // Moves `sourceName` of `source` onto `targetName` here, replacing what stands there only
  // when `mayReplace` lets it go once it is moved aside; see installFile.
  Placement replaceChecked(const CopyItemFolder& source, const std::string& sourceName, const std::string& targetName,
                           const ReplaceCheck& mayReplace, bool keepDisplaced) const;
  // The same where the file system cannot exchange two names: the item is checked where it
  // stands, then replaced.
  Placement replaceAfterCheck(const CopyItemFolder& source, const std::string& sourceName,
                              const std::string& targetName, const ReplaceCheck& mayReplace) const;
  // Gives `sourceName` of `source` the name `targetName` here, which already leads to that
  // very file (a file system that folds case, or a second link); nothing is removed.
  void renameOneItem(const CopyItemFolder& source, const std::string& sourceName, const std::string& targetName) const;

  int fd_ = -1;
  std::string path_;
  std::string name_;
};

}  // namespace velbor
