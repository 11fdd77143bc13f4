#include "platform/LoopRoundFailures.h"

#include <algorithm>
#include <thread>

namespace velbor {

namespace {
constexpr size_t kLinesPerMinute = 10;
}  // namespace

LoopRoundFailures::LoopRoundFailures(std::string loop)
    : loop_(std::move(loop)), log_(loop_ + ": failed rounds", kLinesPerMinute, std::chrono::minutes(1)) {}

void LoopRoundFailures::failed(std::string_view reason) noexcept {
  ++total_;
  ++consecutive_;
  try {
    log_.log("*** {} round failed, {}", loop_, reason);
  } catch (...) {
    // Short of memory even for the line: the loop goes on all the same.
  }
  if (consecutive_ < 2) return;
  const unsigned doublings = std::min(consecutive_ - 2, 10U);
  const auto pause = std::min<std::chrono::milliseconds>(kFirstPause * (1U << doublings), kLongestPause);
  std::this_thread::sleep_for(pause);
}

}  // namespace velbor
