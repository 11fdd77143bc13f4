#pragma once

#include <chrono>
#include <thread>

namespace velbor::test {

// Polls `done` until it holds or `seconds` have passed; bounded so a failing test reports
// instead of hanging.
template <typename Done>
bool eventually(Done done, int seconds = 30) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

}  // namespace velbor::test
