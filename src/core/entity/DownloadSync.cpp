#include "core/entity/DownloadSync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/entity/FileFlush.h"
#include "core/entity/FileTimes.h"
#include "core/utils/QoUtils.h"

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
  const timespec times[2] = {{0, UTIME_OMIT}, timespecOfMilliseconds(mtime_)};
  struct stat before {};
  if (::fchmod(fd_, mode) != 0 || ::futimens(fd_, times) != 0 || ::fstat(fd_, &before) != 0 ||
      ::lseek(fd_, 0, SEEK_SET) != 0) {
    error_ = errno;
    return;
  }
  const std::optional<std::string> actual = QoUtils::getSha1StringWithInputStream(fd_);
  struct stat read {};
  // Content that does not match is refused by the install anyway: no flush for it.
  if (!actual || *actual != sha1_ || ::fstat(fd_, &read) != 0 || !unchangedSince(before, read)) return;
  checked_ = read;
  if (FileFlush::flush(fd_) != 0) {
    error_ = errno != 0 ? errno : EIO;
    return;
  }
  struct stat flushed {};
  if (::fstat(fd_, &flushed) == 0 && unchangedSince(read, flushed)) synced_ = flushed;
}

}  // namespace velbor
