#include "platform/OpenFileLimit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

#include "platform/QoLog.h"

namespace velbor {

uint64_t raiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur == limit.rlim_max) return limit.rlim_cur;
  const rlim_t before = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    QoLog("*** Open file limit stays at {}, {}", before, std::strerror(errno));
    return before;
  }
  return limit.rlim_cur;
}

}  // namespace velbor
