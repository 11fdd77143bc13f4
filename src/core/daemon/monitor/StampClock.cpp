#include "core/daemon/monitor/StampClock.h"

namespace velbor {
namespace {

// The file system stamps times from a clock that may lag the real one by a tick.
constexpr std::chrono::milliseconds kStampClockLag{50};

}  // namespace

std::chrono::nanoseconds StampClock::granularity(const timespec& changed) {
  if (changed.tv_nsec == 0) return std::chrono::seconds(2);
  long grain = 1;
  while (grain < 100000000 && changed.tv_nsec % (grain * 10) == 0) grain *= 10;
  return std::chrono::nanoseconds(grain);
}

bool StampClock::changedLately(const timespec& changed, std::chrono::system_clock::time_point readStart,
                               std::chrono::system_clock::time_point readEnd) {
  const auto at = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::seconds(changed.tv_sec) + std::chrono::nanoseconds(changed.tv_nsec)));
  const auto grain = std::chrono::duration_cast<std::chrono::system_clock::duration>(granularity(changed));
  return at + grain >= readStart - kStampClockLag && at <= readEnd + kStampClockLag;
}

}  // namespace velbor
