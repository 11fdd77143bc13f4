#pragma once

#include <sys/syscall.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

namespace velbor::test {

// Waits (bounded) until the thread `tid` of this process sleeps in the kernel waiting for the
// lock at `lock` (a futex wait on its address, as a contended std::mutex or
// std::recursive_mutex makes): a test holding the lock then knows the thread came no further.
inline bool waitUntilWaitingFor(pid_t tid, const void* lock, std::chrono::seconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  while (std::chrono::steady_clock::now() < end) {
    std::ifstream syscall(path);
    long number = -1;
    std::string address;
    if (syscall >> number >> address && number == SYS_futex &&
        std::stoull(address, nullptr, 16) == reinterpret_cast<std::uintptr_t>(lock)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace velbor::test
