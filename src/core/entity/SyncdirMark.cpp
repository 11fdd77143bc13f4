#include "core/entity/SyncdirMark.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

// Never destroyed: jobs still running at exit use it.
const std::string& kMark = *new std::string(SyncdirMark::kName);

// Whether the open folder holds an entry recorded there: any other content (another disk
// mounted in its place, one just formatted) is not the copy's.
bool holdsRecorded(int rootFd, const std::string& root) {
  const int fd = ::openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) ::close(fd);
    // Unreadable: taken as holding something, so the mark decides nothing here.
    return true;
  }
  bool found = false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || SyncdirMark::isMarkName(name)) continue;
    const std::string path = root + "/" + name;
    if (QoFile::matchIgnoreFilter(path)) continue;
    // The entry or something below it ('0' follows '/').
    if (QoFile::countByCriteria("WHERE status = 0 AND (path = ? OR (path > ? AND path < ?))",
                                QoFile::Parameters{path, path + "/", path + "0"}) > 0) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

bool hasPresentRecords(const QoSyncdirCopy& copy) {
  return QoFileAndSyncdirCopyRelation::countByCriteria(
             "WHERE syncdir_copy = ? AND file IN (SELECT pk FROM qo_file WHERE status = 0)",
             QoFileAndSyncdirCopyRelation::Parameters{std::to_string(copy.pk())}) > 0;
}

// The mark is a file of its own, never a link.
bool isMarked(int rootFd) {
  struct stat status {};
  return ::fstatat(rootFd, kMark.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode);
}

// A folder that cannot take the mark (read-only) is said once, not at every look.
void warnOnce(const std::string& root, int error) {
  static std::mutex& lock = *new std::mutex;
  static std::set<std::string>& warned = *new std::set<std::string>;
  std::lock_guard guard(lock);
  if (warned.insert(root).second) QoLog("*** syncdir({}) mark not written, {}", root, std::strerror(error));
}

}  // namespace

bool SyncdirMark::looksMissing(const QoSyncdirCopy& copy) {
  const std::string& root = copy.path();
  const int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return true;
  const bool missing = !isMarked(rootFd) && !holdsRecorded(rootFd, root) && hasPresentRecords(copy);
  ::close(rootFd);
  return missing;
}

bool SyncdirMark::inPlace(const QoSyncdirCopy& copy) {
  const std::string& root = copy.path();
  // The root may be a link the user chose; the mark inside it is never one.
  const int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return false;
  if (isMarked(rootFd)) {
    ::close(rootFd);
    return true;
  }
  if (!holdsRecorded(rootFd, root) && hasPresentRecords(copy)) {
    ::close(rootFd);
    return false;
  }
  // The folder holds what was recorded, or nothing was recorded yet: it is the copy's folder.
  const int fd = ::openat(rootFd, kMark.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
    ::fsync(rootFd);
  } else if (errno != EEXIST) {
    warnOnce(root, errno);
  }
  ::close(rootFd);
  return true;
}

}  // namespace velbor
