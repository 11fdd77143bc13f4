#include "core/entity/DownloadSync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/entity/CopyItemFolder.h"
#include "core/entity/FileFlush.h"
#include "core/entity/FileTimes.h"

namespace velbor {

DownloadSync::DownloadSync(int fd, std::string sha1, int32_t permissions, int64_t mtime)
    : fd_(fd), sha1_(std::move(sha1)), permissions_(permissions), mtime_(mtime) {}

DownloadSync::~DownloadSync() {
  if (fd_ >= 0) ::close(fd_);
}

void DownloadSync::run() {
  if (fd_ < 0) {
    error_ = EBADF;
    return;
  }
  const auto mode = static_cast<mode_t>(permissions_) & 07777;
  // A file its owner may not read could not be opened again for the install: it is left as
  // it is, and the install sets and flushes it itself.
  if ((mode & S_IRUSR) == 0) return;
  const auto times = timesWithModification(mtime_);
  if (::fchmod(fd_, mode) != 0 || ::futimens(fd_, times.data()) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) {
    error_ = errno;
    return;
  }
  checked_ = CopyItemFolder::checkedDescriptor(fd_, sha1_);
  // Content that does not match is refused by the install anyway: no flush for it.
  if (!checked_) return;
  if (FileFlush::flush(fd_) != 0) {
    error_ = errno != 0 ? errno : EIO;
    return;
  }
  struct stat flushed {};
  if (::fstat(fd_, &flushed) == 0 && unchangedSince(*checked_, flushed)) synced_ = flushed;
}

}  // namespace velbor
