#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>

namespace velbor {

// Records keep modification times as whole milliseconds since the epoch.
inline int64_t modificationMilliseconds(const struct stat& status) {
  return static_cast<int64_t>(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000;
}

// Times before the epoch keep tv_nsec within [0, 1e9), as the system calls require.
inline timespec timespecOfMilliseconds(int64_t milliseconds) {
  timespec time{};
  time.tv_sec = static_cast<time_t>(milliseconds / 1000);
  time.tv_nsec = static_cast<long>((milliseconds % 1000) * 1000000);
  if (time.tv_nsec < 0) {
    time.tv_sec -= 1;
    time.tv_nsec += 1000000000;
  }
  return time;
}

}  // namespace velbor
