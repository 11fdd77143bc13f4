#include "platform/WholeWrite.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace velbor {

int writeWhole(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) return errno;
    // A write that takes nothing would go on for ever: the disk is full.
    if (wrote == 0) return errno = ENOSPC;
    done += static_cast<size_t>(wrote);
  }
  return 0;
}

}  // namespace velbor
