#pragma once

#include <time.h>

#include <chrono>

namespace velbor {

// What a change time a file system stamped tells of the writes that may follow it unseen.
class StampClock {
 public:
  // How finely the file system stamps times, told by a change time it stamped itself (no caller
  // can set one): whole seconds keep no fraction (FAT-like media step by two of them), and a
  // fraction in whole tens of milliseconds tells that grain. The type of a file system does not
  // tell it: an ext4 made with small inodes keeps whole seconds only.
  static std::chrono::nanoseconds granularity(const timespec& changed);
  // Whether a file last changed at `changed` was read (between `readStart` and `readEnd`) so
  // shortly after that a later write could carry the very same times: one stamped within the
  // same grain. A stamp ahead of the clock (the clock was set back) is never given again.
  static bool changedLately(const timespec& changed, std::chrono::system_clock::time_point readStart,
                            std::chrono::system_clock::time_point readEnd);
  // Whether a write made from `now` on may still be stamped with the very modification time
  // `modified` of an item (`changed`: its change time, stamped by the same file system): the
  // time falls within the grain of the clock, as a file's that arrived with a time of this
  // second does on a disk that keeps whole seconds.
  static bool mayStampAgain(const timespec& modified, const timespec& changed,
                            std::chrono::system_clock::time_point now);
};

}  // namespace velbor
