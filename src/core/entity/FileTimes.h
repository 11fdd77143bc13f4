#pragma once

#include <sys/stat.h>

#include <array>
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

// The access and modification times to set on an item whose modification time is to be
// `milliseconds`: the access time now. Both are given, as some drivers (exFAT through FUSE)
// answer success to a call that leaves one of them out and set neither.
inline std::array<timespec, 2> timesWithModification(int64_t milliseconds) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return {now, timespecOfMilliseconds(milliseconds)};
}

// Whether the modification time `mtime` read from the disk is the time `recorded` (ms) of a
// record: to the millisecond, or to the second where the file system keeps no fraction of it
// (0 nanoseconds): a time given from a record lost its milliseconds there.
inline bool isRecordedModificationTime(const timespec& mtime, int64_t recorded) {
  const int64_t milliseconds = static_cast<int64_t>(mtime.tv_sec) * 1000 + mtime.tv_nsec / 1000000;
  if (milliseconds == recorded) return true;
  const int64_t recordedSecond = recorded / 1000 - (recorded % 1000 < 0 ? 1 : 0);
  return mtime.tv_nsec == 0 && static_cast<int64_t>(mtime.tv_sec) == recordedSecond;
}

// Whether two modification times (ms) fall in the same whole second, as content times are
// compared between records and the disk. The division truncates toward zero, so the times
// of the second on either side of the epoch compare as one.
inline bool isSameModTimeSecond(int64_t time1, int64_t time2) { return time1 / 1000 == time2 / 1000; }

// The same item with the same content and attributes: any write or attribute change moves
// the change time, which no caller can set back.
inline bool unchangedSince(const struct stat& before, const struct stat& now) {
  return before.st_dev == now.st_dev && before.st_ino == now.st_ino && before.st_mode == now.st_mode &&
         before.st_size == now.st_size && before.st_mtim.tv_sec == now.st_mtim.tv_sec &&
         before.st_mtim.tv_nsec == now.st_mtim.tv_nsec && before.st_ctim.tv_sec == now.st_ctim.tv_sec &&
         before.st_ctim.tv_nsec == now.st_ctim.tv_nsec;
}

}  // namespace velbor
