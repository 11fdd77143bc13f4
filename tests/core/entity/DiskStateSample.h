#pragma once

#include <ctime>

#include "core/entity/OwnInstalls.h"

namespace velbor::test {

// A regular file's disk state as the stat of a recorded or installed file gives it; only the
// change time differs between the tests that use it.
inline OwnInstalls::State diskStateSample(std::time_t changedSeconds) {
  OwnInstalls::State state;
  state.device = 2049;
  state.inode = 77;
  state.size = 100;
  state.mode = 0100644;
  state.mtime = {1700000000, 123000000};
  state.ctime = {changedSeconds, 456789012};
  return state;
}

}  // namespace velbor::test
