#include "core/entity/TmpFileStream.h"

#include <fcntl.h>
#include <unistd.h>

namespace velbor {

TmpFileStream::TmpFileStream(int fd) : std::iostream(nullptr) {
  if (fd >= 0) {
    buffer_ = __gnu_cxx::stdio_filebuf<char>(fd, std::ios::in | std::ios::out | std::ios::binary);
    // fdopen failed: the descriptor is still ours to close.
    if (!buffer_.is_open()) ::close(fd);
  }
  rdbuf(&buffer_);
  if (!buffer_.is_open()) setstate(std::ios::failbit);
}

TmpFileStream::~TmpFileStream() { close(); }

int TmpFileStream::duplicateDescriptor() {
  if (!buffer_.is_open()) return -1;
  return ::fcntl(buffer_.fd(), F_DUPFD_CLOEXEC, 0);
}

void TmpFileStream::close() {
  if (buffer_.is_open() && buffer_.close() == nullptr) setstate(std::ios::failbit);
}

}  // namespace velbor
