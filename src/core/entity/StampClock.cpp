#include "core/entity/StampClock.h"

namespace velbor {
namespace {

// The file system stamps times from a clock that may lag the real one by a tick.
constexpr std::chrono::milliseconds kStampClockLag{50};

std::chrono::system_clock::time_point timePointOf(const timespec& time) {
  return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec)));
}

}  // namespace

std::chrono::nanoseconds StampClock::granularity(const timespec& changed) {
  if (changed.tv_nsec == 0) return std::chrono::seconds(2);
  long grain = 1;
  while (grain < 100000000 && changed.tv_nsec % (grain * 10) == 0) grain *= 10;
  return std::chrono::nanoseconds(grain);
}

bool StampClock::changedLately(const timespec& changed, std::chrono::system_clock::time_point readStart,
                               std::chrono::system_clock::time_point readEnd) {
  const auto at = timePointOf(changed);
  const auto grain = std::chrono::duration_cast<std::chrono::system_clock::duration>(granularity(changed));
  return at + grain >= readStart - kStampClockLag && at <= readEnd + kStampClockLag;
}

bool StampClock::mayStampAgain(const timespec& modified, const timespec& changed,
                               std::chrono::system_clock::time_point now) {
  const auto grain = std::chrono::duration_cast<std::chrono::system_clock::duration>(granularity(changed));
  return timePointOf(modified) + grain >= now - kStampClockLag;
}

}  // namespace velbor
