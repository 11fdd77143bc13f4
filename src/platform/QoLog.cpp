#include "platform/QoLog.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "platform/AppPaths.h"

namespace velbor {

void QoLogLine(std::string_view text) {
  struct timeval now {};
  ::gettimeofday(&now, nullptr);
  struct tm local {};
  ::localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

  std::string line = fmt::format("{}.{:03d} {}[{}:{}] ", stamp, static_cast<int>(now.tv_usec / 1000),
                                 AppPaths::processName(), ::getpid(), ::syscall(SYS_gettid));
  line.append(text);
  line.push_back('\n');

  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere else to report a failing standard error
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace velbor
