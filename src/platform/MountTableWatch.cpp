#include "platform/MountTableWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/QoLog.h"
#include "platform/ThreadName.h"

namespace velbor {

MountTableWatch::MountTableWatch() : table_(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)) {
  if (table_ < 0) {
    QoLog("*** Mount table not watched, {}", std::strerror(errno));
    return;
  }
  thread_ = std::thread([this] { run(); });
}

MountTableWatch::~MountTableWatch() {
  stop_.raise();
  if (thread_.joinable()) thread_.join();
  if (table_ >= 0) ::close(table_);
}

void MountTableWatch::run() {
  nameThisThread("mount.table");
  for (;;) {
    // The table is always readable; a change shows as POLLPRI (with POLLERR), once per change
    // seen by this descriptor.
    pollfd fds[2] = {{table_, POLLPRI, 0}, {stop_.fd(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      QoLog("*** Mount table not watched any more, {}", std::strerror(errno));
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents & (POLLPRI | POLLERR)) changed_.raise();
  }
}

}  // namespace velbor
