#include "core/entity/CopyItemFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/entity/FileTimes.h"
#include "core/utils/QoException.h"
#include "core/utils/QoExceptionProto.h"
#include "core/utils/QoUtils.h"

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

void checkSha1(const std::string& actual, const std::string& expected, const std::string& path) {
  if (actual != expected) {
    throw QoException::defaultExceptionWithReason("content of ({}) has SHA-1 {}, the record has {}", path, actual,
                                                  expected);
  }
}

// Raises unless the open file has the SHA-1 text `sha1`; one still as `checked` is not read.
void verifyOpenFile(int fd, const std::string& path, const std::string& sha1,
                    const std::optional<struct stat>& checked) {
  struct stat now {};
  if (checked && ::fstat(fd, &now) == 0 && unchangedSince(*checked, now)) return;
  checkSha1(sha1OfDescriptor(fd, path), sha1, path);
}

// Removes the folder `name` below `parent` and everything in it, never leaving the tree
// through a link (links are removed, not followed).
void removeTreeAt(int parent, const std::string& name, const std::string& path) {
  const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) raise("open folder", path, errno);
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    ::close(fd);
    raise("list folder", path, error);
  }
  std::vector<std::string> entries;
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) entries.emplace_back(entry->d_name);
    errno = 0;
  }
  const int listError = errno;
  try {
    if (listError != 0) raise("list folder", path, listError);
    for (const std::string& entry : entries) {
      const std::string childPath = path + "/" + entry;
      struct stat status {};
      if (::fstatat(::dirfd(dir), entry.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;
        raise("stat", childPath, errno);
      }
      if (S_ISDIR(status.st_mode)) {
        removeTreeAt(::dirfd(dir), entry, childPath);
      } else if (::unlinkat(::dirfd(dir), entry.c_str(), 0) != 0 && errno != ENOENT) {
        raise("remove", childPath, errno);
      }
    }
  } catch (...) {
    ::closedir(dir);
    throw;
  }
  ::closedir(dir);
  if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) raise("remove folder", path, errno);
}

}  // namespace

CopyItemFolder::CopyItemFolder(const std::string& root, const std::string& path) {
  const std::string prefix = !root.empty() && root.back() == '/' ? root : root + "/";
  if (root.empty() || root.front() != '/' || path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0 ||
      path.find('\0') != std::string::npos) {
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
    const int error = errno;
    ::close(fd);
    if (next < 0) raise("open folder", current, error);
    fd = next;
  }
  fd_ = fd;
  path_ = current;
  name_ = components.back();
}

CopyItemFolder::~CopyItemFolder() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<struct stat> CopyItemFolder::status(const std::string& name) const {
  struct stat status {};
  if (::fstatat(fd_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) return status;
  if (errno == ENOENT) return std::nullopt;
  raise("stat", path_ + "/" + name, errno);
}

void CopyItemFolder::verifyFile(const std::string& name, const std::string& sha1,
                                const std::optional<struct stat>& checked) const {
  const std::string path = path_ + "/" + name;
  Descriptor file(::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (file.get() < 0) raise("open", path, errno);
  verifyOpenFile(file.get(), path, sha1, checked);
}

std::optional<struct stat> CopyItemFolder::checkedFile(const std::string& name, const std::string& sha1) const {
  Descriptor file(::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat before {};
  if (file.get() < 0 || ::fstat(file.get(), &before) != 0 || !S_ISREG(before.st_mode)) return std::nullopt;
  const std::optional<std::string> actual = QoUtils::getSha1StringWithInputStream(file.get());
  struct stat after {};
  if (!actual || *actual != sha1 || ::fstat(file.get(), &after) != 0 || !unchangedSince(before, after)) {
    return std::nullopt;
  }
  return after;
}

void CopyItemFolder::installFile(const CopyItemFolder& source, const std::string& sourceName,
                                 const std::string& targetName, const std::string& sha1, int32_t permissions,
                                 int64_t mtime, bool replace, const std::optional<struct stat>& checked) const {
  const std::string sourcePath = source.path_ + "/" + sourceName;
  const std::string targetPath = path_ + "/" + targetName;
  Descriptor file(::openat(source.fd_, sourceName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (file.get() < 0) raise("open", sourcePath, errno);
  verifyOpenFile(file.get(), sourcePath, sha1, checked);

  if (auto target = status(targetName)) {
    if (S_ISDIR(target->st_mode)) throw QoException::defaultExceptionWithReason("({}) is a folder", targetPath);
    if (!replace) throw QoException::defaultExceptionWithReason("({}) already exists", targetPath);
  }
  // Set on the open file, so the item appears at its place complete, with its attributes.
  if (::fchmod(file.get(), static_cast<mode_t>(permissions) & 07777) != 0) raise("chmod", sourcePath, errno);
  const timespec times[2] = {{0, UTIME_OMIT}, timespecOfMilliseconds(mtime)};
  if (::futimens(file.get(), times) != 0) raise("set time", sourcePath, errno);
  if (::fsync(file.get()) != 0) raise("flush", sourcePath, errno);

  const int result = replace ? ::renameat(source.fd_, sourceName.c_str(), fd_, targetName.c_str())
                             : ::renameat2(source.fd_, sourceName.c_str(), fd_, targetName.c_str(), RENAME_NOREPLACE);
  if (result != 0) raise("move to " + targetPath, sourcePath, errno);
}

void CopyItemFolder::moveNoReplace(const std::string& from, const std::string& to) const {
  if (::renameat2(fd_, from.c_str(), fd_, to.c_str(), RENAME_NOREPLACE) != 0) {
    raise("move to " + path_ + "/" + to, path_ + "/" + from, errno);
  }
}

void CopyItemFolder::setAttributes(const std::string& name, int32_t permissions, int64_t mtime) const {
  const std::string path = path_ + "/" + name;
  auto item = status(name);
  if (!item) raise("set attributes", path, ENOENT);
  if (S_ISLNK(item->st_mode)) throw QoException::defaultExceptionWithReason("({}) is a symbolic link", path);
  // fchmodat cannot refuse links on Linux; the item was just seen not to be one.
  if (::fchmodat(fd_, name.c_str(), static_cast<mode_t>(permissions) & 07777, 0) != 0) raise("chmod", path, errno);
  const timespec times[2] = {{0, UTIME_OMIT}, timespecOfMilliseconds(mtime)};
  if (::utimensat(fd_, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) raise("set time", path, errno);
}

void CopyItemFolder::makeDirectory(const std::string& name, int32_t permissions, int64_t mtime) const {
  const std::string path = path_ + "/" + name;
  auto item = status(name);
  if (item && !S_ISDIR(item->st_mode)) {
    if (::unlinkat(fd_, name.c_str(), 0) != 0) raise("remove", path, errno);
    item.reset();
  }
  if (!item && ::mkdirat(fd_, name.c_str(), 0700) != 0) raise("create folder", path, errno);
  setAttributes(name, permissions, mtime);
}

void CopyItemFolder::writeEmptyFile(const std::string& name) const {
  const std::string path = path_ + "/" + name;
  Descriptor file(::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (file.get() < 0) raise("create", path, errno);
}

void CopyItemFolder::removeItem(const std::string& name) const {
  const std::string path = path_ + "/" + name;
  auto item = status(name);
  if (!item) return;
  if (S_ISDIR(item->st_mode)) {
    removeTreeAt(fd_, name, path);
  } else if (::unlinkat(fd_, name.c_str(), 0) != 0 && errno != ENOENT) {
    raise("remove", path, errno);
  }
}

}  // namespace velbor
