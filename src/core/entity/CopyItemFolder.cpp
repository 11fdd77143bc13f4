#include "core/entity/CopyItemFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/entity/DiskSteps.h"
#include "core/entity/FileFlush.h"
#include "core/entity/FileTimes.h"
#include "core/entity/ModeKeeping.h"
#include "core/entity/NameSpelling.h"
#include "core/entity/RenameWithFlags.h"
#include "core/entity/TmpFileName.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoException.h"
#include "framework/errors/QoExceptionProto.h"
#include "platform/QoLog.h"
#include "platform/Utf8.h"

namespace velbor {
namespace {

std::string errnoText(int error) { return std::strerror(error); }

[[noreturn]] void raise(const std::string& what, const std::string& path, int error) {
  throw QoException::defaultExceptionWithReason("{} ({}) failed, {}", what, path, errnoText(error));
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Hands the descriptor over to the caller.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

std::vector<std::string> splitComponents(const std::string& relative) {
  std::vector<std::string> components;
  size_t start = 0;
  while (true) {
    const size_t slash = relative.find('/', start);
    components.push_back(relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return components;
}

std::string sha1OfDescriptor(int fd, const std::string& path) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) raise("stat", path, errno);
  if (!S_ISREG(status.st_mode)) throw QoException::defaultExceptionWithReason("({}) is not a regular file", path);
  std::optional<std::string> sha1 = QoUtils::getSha1StringWithInputStream(fd);
  if (!sha1) throw QoException::defaultExceptionWithReason("reading ({}) failed", path);
  return *sha1;
}

// Opens the regular file `name` in the folder `folder` for reading, never through a link.
// O_NONBLOCK: a pipe standing at the name must be refused, not waited on for a writer.
int openRegularFile(int folder, const std::string& name, const std::string& path) {
  Descriptor file(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) raise("open", path, errno);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) raise("stat", path, errno);
  if (!S_ISREG(status.st_mode)) throw QoException::defaultExceptionWithReason("({}) is not a regular file", path);
  const int flags = ::fcntl(file.get(), F_GETFL);
  if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) raise("open", path, errno);
  return file.release();
}

void checkSha1(const std::string& actual, const std::string& expected, const std::string& path) {
  if (actual != expected) {
    throw QoException::defaultExceptionWithReason("content of ({}) has SHA-1 {}, the record has {}", path, actual,
                                                  expected);
  }
}

// Raises unless the open file has the SHA-1 text `sha1` and did not change while it was read;
// one still as `checked` is not read. Answers the state whose content was checked.
struct stat verifyOpenFile(int fd, const std::string& path, const std::string& sha1,
                           const std::optional<struct stat>& checked) {
  struct stat before {};
  if (::fstat(fd, &before) != 0) raise("stat", path, errno);
  if (!checked || !unchangedSince(*checked, before)) {
    checkSha1(sha1OfDescriptor(fd, path), sha1, path);
    struct stat after {};
    if (::fstat(fd, &after) != 0) raise("stat", path, errno);
    if (!unchangedSince(before, after)) {
      throw QoException::defaultExceptionWithReason("({}) changed while it was read", path);
    }
  }
  DiskSteps::passed(DiskStep::Hash, path);
  return before;
}

// Raises unless the open file is still in the state `read`.
void ensureUnchanged(int fd, const std::string& path, const struct stat& read) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) raise("stat", path, errno);
  if (!unchangedSince(read, now)) throw QoException::defaultExceptionWithReason("({}) changed since it was read", path);
}

// Raises unless the item `name` of `folder` is still in the state `judged`.
void ensureUnchangedAt(int folder, const std::string& name, const std::string& path, const struct stat& judged) {
  struct stat now {};
  if (::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !unchangedSince(judged, now)) {
    throw QoException::defaultExceptionWithReason("({}) changed on disk since it was judged", path);
  }
}

// An open folder listing, closed on leaving the scope.
class FolderListing {
 public:
  // Opens the folder `name` below `parent` (or `parent` itself for "."), never through a link.
  FolderListing(int parent, const std::string& name, const std::string& path) {
    const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) raise("open folder", path, errno);
    dir_ = ::fdopendir(fd);
    if (dir_ == nullptr) {
      const int error = errno;
      ::close(fd);
      raise("list folder", path, error);
    }
  }
  ~FolderListing() { ::closedir(dir_); }
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  int fd() const { return ::dirfd(dir_); }
  // The entry names, "." and ".." left out.
  std::vector<std::string> names(const std::string& path) const {
    std::vector<std::string> entries;
    errno = 0;
    while (const dirent* entry = ::readdir(dir_)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
        entries.emplace_back(entry->d_name);
      }
      errno = 0;
    }
    if (errno != 0) raise("list folder", path, errno);
    return entries;
  }

 private:
  DIR* dir_ = nullptr;
};

// Removes the folder `name` below `parent` and everything in it but the entries `keep` names
// (when given), never leaving the tree through a link (links are removed, not followed).
// Answers whether the folder is gone.
bool removeTreeAt(int parent, const std::string& name, const std::string& path, const CopyItemFolder::KeepFilter* keep,
                  const CopyItemFolder::Judged* judged, bool& changed) {
  bool emptied = true;
  {
    const FolderListing folder(parent, name, path);
    for (const std::string& entry : folder.names(path)) {
      const std::string childPath = path + "/" + entry;
      if (keep != nullptr && (*keep)(childPath, entry)) {
        emptied = false;
        continue;
      }
      struct stat status {};
      if (::fstatat(folder.fd(), entry.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;
        raise("stat", childPath, errno);
      }
      // Added or changed since the tree was judged: it stays, and so does the folder. A
      // download of ours may still be written to.
      if (judged != nullptr && !TmpFileName::isTemporaryName(entry)) {
        const auto seen = judged->find(childPath);
        if (seen == judged->end() || (!S_ISDIR(status.st_mode) && !unchangedSince(seen->second, status))) {
          QoLog("*** ({}) changed on disk since it was judged, it stays", childPath);
          changed = true;
          emptied = false;
          continue;
        }
      }
      if (S_ISDIR(status.st_mode)) {
        emptied = removeTreeAt(folder.fd(), entry, childPath, keep, judged, changed) && emptied;
      } else if (::unlinkat(folder.fd(), entry.c_str(), 0) != 0 && errno != ENOENT) {
        raise("remove", childPath, errno);
      } else {
        DiskSteps::passed(DiskStep::Remove, childPath);
      }
    }
  }
  if (!emptied) return false;
  if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) raise("remove folder", path, errno);
  return true;
}

// Renames `from` onto `to`, which must not exist. A file system without rename flags is asked
// whether `to` exists first: an item made there between that look and the rename is replaced.
int renameNoReplace(int fromFolder, const std::string& from, int toFolder, const std::string& to) {
  if (RenameWithFlags::rename(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (!RenameWithFlags::flagsRefused(errno)) return -1;
  struct stat there {};
  if (::fstatat(toFolder, to.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  if (errno != ENOENT) return -1;
  return ::renameat(fromFolder, from.c_str(), toFolder, to.c_str());
}

void listTreeAt(int parent, const std::string& name, const std::string& path, std::vector<std::string>& paths) {
  const FolderListing folder(parent, name, path);
  for (const std::string& entry : folder.names(path)) {
    const std::string childPath = path + "/" + entry;
    if (!isValidUtf8(entry)) {
      QoLog("* File({}) name is not UTF-8, skipped.", childPath);
      continue;
    }
    paths.push_back(childPath);
    struct stat status {};
    if (::fstatat(folder.fd(), entry.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      raise("stat", childPath, errno);
    }
    if (S_ISDIR(status.st_mode)) listTreeAt(folder.fd(), entry, childPath, paths);
  }
}

}  // namespace

CopyItemFolder::CopyItemFolder(const std::string& root, const std::string& path) {
  const std::string prefix = !root.empty() && root.back() == '/' ? root : root + "/";
  if (root.empty() || root.front() != '/' || path.size() <= prefix.size() ||
      path.compare(0, prefix.size(), prefix) != 0 || path.find('\0') != std::string::npos) {
    throw QoExceptionZeBadPath::defaultExceptionWithReason("({}) is not inside ({})", path, root);
  }
  if (!QoUtils::checkPeerPath(path.substr(prefix.size() - 1))) {
    throw QoExceptionZeBadPath::defaultExceptionWithReason("bad path ({})", path);
  }
  const std::vector<std::string> components = splitComponents(path.substr(prefix.size()));
  // The root is the user's choice and may itself be a link; nothing below it is followed.
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) raise("open folder", root, errno);
  std::string current = prefix.substr(0, prefix.size() - 1);
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    current += "/" + components[i];
    const int next = ::openat(fd, components[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int error = errno;
    // A folder the disk answers for under another spelling is not this one.
    if (next >= 0 && NameSpelling::inFolder(fd, current.substr(0, current.rfind('/')), components[i]) !=
                         NameSpelling::Listed::kAsSpelled) {
      ::close(next);
      error = ENOENT;
    } else if (next >= 0) {
      error = 0;
    }
    ::close(fd);
    if (error != 0) raise("open folder", current, error);
    fd = next;
  }
  fd_ = fd;
  path_ = current;
  name_ = components.back();
}

bool CopyItemFolder::folderOnTheWayMissing(const std::string& root, const std::string& path) {
  const std::string prefix = !root.empty() && root.back() == '/' ? root : root + "/";
  if (root.empty() || root.front() != '/' || path.size() <= prefix.size() ||
      path.compare(0, prefix.size(), prefix) != 0 || path.find('\0') != std::string::npos ||
      !QoUtils::checkPeerPath(path.substr(prefix.size() - 1))) {
    return false;
  }
  const std::vector<std::string> components = splitComponents(path.substr(prefix.size()));
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string current = prefix.substr(0, prefix.size() - 1);
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    if (NameSpelling::inFolder(fd, current, components[i]) == NameSpelling::Listed::kOtherSpelling) {
      ::close(fd);
      return true;
    }
    current += "/" + components[i];
    const int next = ::openat(fd, components[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      const int error = errno;
      // A link on the way is not the copy's folder, whatever it leads to: not told missing.
      struct stat status {};
      const bool link =
          ::fstatat(fd, components[i].c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
      ::close(fd);
      return !link && (error == ENOENT || error == ENOTDIR);
    }
    ::close(fd);
    fd = next;
  }
  ::close(fd);
  return false;
}

CopyItemFolder::~CopyItemFolder() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<struct stat> CopyItemFolder::status(const std::string& name) const {
  struct stat status {};
  if (::fstatat(fd_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    if (NameSpelling::inFolder(fd_, path_, name) != NameSpelling::Listed::kAsSpelled) return std::nullopt;
    return status;
  }
  if (errno == ENOENT) return std::nullopt;
  raise("stat", path_ + "/" + name, errno);
}

std::optional<std::string> CopyItemFolder::otherSpelling(const std::string& name) const {
  std::string spelling;
  if (NameSpelling::inFolder(fd_, path_, name, &spelling) != NameSpelling::Listed::kOtherSpelling) return std::nullopt;
  return spelling;
}

int CopyItemFolder::openFileForReading(const std::string& name) const {
  return openRegularFile(fd_, name, path_ + "/" + name);
}

void CopyItemFolder::verifyFile(const std::string& name, const std::string& sha1,
                                const std::optional<struct stat>& checked) const {
  const std::string path = path_ + "/" + name;
  Descriptor file(openRegularFile(fd_, name, path));
  verifyOpenFile(file.get(), path, sha1, checked);
}

std::optional<struct stat> CopyItemFolder::checkedFile(const std::string& name, const std::string& sha1) const {
  std::optional<Descriptor> file;
  try {
    file.emplace(openRegularFile(fd_, name, path_ + "/" + name));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return checkedDescriptor(file->get(), sha1);
}

std::optional<struct stat> CopyItemFolder::checkedDescriptor(int fd, const std::string& sha1) {
  struct stat before {};
  if (::fstat(fd, &before) != 0) return std::nullopt;
  const std::optional<std::string> actual = QoUtils::getSha1StringWithInputStream(fd);
  struct stat after {};
  if (!actual || *actual != sha1 || ::fstat(fd, &after) != 0 || !unchangedSince(before, after)) return std::nullopt;
  return after;
}

std::optional<struct stat> CopyItemFolder::installFile(const CopyItemFolder& source, const std::string& sourceName,
                                                       const std::string& targetName, const std::string& sha1,
                                                       int32_t permissions, int64_t mtime, bool replace,
                                                       const std::optional<struct stat>& checked,
                                                       const std::optional<struct stat>& synced,
                                                       const ReplaceCheck& mayReplace, const Placed& onPlaced) const {
  const std::string sourcePath = source.path_ + "/" + sourceName;
  const std::string targetPath = path_ + "/" + targetName;
  // A local file (a rename's) must be there as spelled; a download's temporary name is ours.
  if (!TmpFileName::isTemporaryName(sourceName) && !source.status(sourceName)) raise("open", sourcePath, ENOENT);
  Descriptor file(openRegularFile(source.fd_, sourceName, sourcePath));
  const struct stat read = verifyOpenFile(file.get(), sourcePath, sha1, checked);

  // The disk holds the target's name in another spelling: of the source itself (a rename that
  // changes only letter case), or of another item, which the file would replace.
  bool respelling = false;
  if (auto target = status(targetName)) {
    if (S_ISDIR(target->st_mode)) throw QoException::defaultExceptionWithReason("({}) is a folder", targetPath);
    if (!replace) throw QoException::defaultExceptionWithReason("({}) already exists", targetPath);
  } else if (const auto other = otherSpelling(targetName)) {
    respelling = source.path_ == path_ && *other == sourceName;
    if (!respelling) {
      throw QoException::defaultExceptionWithReason("({}) stands there as ({}) on a disk that ignores letter case",
                                                    targetPath, other->empty() ? "another spelling" : *other);
    }
  }
  const auto mode = static_cast<mode_t>(permissions) & 07777;
  const timespec time = timespecOfMilliseconds(mtime);
  struct stat now {};
  // Flushed already with these attributes, and not changed since (any write, chmod or touch
  // changes its times): nothing to set or flush again.
  const bool flushed = synced && ::fstat(file.get(), &now) == 0 && unchangedSince(*synced, now) &&
                       (now.st_mode & 07777) == mode && now.st_mtim.tv_sec == time.tv_sec &&
                       now.st_mtim.tv_nsec == time.tv_nsec;
  // What the disk kept of the attributes given: a file system may round the time, or show
  // every file with one mode whatever chmod was told.
  struct stat placed = now;
  bool changedInFlush = false;
  if (!flushed) {
    // A write since the content was checked would be hidden under the time set here, and
    // recorded with the content checked: the file is left as it is, for its change to be
    // recorded. (A write in the moment between this look and the stamp is not seen.)
    ensureUnchanged(file.get(), sourcePath, read);
    DiskSteps::passed(DiskStep::Read, sourcePath);
    // Set on the open file, so the item appears at its place complete, with its attributes.
    if (::fchmod(file.get(), mode) != 0) raise("chmod", sourcePath, errno);
    if (::futimens(file.get(), timesWithModification(mtime).data()) != 0) raise("set time", sourcePath, errno);
    DiskSteps::passed(DiskStep::Stamp, sourcePath);
    // Read before the flush, which takes long for a large file: a write during it moves the
    // times away from these, and is left to the monitor instead of being taken for the install.
    if (::fstat(file.get(), &placed) != 0) raise("stat", sourcePath, errno);
    if (FileFlush::flush(file.get()) != 0) raise("flush", sourcePath, errno);
    struct stat afterFlush {};
    if (::fstat(file.get(), &afterFlush) != 0) raise("stat", sourcePath, errno);
    changedInFlush = !unchangedSince(placed, afterFlush);
  } else {
    DiskSteps::passed(DiskStep::Stamp, sourcePath);
  }
  ModeKeeping::shared().noteInstalled(placed.st_dev, mode, placed.st_mode);

  Placement placement = Placement::kNew;
  if (respelling) {
    renameOneItem(source, sourceName, targetName);
    placement = Placement::kSameItem;
  } else if (replace && mayReplace) {
    placement = replaceChecked(source, sourceName, targetName, mayReplace, onPlaced != nullptr);
  } else {
    const bool stood = replace && status(targetName).has_value();
    const int result = replace ? ::renameat(source.fd_, sourceName.c_str(), fd_, targetName.c_str())
                               : renameNoReplace(source.fd_, sourceName, fd_, targetName);
    if (result != 0) raise("move to " + targetPath, sourcePath, errno);
    if (stood) placement = Placement::kReplacedForGood;
  }
  NameSpelling::noteRemoved(source.path_, sourceName);
  NameSpelling::noteAdded(path_, targetName);
  // Told before anyone hears of the step: what a write right after it changes is the user's.
  if (onPlaced) onPlaced(placement, placed);
  DiskSteps::passed(DiskStep::Rename, targetPath);
  struct stat installed {};
  if (changedInFlush || ::fstat(file.get(), &installed) != 0 || !S_ISREG(installed.st_mode) ||
      installed.st_ino != placed.st_ino || installed.st_mode != placed.st_mode || installed.st_size != placed.st_size ||
      installed.st_mtim.tv_sec != placed.st_mtim.tv_sec || installed.st_mtim.tv_nsec != placed.st_mtim.tv_nsec) {
    return std::nullopt;
  }
  return installed;
}

CopyItemFolder::Placement CopyItemFolder::replaceChecked(const CopyItemFolder& source, const std::string& sourceName,
                                                         const std::string& targetName, const ReplaceCheck& mayReplace,
                                                         bool keepDisplaced) const {
  const std::string sourcePath = source.path_ + "/" + sourceName;
  const std::string targetPath = path_ + "/" + targetName;
  struct stat moving {};
  const auto there = status(targetName);
  if (there && ::fstatat(source.fd_, sourceName.c_str(), &moving, AT_SYMLINK_NOFOLLOW) == 0 &&
      there->st_dev == moving.st_dev && there->st_ino == moving.st_ino) {
    renameOneItem(source, sourceName, targetName);
    return Placement::kSameItem;
  }
  if (renameNoReplace(source.fd_, sourceName, fd_, targetName) == 0) return Placement::kNew;
  if (errno != EEXIST) raise("move to " + targetPath, sourcePath, errno);
  // Something stands there: the two names are exchanged in one step, and what was taken out
  // is checked where it now stands. A change saved into it up to this check is seen; one
  // saved later by writing into it still open is found by the caller's undo (DiskUndo).
  if (RenameWithFlags::rename(source.fd_, sourceName.c_str(), fd_, targetName.c_str(), RENAME_EXCHANGE) != 0) {
    if (!RenameWithFlags::flagsRefused(errno)) raise("exchange with " + targetPath, sourcePath, errno);
    return replaceAfterCheck(source, sourceName, targetName, mayReplace);
  }
  DiskSteps::passed(DiskStep::Exchange, targetPath);
  const auto displaced = source.status(sourceName);
  bool mayGo = false;
  try {
    mayGo = displaced && !S_ISDIR(displaced->st_mode) && mayReplace(source, sourceName);
    // Changed while it was checked: it goes back.
    if (mayGo) ensureUnchangedAt(source.fd_, sourceName, targetPath, *displaced);
  } catch (const std::exception& e) {
    // Not known to be unchanged: it goes back, or it would be left at a temporary name.
    mayGo = false;
    QoLog("*** ({}) could not be checked, {}", targetPath, e.what());
  }
  if (mayGo) {
    // Kept for a caller that may still have to put it back.
    if (!keepDisplaced && ::unlinkat(source.fd_, sourceName.c_str(), 0) != 0) {
      QoLog("*** Remove replaced ({}) failed, {}", sourcePath, errnoText(errno));
    }
    return Placement::kExchanged;
  }
  if (RenameWithFlags::rename(source.fd_, sourceName.c_str(), fd_, targetName.c_str(), RENAME_EXCHANGE) != 0) {
    const int error = errno;
    QoLog("*** ({}) changed meanwhile and stays at ({}), {}", targetPath, sourcePath, errnoText(error));
    raise("exchange back with " + targetPath, sourcePath, error);
  }
  throw QoException::defaultExceptionWithReason("({}) changed on disk while it was replaced", targetPath);
}

CopyItemFolder::Placement CopyItemFolder::replaceAfterCheck(const CopyItemFolder& source, const std::string& sourceName,
                                                            const std::string& targetName,
                                                            const ReplaceCheck& mayReplace) const {
  const std::string sourcePath = source.path_ + "/" + sourceName;
  const std::string targetPath = path_ + "/" + targetName;
  // No exchange on this file system: the item is checked where it stands, after the flush,
  // and replaced by a plain rename. A change saved into it between the check and the rename
  // is lost with it.
  const auto there = status(targetName);
  bool mayGo = false;
  try {
    mayGo = !there || (!S_ISDIR(there->st_mode) && mayReplace(*this, targetName));
    DiskSteps::passed(DiskStep::Read, targetPath);
    // Changed while it was checked (a save, or another item put there): it stays.
    if (mayGo && there) ensureUnchangedAt(fd_, targetName, targetPath, *there);
    if (mayGo && !there && status(targetName)) mayGo = false;
  } catch (const std::exception& e) {
    mayGo = false;
    QoLog("*** ({}) could not be checked, {}", targetPath, e.what());
  }
  if (!mayGo) throw QoException::defaultExceptionWithReason("({}) changed on disk while it was replaced", targetPath);
  if (::renameat(source.fd_, sourceName.c_str(), fd_, targetName.c_str()) != 0) {
    raise("move to " + targetPath, sourcePath, errno);
  }
  return there ? Placement::kReplacedForGood : Placement::kNew;
}

void CopyItemFolder::renameOneItem(const CopyItemFolder& source, const std::string& sourceName,
                                   const std::string& targetName) const {
  // A rename onto another name of the same file does nothing, so a case-folding disk would
  // keep the old spelling: the file goes through a temporary name of its own.
  const TmpFileName aside(path_ + "/" + targetName);
  const std::string asideName = aside.path().substr(aside.path().rfind('/') + 1);
  const std::string sourcePath = source.path_ + "/" + sourceName;
  if (renameNoReplace(source.fd_, sourceName, fd_, asideName) != 0) {
    raise("move aside", sourcePath, errno);
  }
  if (renameNoReplace(fd_, asideName, fd_, targetName) == 0) return;
  const int error = errno;
  // The new name is a second link of the file, not another spelling of one entry (the old one
  // is aside, so a disk folding case finds nothing at the new one): the file stays at the new
  // name alone, as the rename means. Both names kept, the old one came back as a new file.
  struct stat asideStatus {};
  struct stat targetStatus {};
  if (error == EEXIST && ::fstatat(fd_, asideName.c_str(), &asideStatus, AT_SYMLINK_NOFOLLOW) == 0 &&
      ::fstatat(fd_, targetName.c_str(), &targetStatus, AT_SYMLINK_NOFOLLOW) == 0 &&
      asideStatus.st_dev == targetStatus.st_dev && asideStatus.st_ino == targetStatus.st_ino &&
      ::unlinkat(fd_, asideName.c_str(), 0) == 0) {
    return;
  }
  if (renameNoReplace(fd_, asideName, source.fd_, sourceName) != 0) {
    QoLog("*** ({}) stays at ({}), {}", sourcePath, aside.path(), errnoText(errno));
    raise("move back", sourcePath, errno);
  }
  raise("move to " + path_ + "/" + targetName, sourcePath, error);
}

void CopyItemFolder::moveNoReplace(const std::string& from, const std::string& to) const {
  if (renameNoReplace(fd_, from, fd_, to) != 0) {
    raise("move to " + path_ + "/" + to, path_ + "/" + from, errno);
  }
  DiskSteps::passed(DiskStep::Rename, path_ + "/" + to);
  NameSpelling::noteRemoved(path_, from);
  NameSpelling::noteAdded(path_, to);
}

void CopyItemFolder::moveNoReplace(const std::string& from, const CopyItemFolder& target, const std::string& to) const {
  if (renameNoReplace(fd_, from, target.fd_, to) != 0) {
    raise("move to " + target.path_ + "/" + to, path_ + "/" + from, errno);
  }
  DiskSteps::passed(DiskStep::Rename, target.path_ + "/" + to);
  NameSpelling::noteRemoved(path_, from);
  NameSpelling::noteAdded(target.path_, to);
}

void CopyItemFolder::renameInLetterCase(const std::string& from, const std::string& to) const {
  renameOneItem(*this, from, to);
  NameSpelling::noteRemoved(path_, from);
  NameSpelling::noteAdded(path_, to);
}

void CopyItemFolder::moveReplacing(const std::string& from, const CopyItemFolder& target, const std::string& to) const {
  if (::renameat(fd_, from.c_str(), target.fd_, to.c_str()) != 0) {
    raise("move to " + target.path_ + "/" + to, path_ + "/" + from, errno);
  }
  NameSpelling::noteRemoved(path_, from);
  NameSpelling::noteAdded(target.path_, to);
}

struct stat CopyItemFolder::setAttributes(const std::string& name, int32_t permissions, int64_t mtime,
                                          const std::optional<struct stat>& judged) const {
  const std::string path = path_ + "/" + name;
  // A write since the item was judged would be hidden under the time set here.
  if (judged) ensureUnchangedAt(fd_, name, path, *judged);
  DiskSteps::passed(DiskStep::Read, path);
  setPermissions(name, permissions);
  if (::utimensat(fd_, name.c_str(), timesWithModification(mtime).data(), AT_SYMLINK_NOFOLLOW) != 0) {
    raise("set time", path, errno);
  }
  // Read before anyone hears of the stamp: the state it left, not a write made right after.
  struct stat stamped {};
  if (::fstatat(fd_, name.c_str(), &stamped, AT_SYMLINK_NOFOLLOW) != 0) raise("stat", path, errno);
  DiskSteps::passed(DiskStep::Stamp, path);
  return stamped;
}

void CopyItemFolder::setPermissions(const std::string& name, int32_t permissions) const {
  const std::string path = path_ + "/" + name;
  auto item = status(name);
  if (!item) raise("set attributes", path, ENOENT);
  if (S_ISLNK(item->st_mode)) throw QoException::defaultExceptionWithReason("({}) is a symbolic link", path);
  // Refused again at the call: a link swapped in since the check fails with EOPNOTSUPP
  // instead of having its target's mode changed.
  if (::fchmodat(fd_, name.c_str(), static_cast<mode_t>(permissions) & 07777, AT_SYMLINK_NOFOLLOW) != 0) {
    raise("chmod", path, errno);
  }
}

void CopyItemFolder::makeDirectory(const std::string& name, std::optional<int32_t> permissions, int64_t mtime) const {
  const std::string path = path_ + "/" + name;
  auto item = status(name);
  if (item && !S_ISDIR(item->st_mode)) {
    if (::unlinkat(fd_, name.c_str(), 0) != 0) raise("remove", path, errno);
    item.reset();
  }
  if (const auto other = item ? std::nullopt : otherSpelling(name)) {
    throw QoException::defaultExceptionWithReason("({}) stands there as ({}) on a disk that ignores letter case", path,
                                                  other->empty() ? "another spelling" : *other);
  }
  if (!item && ::mkdirat(fd_, name.c_str(), permissions ? 0700 : 0777) != 0) raise("create folder", path, errno);
  NameSpelling::noteAdded(path_, name);
  if (permissions) {
    setAttributes(name, *permissions, mtime);
    return;
  }
  if (::utimensat(fd_, name.c_str(), timesWithModification(mtime).data(), AT_SYMLINK_NOFOLLOW) != 0) {
    raise("set time", path, errno);
  }
}

void CopyItemFolder::writeEmptyFile(const std::string& name) const { Descriptor file(openEmptyFile(name)); }

int CopyItemFolder::openEmptyFile(const std::string& name) const {
  const std::string path = path_ + "/" + name;
  // Made anew: whatever stands at the name (a file of the user's, a link) is not ours to
  // truncate or replace.
  Descriptor file(::openat(fd_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (file.get() < 0) raise("create", path, errno);
  const int flags = ::fcntl(file.get(), F_GETFL);
  if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) raise("open", path, errno);
  return file.release();
}

int CopyItemFolder::duplicateFolderDescriptor() const { return ::fcntl(fd_, F_DUPFD_CLOEXEC, 0); }

void CopyItemFolder::removeItem(const std::string& name) const { removeItemKeeping(name, nullptr); }

bool CopyItemFolder::removeItemKeeping(const std::string& name, const KeepFilter& keep, const Judged* judged) const {
  const std::string path = path_ + "/" + name;
  auto item = status(name);
  if (!item) return true;
  if (S_ISDIR(item->st_mode)) {
    bool changed = false;
    const bool gone = removeTreeAt(fd_, name, path, keep ? &keep : nullptr, judged, changed);
    if (gone) NameSpelling::noteRemoved(path_, name);
    if (changed) throw QoException::defaultExceptionWithReason("({}) changed on disk while it was removed", path);
    return gone;
  }
  if (judged) {
    const auto seen = judged->find(path);
    if (seen == judged->end()) throw QoException::defaultExceptionWithReason("({}) was not judged", path);
    ensureUnchangedAt(fd_, name, path, seen->second);
  }
  if (::unlinkat(fd_, name.c_str(), 0) != 0 && errno != ENOENT) raise("remove", path, errno);
  DiskSteps::passed(DiskStep::Remove, path);
  NameSpelling::noteRemoved(path_, name);
  return true;
}

std::vector<std::string> CopyItemFolder::listTree(const std::string& root, const std::string& path) {
  std::vector<std::string> paths;
  if (path == root) {
    // The root is the user's choice and may itself be a link.
    Descriptor folder(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) raise("open folder", root, errno);
    listTreeAt(folder.get(), ".", root, paths);
  } else {
    const CopyItemFolder parent(root, path);
    if (!parent.status(parent.name_)) raise("open folder", path, ENOENT);
    listTreeAt(parent.fd_, parent.name_, path, paths);
  }
  return paths;
}

}  // namespace velbor
