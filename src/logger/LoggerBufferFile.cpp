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

int LoggerBufferFile::openForAppending(const std::string& path, uint64_t* size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat info {};
  if (!isSafe(fd) || ::fstat(fd, &info) != 0) {
    ::close(fd);
    return -1;
  }
  if (size) *size = static_cast<uint64_t>(info.st_size);
  return fd;
}

int LoggerBufferFile::openForReading(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  if (!isSafe(fd)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string LoggerBufferFile::defaultPath() { return fmt::format("/tmp/VelborMac.{}.logger", ::geteuid()); }

}  // namespace velbor
