#include "logger/LoggerBufferFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

namespace velbor {

bool LoggerBufferFile::isSafe(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) return false;
  // A file we own but left readable by others (an older version, a stray umask) is tightened.
  return (info.st_mode & 077) == 0 || ::fchmod(fd, 0600) == 0;
}

// Opened without waiting (a named pipe planted at the path would wait for a peer), and kept
// only when it is a regular file of ours.
int LoggerBufferFile::openRegular(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  if (!isSafe(fd) || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

uint64_t LoggerBufferFile::wholeMessagesLength(int fd, uint64_t size) {
  uint64_t pos = 0;
  while (size - pos >= 4) {
    unsigned char header[4];
    if (::pread(fd, header, sizeof header, static_cast<off_t>(pos)) != sizeof header) break;
    uint64_t length =
        (uint64_t{header[0]} << 24) | (uint64_t{header[1]} << 16) | (uint64_t{header[2]} << 8) | header[3];
    // Every message holds at least its part count.
    if (length < 2 || length > size - pos - 4) break;
    pos += 4 + length;
  }
  return pos;
}

int LoggerBufferFile::openForAppending(const std::string& path, uint64_t* size) {
  // Read access too, to find a damaged tail.
  int fd = openRegular(path, O_RDWR | O_APPEND | O_CREAT);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  auto current = static_cast<uint64_t>(info.st_size);
  uint64_t whole = wholeMessagesLength(fd, current);
  if (whole < current && ::ftruncate(fd, static_cast<off_t>(whole)) == 0) current = whole;
  if (size) *size = current;
  return fd;
}

int LoggerBufferFile::openForReading(const std::string& path, uint64_t* wholeSize) {
  int fd = openRegular(path, O_RDONLY);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  if (wholeSize) *wholeSize = wholeMessagesLength(fd, static_cast<uint64_t>(info.st_size));
  return fd;
}

std::string LoggerBufferFile::defaultPath() { return fmt::format("/tmp/VelborMac.{}.logger", ::geteuid()); }

}  // namespace velbor
