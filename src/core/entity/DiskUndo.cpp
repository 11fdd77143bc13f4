#include "core/entity/DiskUndo.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>

#include "core/entity/QoFile.h"
#include "core/entity/RenameWithFlags.h"
#include "core/utils/QoUtils.h"
#include "framework/persistence/PersistentObject.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

// A folder of the copy held open until the transaction's end decides about its items.
class HeldFolder {
 public:
  explicit HeldFolder(const CopyItemFolder& folder) : fd_(folder.duplicateFolderDescriptor()) {}
  ~HeldFolder() {
    if (fd_ >= 0) ::close(fd_);
  }
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

using Held = std::shared_ptr<const HeldFolder>;

Held hold(const CopyItemFolder& folder) {
  auto held = std::make_shared<const HeldFolder>(folder);
  return held->fd() >= 0 ? held : nullptr;
}

// What the engine left at `name`: the item (its inode), its size, mode and modification time.
// A write since moves the time or the size, a chmod the mode; nothing when absent.
struct Left {
  ino_t inode;
  off_t size;
  mode_t mode;
  timespec modified;
  nlink_t links;
};

std::optional<Left> leftAt(int folder, const std::string& name) {
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return Left{status.st_ino, status.st_size, status.st_mode, status.st_mtim, status.st_nlink};
}

// What the engine left at `name`: `state`, as its step read it before anyone could hear of it,
// under the inode `name` has now (exfat-fuse numbers a file anew under a new name). A write
// made right after the step is then the user's, never taken for the engine's.
std::optional<Left> leftAs(int folder, const std::string& name, const struct stat& state) {
  auto left = leftAt(folder, name);
  if (left) *left = Left{left->inode, state.st_size, state.st_mode, state.st_mtim, left->links};
  return left;
}

// Whether `name` is still what the engine left there: an item changed since (a user's write,
// a chmod) is the user's, and is neither removed nor given back older attributes.
bool still(const Held& folder, const std::string& name, const std::optional<Left>& left) {
  if (!folder || !left) return false;
  const auto now = leftAt(folder->fd(), name);
  return now && now->inode == left->inode && now->size == left->size && now->mode == left->mode &&
         now->modified.tv_sec == left->modified.tv_sec && now->modified.tv_nsec == left->modified.tv_nsec;
}

void logFailed(const char* what, const std::string& name) {
  QoLog("*** {} ({}) not put back, {}", what, name, std::strerror(errno));
}

// Whether the regular file `name` holds the content of SHA-1 `content`.
bool holds(const Held& folder, const std::string& name, const std::string& content) {
  const int fd = ::openat(folder->fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const auto sha1 = QoUtils::getSha1StringWithInputStream(fd);
  ::close(fd);
  return sha1 && *sha1 == content;
}

// Gives `name` the permissions and times of `before` again. A file that no longer holds
// `content` (when given), the one its install judged, was written meanwhile (also before its
// stamp, which no status tells): it takes its permissions back and the time of now, as that
// write would have given it, so that any later look, after a restart too, sees the change.
void restoreAttributes(const Held& folder, const std::string& name, const struct stat& before,
                       const std::string& content = std::string()) {
  timespec times[2] = {before.st_atim, before.st_mtim};
  if (!content.empty() && S_ISREG(before.st_mode) && !holds(folder, name, content)) {
    QoLog("*** ({}) was written while its install was undone: its time is now", name);
    // The time itself, not UTIME_NOW: exfat-fuse takes the special values for times.
    ::clock_gettime(CLOCK_REALTIME, &times[1]);
    times[0] = times[1];
  }
  if (::fchmodat(folder->fd(), name.c_str(), before.st_mode & 07777, AT_SYMLINK_NOFOLLOW) != 0 ||
      ::utimensat(folder->fd(), name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    logFailed("Attributes of", name);
  }
}

// Renames without replacing: a name taken meanwhile keeps what took it.
bool renameBack(const Held& from, const std::string& fromName, const Held& to, const std::string& toName) {
  if (RenameWithFlags::rename(from->fd(), fromName.c_str(), to->fd(), toName.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (!RenameWithFlags::flagsRefused(errno) || leftAt(to->fd(), toName)) return false;
  return ::renameat(from->fd(), fromName.c_str(), to->fd(), toName.c_str()) == 0;
}

void removeFile(const Held& folder, const std::string& name, const std::optional<Left>& left) {
  if (still(folder, name, left) && ::unlinkat(folder->fd(), name.c_str(), 0) != 0 && errno != ENOENT) {
    logFailed("Remove of", name);
  }
}

// The file `name` of `from` that an install exchanged out of the way of `to`/`target`, when it
// cannot simply go or come back (written since through a descriptor opened before, or the file
// put in its place was): it comes in beside the target as a conflict copy instead of staying
// under a hidden name.
void keepAside(const Held& from, const std::string& name, const std::optional<Left>& displaced, const Held& to,
               const std::string& target) {
  const auto now = from && to && displaced ? leftAt(from->fd(), name) : std::nullopt;
  if (!now || now->inode != displaced->inode || !S_ISREG(now->mode)) return;
  // Another name holds it still, and shows the write: a copy would only repeat it.
  if (now->links > 1) {
    if (::unlinkat(from->fd(), name.c_str(), 0) != 0) logFailed("Remove of", name);
    return;
  }
  const std::string copy = QoFile::conflictPathOf(target);
  if (!renameBack(from, name, to, copy)) {
    logFailed("Replaced file", target);
    return;
  }
  QoLog("*** ({}) was written while an install replaced it: the file it replaced is kept as ({})", target, copy);
}

}  // namespace

void DiskUndo::installed(CopyItemFolder::Placement placement, const CopyItemFolder& source,
                         const std::string& sourceName, const CopyItemFolder& target, const std::string& targetName,
                         const struct stat& placedState, bool backToSource,
                         const std::optional<struct stat>& attributesBefore, const std::string& content) {
  using Placement = CopyItemFolder::Placement;
  if (placement == Placement::kReplacedForGood) return;
  const Held from = hold(source);
  const Held to = hold(target);
  if (!from || !to) return;
  const auto placed = leftAs(to->fd(), targetName, placedState);
  if (placement != Placement::kExchanged) {
    const bool back = backToSource || placement == Placement::kSameItem;
    PersistentObject::onRollback([=] {
      if (!still(to, targetName, placed)) return;
      if (!back) {
        removeFile(to, targetName, placed);
      } else if (!renameBack(to, targetName, from, sourceName)) {
        logFailed("Move of", targetName);
      } else if (attributesBefore) {
        restoreAttributes(from, sourceName, *attributesBefore, content);
      }
    });
    return;
  }
  const auto displaced = leftAt(from->fd(), sourceName);
  PersistentObject::onCommit([=] {
    if (still(from, sourceName, displaced)) return removeFile(from, sourceName, displaced);
    keepAside(from, sourceName, displaced, to, targetName);
  });
  PersistentObject::onRollback([=] {
    // Nothing is put back over a write, on either side.
    if (!still(to, targetName, placed) || !still(from, sourceName, displaced)) {
      return keepAside(from, sourceName, displaced, to, targetName);
    }
    if (RenameWithFlags::rename(from->fd(), sourceName.c_str(), to->fd(), targetName.c_str(), RENAME_EXCHANGE) != 0) {
      logFailed("Exchange of", targetName);
      return;
    }
    if (!backToSource) {
      removeFile(from, sourceName, placed);
    } else if (attributesBefore) {
      restoreAttributes(from, sourceName, *attributesBefore, content);
    }
  });
}

void DiskUndo::moved(const CopyItemFolder& folder, const std::string& from, const std::string& to) {
  const Held held = hold(folder);
  if (!held) return;
  const auto left = leftAt(held->fd(), to);
  PersistentObject::onRollback([=] {
    if (still(held, to, left) && !renameBack(held, to, held, from)) logFailed("Move of", to);
  });
}

void DiskUndo::madeFolder(const CopyItemFolder& folder, const std::string& name) {
  const Held held = hold(folder);
  if (!held) return;
  const auto made = leftAt(held->fd(), name);
  PersistentObject::onRollback([=] {
    // A folder something was put in since stays, with it (its times move with what is put back).
    const auto now = leftAt(held->fd(), name);
    if (made && now && now->inode == made->inode) ::unlinkat(held->fd(), name.c_str(), AT_REMOVEDIR);
  });
}

void DiskUndo::attributesSet(const CopyItemFolder& folder, const std::string& name, const struct stat& before,
                             const struct stat& stamped, const std::string& content) {
  const Held held = hold(folder);
  if (!held) return;
  const auto set = leftAs(held->fd(), name, stamped);
  PersistentObject::onRollback([=] {
    if (still(held, name, set)) restoreAttributes(held, name, before, content);
  });
}

}  // namespace velbor
