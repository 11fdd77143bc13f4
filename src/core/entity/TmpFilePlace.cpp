#include "core/entity/TmpFilePlace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "core/entity/DownloadJournal.h"
#include "platform/QoLog.h"

namespace velbor {

TmpFilePlace::TmpFilePlace(int folderFd, std::string name, const std::string& path, const struct stat& file)
    : folderFd_(folderFd),
      name_(std::move(name)),
      device_(file.st_dev),
      inode_(file.st_ino),
      journalEntry_(DownloadJournal::shared().begun(path, file.st_dev, file.st_ino)) {}

TmpFilePlace::~TmpFilePlace() {
  // Installed or removed by now, the download is over; a file still standing is left to the
  // journal, for the next start to remove.
  if (!stands()) DownloadJournal::shared().ended(journalEntry_);
  if (folderFd_ >= 0) ::close(folderFd_);
}

bool TmpFilePlace::stands() const {
  struct stat status {};
  if (folderFd_ < 0 || ::fstatat(folderFd_, name_.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return S_ISREG(status.st_mode) && status.st_dev == device_ && status.st_ino == inode_;
}

bool TmpFilePlace::remove() const {
  // Installed or removed already, and the name taken by something else since.
  if (!stands()) return false;
  if (::unlinkat(folderFd_, name_.c_str(), 0) != 0) {
    if (errno != ENOENT) QoLog("Delete tmp({}) failed, {}", name_, std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace velbor
